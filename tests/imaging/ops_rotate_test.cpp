#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/ops/mirror.h"
#include "imaging/ops/rotate.h"
#include "tests/support/pictures.h"

using namespace rastel::imaging;
using namespace rastel::test;

namespace {

const Rgb kFill{10, 200, 30};

Image flipVertically(const Image& src) {
    Image out = src;
    for (int y = 0; y < src.height(); ++y)
        std::copy(src.row(y), src.row(y) + src.stride(), out.row(src.height() - 1 - y));
    return out;
}

}  // namespace

TEST(OpsRotate, QuarterTurnMovesPixelToBottomLeftFormula) {
    // Sizes straddle the internal tile size so partial tiles are covered.
    for (const Layout& l : allLayouts()) {
        for (auto [w, h] : {std::pair{5, 3}, std::pair{70, 131}, std::pair{1, 9}}) {
            const Image src = noiseImage(l, w, h);
            const Image r = rotate(src, 9000, true, kFill);
            ASSERT_EQ(r.width(), h) << l.name();
            ASSERT_EQ(r.height(), w) << l.name();
            EXPECT_EQ(r.palette(), src.palette()) << l.name();
            EXPECT_EQ(r.xDpi, 150) << "resolution follows the axes";
            EXPECT_EQ(r.yDpi, 300);
            int wrong = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) wrong += pixelBytes(r, h - 1 - y, x) != pixelBytes(src, x, y);
            EXPECT_EQ(wrong, 0) << l.name() << " " << w << "x" << h;
        }
    }
}

TEST(OpsRotate, ExactTurnsComposeInEveryLayout) {
    for (const Layout& l : allLayouts()) {
        const Image src = noiseImage(l, 67, 33);
        Image four = src;
        for (int i = 0; i < 4; ++i) four = rotate(four, 9000, true, kFill);
        EXPECT_TRUE(identical(four, src)) << l.name() << ": four quarter turns";

        Image mirroredFlipped = flipVertically(src);
        mirrorInPlace(mirroredFlipped);
        EXPECT_TRUE(identical(rotate(src, 18000, false, kFill), mirroredFlipped)) << l.name() << ": half turn";

        struct Same {
            int a, b;
        };
        for (const Same& s : {Same{-9000, 27000}, Same{-27000, 9000}, Same{36000, 0}, Same{-18000, 18000},
                              Same{45000, 9000}, Same{-36000 * 5 + 9000, 9000}})
            EXPECT_TRUE(identical(rotate(src, s.a, true, kFill), rotate(src, s.b, true, kFill)))
                << l.name() << ": " << s.a << " vs " << s.b;
        EXPECT_TRUE(identical(rotate(src, 0, true, kFill), src)) << l.name();

        const Image ccw = rotate(src, 27000, true, kFill);
        int wrong = 0;
        for (int y = 0; y < src.height(); ++y)
            for (int x = 0; x < src.width(); ++x)
                wrong += pixelBytes(ccw, y, src.width() - 1 - x) != pixelBytes(src, x, y);
        EXPECT_EQ(wrong, 0) << l.name() << ": three quarter turns";
    }
}

TEST(OpsRotate, QuarterTurnWithoutGrowCentresOnOriginalCanvas) {
    Image src(6, 2, PixelFormat::Rgb24);
    for (int x = 0; x < 6; ++x)
        for (int y = 0; y < 2; ++y) src.row(y)[3 * x] = static_cast<std::uint8_t>(1 + x + 6 * y);
    const Image r = rotate(src, 9000, false, kFill);
    ASSERT_EQ(r.width(), 6);
    ASSERT_EQ(r.height(), 2);
    // The turned 2x6 picture sits in columns 2..3, showing its rows 2..3.
    EXPECT_EQ(pixelRgb(r, 0, 0), kFill);
    EXPECT_EQ(pixelRgb(r, 5, 1), kFill);
    EXPECT_EQ(r.row(0)[3 * 2], src.row(1)[3 * 2]);  // turned (0,2) = source (2, 1)
    EXPECT_EQ(r.row(0)[3 * 3], src.row(0)[3 * 2]);
    EXPECT_EQ(r.row(1)[3 * 2], src.row(1)[3 * 3]);
}

TEST(OpsRotate, GrownCanvasHoldsTheTurnedRectangle) {
    struct Case {
        int w, h, angle, outW, outH;
    };
    const Case cases[] = {
        {100, 100, 4500, 142, 142}, {100, 50, 4500, 107, 107}, {100, 50, -4500, 107, 107}, {100, 50, 3000, 112, 94},
        {100, 50, 13500, 107, 107}, {100, 50, 6000, 94, 112},  {10, 1, 100, 11, 2},        {100, 50, 9001, 51, 101},
    };
    for (const Case& c : cases) {
        const Image r = rotate(Image(c.w, c.h, PixelFormat::Gray8), c.angle, true, kFill);
        EXPECT_EQ(r.width(), c.outW) << c.w << "x" << c.h << " at " << c.angle;
        EXPECT_EQ(r.height(), c.outH) << c.w << "x" << c.h << " at " << c.angle;
        const Image same = rotate(Image(c.w, c.h, PixelFormat::Gray8), c.angle, false, kFill);
        EXPECT_EQ(same.width(), c.w);
        EXPECT_EQ(same.height(), c.h);
    }
}

TEST(OpsRotate, CornersShowFillColourInEveryLayout) {
    for (const Layout& l : allLayouts()) {
        for (bool grow : {true, false}) {
            Image src = noiseImage(l, 40, 30);
            if (l.format == PixelFormat::Indexed) src.palette().resize(1);  // leaves room for the fill
            for (int y = 0; y < 30 && l.format == PixelFormat::Indexed; ++y) std::fill(src.row(y), src.row(y) + 40, 0);
            const Image r = rotate(src, 4500, grow, kFill);
            Rgb expect = kFill;
            if (l.format == PixelFormat::Gray8) expect = {124, 124, 124};  // BT.601 luma of the fill
            if (l.format == PixelFormat::Rgb555) expect = {8, 206, 24};    // 5 bits per channel, widened
            for (auto [x, y] : {std::pair{0, 0}, std::pair{r.width() - 1, 0}, std::pair{0, r.height() - 1},
                                std::pair{r.width() - 1, r.height() - 1}})
                EXPECT_EQ(pixelRgb(r, x, y), expect) << l.name() << " grow " << grow << " at " << x << "," << y;
            if (l.format == PixelFormat::Rgba32) {
                EXPECT_EQ(r.row(0)[3], 255) << "fill is opaque";
            }
            if (l.format == PixelFormat::Indexed) {
                EXPECT_EQ(r.palette().size(), 2u) << l.name() << ": fill appended once";
                EXPECT_EQ(r.palette()[1], kFill);
            }
        }
    }
}

TEST(OpsRotate, IndexedKeepsValidIndicesAndUsesNearestEntryWhenPaletteFull) {
    for (int bits = 1; bits <= 8; ++bits) {
        const Image src = noiseImage({PixelFormat::Indexed, bits}, 23, 17);
        const Image r = rotate(src, 3300, true, kFill);
        ASSERT_EQ(r.format(), PixelFormat::Indexed);
        EXPECT_EQ(r.indexBits(), bits);
        EXPECT_EQ(r.palette(), src.palette()) << "full palette is not extended";
        int bad = 0;
        for (int y = 0; y < r.height(); ++y)
            for (int x = 0; x < r.width(); ++x) bad += r.row(y)[x] >= r.palette().size();
        EXPECT_EQ(bad, 0) << bits << " bits";
        // The corner gets the entry closest to the fill colour.
        const Rgb corner = pixelRgb(r, 0, 0);
        auto dist = [](Rgb a, Rgb b) {
            return (a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b);
        };
        for (const Rgb& c : src.palette()) EXPECT_LE(dist(corner, kFill), dist(c, kFill)) << bits << " bits";
    }
    // An entry equal to the fill colour is reused rather than duplicated.
    Image src = noiseImage({PixelFormat::Indexed, 4}, 9, 9);
    src.palette().resize(5);
    src.palette()[3] = kFill;
    for (int y = 0; y < 9; ++y) std::fill(src.row(y), src.row(y) + 9, 1);
    const Image r = rotate(src, 2000, true, kFill);
    EXPECT_EQ(r.palette().size(), 5u);
    EXPECT_EQ(r.row(0)[0], 3);
}

TEST(OpsRotate, NearlyQuarterTurnsAgreeWithTheExactTurn) {
    // A smooth picture turned by 89.99 and 90.01 degrees must match the exact
    // quarter turn inside: catches wrong direction, centre or axis order.
    Image src(80, 50, PixelFormat::Rgb24);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 80; ++x) {
            src.row(y)[3 * x] = static_cast<std::uint8_t>(3 * x);
            src.row(y)[3 * x + 1] = static_cast<std::uint8_t>(5 * y);
            src.row(y)[3 * x + 2] = static_cast<std::uint8_t>((x + y) * 2);
        }
    struct Case {
        int angle, exactAngle;
    };
    for (const Case& c :
         {Case{8999, 9000}, Case{9001, 9000}, Case{-26999, 9000}, Case{-9001, 27000}, Case{26999, 27000}}) {
        const int angle = c.angle, exactAngle = c.exactAngle;
        const Image exact = rotate(src, exactAngle, true, kFill);
        const Image near = rotate(src, angle, false, kFill);
        const Image nearGrown = rotate(src, angle, true, kFill);
        ASSERT_EQ(nearGrown.width(), exact.width() + 1);
        ASSERT_EQ(nearGrown.height(), exact.height() + 1);
        int worst = 0;
        for (int y = 10; y < 40; ++y)
            for (int x = 25; x < 55; ++x) {
                // Same canvas centre: the exact turn is offset by (w - h) / 2 = 15.
                const Rgb a = pixelRgb(near, x, y), b = pixelRgb(exact, x - 15, y + 15);
                worst = std::max({worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
            }
        EXPECT_LE(worst, 3) << angle;
    }
}

TEST(OpsRotate, BilinearInterpolatesBetweenNeighbours) {
    // Half a degree turns a sharp vertical edge into intermediate values along
    // it, while a uniform field stays exactly uniform.
    Image src(64, 64, PixelFormat::Gray8);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) src.row(y)[x] = x < 32 ? 0 : 200;
    const Image r = rotate(src, 50, false, kFill);
    int between = 0;
    for (int y = 5; y < 59; ++y)
        for (int x = 5; x < 59; ++x) {
            const int v = r.row(y)[x];
            between += v > 0 && v < 200;
            if (x < 28) {
                EXPECT_EQ(v, 0) << x << "," << y;
            } else if (x > 36) {
                EXPECT_EQ(v, 200) << x << "," << y;
            }
        }
    EXPECT_GT(between, 40);
    EXPECT_LT(between, 200);
}

TEST(OpsRotate, ResampledLayoutsAgreeWithTheRgbResult) {
    const Image rgb = noiseImage({PixelFormat::Rgb24, 8}, 31, 29);
    const Image expect = rotate(rgb, 2500, true, kFill);
    const Image fromRgba = rotate(toRgba32(rgb), 2500, true, kFill);
    ASSERT_EQ(fromRgba.format(), PixelFormat::Rgba32);
    EXPECT_TRUE(identical(toRgb24(fromRgba), expect));
    const Image from555 = rotate(toRgb555(rgb), 2500, true, kFill);
    ASSERT_EQ(from555.format(), PixelFormat::Rgb555);
    EXPECT_TRUE(identical(from555, toRgb555(rotate(toRgb24(toRgb555(rgb)), 2500, true, kFill))));
    const Image fromGray = rotate(toGray8(rgb), 2500, true, kFill);
    ASSERT_EQ(fromGray.format(), PixelFormat::Gray8);
    EXPECT_EQ(fromGray.width(), expect.width());
}

// Resampled RGBA weights colours by alpha: between opaque red and clear black
// the edge is red, part covered, never a dark fringe.
TEST(OpsRotate, ClearPixelsLendNoColourToTheirNeighbours) {
    Image src(20, 20, PixelFormat::Rgba32);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 10; ++x) std::memcpy(src.row(y) + 4 * x, "\xff\0\0\xff", 4);
    const Image r = rotate(src, 3000, true, kFill);
    int edge = 0, wrong = 0;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const std::uint8_t* p = r.row(y) + 4 * x;
            const Rgb c = pixelRgb(r, x, y);
            edge += p[3] > 0 && p[3] < 255;
            wrong += !(p[3] == 0 || c == Rgb{255, 0, 0} || (c == kFill && p[3] == 255));
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(edge, 10);
}

TEST(OpsRotate, RefusesEmptyAndOversizedResults) {
    EXPECT_THROW(rotate(Image(), 9000, true, kFill), Error);
    const auto old = pixelLimit();
    setPixelLimit(100 * 100);
    EXPECT_NO_THROW(rotate(Image(100, 100, PixelFormat::Gray8), 9000, true, kFill));
    EXPECT_THROW(rotate(Image(100, 100, PixelFormat::Gray8), 4500, true, kFill), Error);
    setPixelLimit(old);
}
