#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/ops/dither.h"
#include "imaging/ops/palette_search.h"
#include "imaging/ops/reduce.h"
#include "tests/support/pictures.h"

using namespace rastel::imaging;
using namespace rastel::test;

namespace {

constexpr int kAllMethods[] = {kDitherNone,   kDitherFloydSteinberg, kDitherBurkes,
                               kDitherStucki, kDitherSierra,         kDitherStevensonArce,
                               kDitherJarvis, kDitherOrdered,        kDitherCluster};
constexpr int kDiffusion[] = {kDitherFloydSteinberg, kDitherBurkes,        kDitherStucki,
                              kDitherSierra,         kDitherStevensonArce, kDitherJarvis};

Image grayRamp(int w, int h) {
    Image img(w, h, PixelFormat::Gray8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.row(y)[x] = static_cast<std::uint8_t>(x * 255 / (w - 1));
    return img;
}

// Level v over h rows, then 8 rows of a full ramp so the picture has more
// colours than a 1-bit palette and must really be dithered.
Image flatGray(int w, int h, int v) {
    Image img(w, h + 8, PixelFormat::Gray8);
    std::fill(img.data(), img.data() + img.byteSize(), static_cast<std::uint8_t>(v));
    for (int y = h; y < h + 8; ++y)
        for (int x = 0; x < w; ++x) img.row(y)[x] = static_cast<std::uint8_t>(x * 255 / (w - 1));
    return img;
}

// Smooth colour content with many distinct colours.
Image colourGradient(int w, int h) {
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x * 255 / (w - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / (h - 1));
            p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + y) * 0.05));
        }
    return img;
}

double meanLevel(const Image& img) {
    double sum = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) sum += luma(pixelRgb(img, x, y));
    return sum / (static_cast<double>(img.width()) * img.height());
}

int distance2(Rgb a, Rgb b) {
    return (a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b);
}

}  // namespace

TEST(OpsReduce, RefusesOutOfRangeDepthAndCodes) {
    const Image img = colourGradient(8, 8);
    for (int bits : {0, -1, 9, 24}) EXPECT_THROW(reduceColors(img, bits, kDitherNone), Error) << bits;
    for (int code : {-1, 9, 100}) EXPECT_THROW(reduceColors(img, 8, code), Error) << code;
    EXPECT_THROW(reduceColors(Image(), 8, kDitherNone), Error);
}

TEST(OpsReduce, PictureWithFewEnoughColoursIsKeptExactly) {
    // One bit means a bilevel page: two colours other than black and white are
    // not kept (see the bilevel test below).
    for (int bits = 2; bits <= 8; ++bits) {
        // 2^bits distinct colours, far from black/white and from any gray ramp.
        const int n = 1 << bits;
        Image rgb(40, 21, PixelFormat::Rgb24);
        for (int y = 0; y < rgb.height(); ++y)
            for (int x = 0; x < rgb.width(); ++x) {
                const int i = (x * 7 + y * 3) % n;
                std::uint8_t* p = rgb.row(y) + 3 * x;
                p[0] = static_cast<std::uint8_t>(40 + i * 181 % 200);
                p[1] = static_cast<std::uint8_t>(30 + i);
                p[2] = static_cast<std::uint8_t>(200 - (i * 3) % 150);
            }
        Image gray(40, 21, PixelFormat::Gray8);
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 40; ++x)
                gray.row(y)[x] = static_cast<std::uint8_t>(3 + ((x * 7 + y * 3) % n) * 251 / n);
        const Image sources[] = {rgb, toRgba32(rgb), toRgb555(rgb), toIndexed(rgb, 8), gray, toIndexed(gray, 8)};
        for (const Image& src : sources) {
            for (int code : kAllMethods) {
                const Image out = reduceColors(src, bits, code);
                ASSERT_EQ(out.format(), PixelFormat::Indexed);
                ASSERT_LE(out.palette().size(), static_cast<std::size_t>(n));
                int wrong = 0;
                for (int y = 0; y < src.height(); ++y)
                    for (int x = 0; x < src.width(); ++x) wrong += !(pixelRgb(out, x, y) == pixelRgb(src, x, y));
                EXPECT_EQ(wrong, 0) << formatName(src.format()) << " to " << bits << " bits, code " << code;
            }
        }
    }
}

TEST(OpsReduce, OneBitIsBlackAndWhiteEvenForTwoColourPictures) {
    Image rgb(8, 2, PixelFormat::Rgb24);
    for (int x = 0; x < 8; ++x) {
        rgb.row(0)[3 * x] = 255;      // red top row
        rgb.row(1)[3 * x + 2] = 255;  // blue bottom row
    }
    for (int code : kAllMethods) {
        const Image out = reduceColors(rgb, 1, code);
        for (const Rgb& c : out.palette())
            EXPECT_TRUE(c == (Rgb{0, 0, 0}) || c == (Rgb{255, 255, 255})) << "code " << code;
    }
    Image bw(4, 1, PixelFormat::Rgb24);
    bw.row(0)[0] = bw.row(0)[1] = bw.row(0)[2] = 255;
    const Image kept = reduceColors(bw, 1, kDitherFloydSteinberg);
    EXPECT_EQ(pixelRgb(kept, 0, 0), (Rgb{255, 255, 255}));
    EXPECT_EQ(pixelRgb(kept, 1, 0), (Rgb{0, 0, 0}));
}

TEST(OpsReduce, EveryMethodStaysInsideItsPaletteAtEveryDepthAndLayout) {
    std::vector<Image> sources;
    for (const Layout& l :
         {Layout{PixelFormat::Rgb24, 8}, Layout{PixelFormat::Rgba32, 8}, Layout{PixelFormat::Rgb555, 8},
          Layout{PixelFormat::Gray8, 8}, Layout{PixelFormat::Indexed, 8}})
        sources.push_back(noiseImage(l, 37, 23, 99));
    sources.push_back(colourGradient(60, 40));
    for (const Image& src : sources) {
        for (int bits = 1; bits <= 8; ++bits) {
            for (int code : kAllMethods) {
                const Image out = reduceColors(src, bits, code);
                ASSERT_EQ(out.format(), PixelFormat::Indexed);
                EXPECT_EQ(out.indexBits(), bits);
                ASSERT_EQ(out.width(), src.width());
                ASSERT_EQ(out.height(), src.height());
                EXPECT_EQ(out.xDpi, src.xDpi);
                EXPECT_EQ(out.yDpi, src.yDpi);
                ASSERT_GE(out.palette().size(), 1u);
                ASSERT_LE(out.palette().size(), std::size_t{1} << bits);
                int outside = 0;
                for (int y = 0; y < out.height(); ++y)
                    for (int x = 0; x < out.width(); ++x) outside += out.row(y)[x] >= out.palette().size();
                EXPECT_EQ(outside, 0) << formatName(src.format()) << " " << bits << " bits code " << code;
            }
        }
    }
}

// Every palette choice and dither path sees an RGBA picture as it shows
// composited onto white, never its raw colour samples.
TEST(OpsReduce, TransparentPicturesReduceAsTheyShowOnWhite) {
    const Image src = noiseImage({PixelFormat::Rgba32, 8}, 37, 23, 3);
    Image clear = src;
    for (int y = 0; y < clear.height(); ++y)
        for (int x = 0; x < clear.width(); ++x) clear.row(y)[4 * x + 3] = 0;
    for (int bits : {1, 4, 8})
        for (int code : kAllMethods) {
            EXPECT_TRUE(identical(reduceColors(src, bits, code), reduceColors(toRgb24(src), bits, code)))
                << bits << " bits code " << code;
            const Image white = reduceColors(clear, bits, code);
            EXPECT_EQ(white.palette(), (std::vector<Rgb>{{255, 255, 255}})) << bits << " bits code " << code;
        }
}

TEST(OpsReduce, OneBitRampKeepsItsMeanBrightness) {
    // Both a gray and an RGB ramp; the mean of the dithered picture must stay
    // within 2% of full scale of the source mean for every method.
    const Image gray = grayRamp(256, 64);
    const Image sources[] = {gray, toRgb24(gray)};
    for (const Image& src : sources) {
        const double want = meanLevel(src);
        for (int code : kAllMethods) {
            if (code == kDitherNone) continue;
            const Image out = reduceColors(src, 1, code);
            EXPECT_NEAR(meanLevel(out), want, 0.02 * 255) << formatName(src.format()) << " code " << code;
        }
    }
}

TEST(OpsReduce, DiffusionReproducesFlatLevels) {
    // On a flat area every diffusion kernel passes on all of each pixel's
    // error, so the share of white pixels matches the level; a kernel whose
    // weights do not add up to its divisor drifts away from it.
    for (int code : kDiffusion) {
        for (int v : {12, 40, 90, 128, 170, 215, 243}) {
            const Image out = reduceColors(flatGray(128, 128, v), 1, code);
            // Inside, away from where the error starts to build up and from the
            // edges where it falls off.
            double white = 0;
            for (int y = 16; y < 112; ++y)
                for (int x = 8; x < 120; ++x) white += out.palette()[out.row(y)[x]].r == 255;
            EXPECT_NEAR(white / (96.0 * 112.0), v / 255.0, 0.006) << "code " << code << " level " << v;
        }
    }
}

TEST(OpsReduce, EachMethodGivesItsOwnResult) {
    const Image src = grayRamp(128, 64);
    std::vector<Image> outs;
    for (int code : kAllMethods) outs.push_back(reduceColors(src, 1, code));
    for (std::size_t a = 0; a < outs.size(); ++a)
        for (std::size_t b = a + 1; b < outs.size(); ++b)
            EXPECT_FALSE(identical(outs[a], outs[b])) << "codes " << kAllMethods[a] << " and " << kAllMethods[b];
}

TEST(OpsReduce, PaletteKindFollowsDepthAndSource) {
    const Image colour = colourGradient(64, 64);
    const std::vector<Rgb> blackWhite{{0, 0, 0}, {255, 255, 255}};
    EXPECT_EQ(reduceColors(colour, 1, kDitherFloydSteinberg).palette(), blackWhite);
    EXPECT_EQ(reduceColors(grayRamp(256, 4), 1, kDitherNone).palette(), blackWhite);
    for (int bits = 2; bits <= 7; ++bits) {
        EXPECT_EQ(reduceColors(grayRamp(256, 4), bits, kDitherNone).palette(), grayPalette(bits)) << bits;
        const Image viaPalette = toIndexed(grayRamp(256, 4), 8);
        EXPECT_EQ(reduceColors(viaPalette, bits, kDitherOrdered).palette(), grayPalette(bits)) << bits;
        EXPECT_FALSE(isGrayPalette(reduceColors(colour, bits, kDitherNone).palette())) << bits;
    }
}

TEST(OpsReduce, OrderedScreensReproduceUniformLevels) {
    // A uniform level v at 1 bit: the share of white pixels is v/255 to within
    // one matrix cell (1/64).
    for (int code : {kDitherOrdered, kDitherCluster}) {
        for (int v : {1, 32, 64, 100, 128, 180, 230, 254}) {
            const Image out = reduceColors(flatGray(64, 64, v), 1, code);
            double white = 0;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x) white += out.palette()[out.row(y)[x]].r == 255;
            EXPECT_NEAR(white / (64.0 * 64.0), v / 255.0, 1.5 / 64) << "code " << code << " level " << v;
        }
    }
}

TEST(OpsReduce, ClusteredDotClumpsWhereBayerDisperses) {
    auto transitions = [](const Image& img) {
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 1; x < img.width(); ++x) n += img.row(y)[x] != img.row(y)[x - 1];
        return n;
    };
    for (int v : {64, 96, 160}) {
        const int bayer = transitions(reduceColors(flatGray(64, 64, v), 1, kDitherOrdered));
        const int cluster = transitions(reduceColors(flatGray(64, 64, v), 1, kDitherCluster));
        EXPECT_LT(cluster * 2, bayer) << v;
    }
}

TEST(OpsReduce, DiffusionKeepsAverageColour) {
    const Image src = colourGradient(128, 96);
    double want[3] = {0, 0, 0};
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x) {
            const Rgb c = pixelRgb(src, x, y);
            want[0] += c.r, want[1] += c.g, want[2] += c.b;
        }
    const double n = 128.0 * 96.0;
    for (int bits : {2, 3, 5}) {
        for (int code : kDiffusion) {
            const Image out = reduceColors(src, bits, code);
            double got[3] = {0, 0, 0};
            for (int y = 0; y < out.height(); ++y)
                for (int x = 0; x < out.width(); ++x) {
                    const Rgb c = pixelRgb(out, x, y);
                    got[0] += c.r, got[1] += c.g, got[2] += c.b;
                }
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(got[k] / n, want[k] / n, 3.0) << bits << " bits code " << code << " channel " << k;
        }
    }
}

TEST(OpsReduce, QuantiserFindsTheColourClusters) {
    // Sixteen well separated colours with a little noise: a 4-bit optimised
    // palette must put one entry on each cluster (a fixed colour cube cannot).
    const Rgb centres[16] = {{20, 30, 40},    {200, 30, 40},  {20, 200, 40},   {20, 30, 200},
                             {120, 120, 120}, {240, 240, 20}, {240, 20, 240},  {20, 240, 240},
                             {90, 60, 30},    {60, 90, 150},  {150, 60, 90},   {200, 140, 60},
                             {60, 200, 140},  {140, 60, 200}, {230, 230, 230}, {100, 180, 80}};
    Image src(64, 64, PixelFormat::Rgb24);
    Lcg rng{5};
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const Rgb c = centres[(x / 16) + 4 * (y / 16)];
            std::uint8_t* p = src.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(c.r + static_cast<int>(rng.next() % 7) - 3);
            p[1] = static_cast<std::uint8_t>(c.g + static_cast<int>(rng.next() % 7) - 3);
            p[2] = static_cast<std::uint8_t>(c.b + static_cast<int>(rng.next() % 7) - 3);
        }
    const Image out = reduceColors(src, 4, kDitherNone);
    int worst = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) worst = std::max(worst, distance2(pixelRgb(out, x, y), pixelRgb(src, x, y)));
    EXPECT_LE(worst, 3 * 6 * 6);

    // Smooth content folded through colour space: ImageMagick's octree
    // (-colors 256 -dither None) averages 12.0 levels of error here.
    const Image grad = colourGradient(200, 150);
    const Image g8 = reduceColors(grad, 8, kDitherNone);
    double sum = 0;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x) sum += std::sqrt(distance2(pixelRgb(g8, x, y), pixelRgb(grad, x, y)));
    EXPECT_LT(sum / (200.0 * 150.0), 11.5);
}

TEST(OpsReduce, NarrowColourRangeStillGetsAFullPalette) {
    // About a thousand dark colours inside 0..31 per channel: the palette must
    // use all 256 entries instead of one per coarse full-range cell.
    Image src(256, 256, PixelFormat::Rgb24);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            std::uint8_t* p = src.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x / 8);
            p[1] = static_cast<std::uint8_t>(y / 8);
            p[2] = static_cast<std::uint8_t>((x + y) / 16);
        }
    const Image out = reduceColors(src, 8, kDitherNone);
    EXPECT_EQ(out.palette().size(), 256u);
    double sum = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) sum += std::sqrt(distance2(pixelRgb(out, x, y), pixelRgb(src, x, y)));
    EXPECT_LT(sum / 65536.0, 2.0);
}

TEST(OpsReduce, CachedNearestColourIsCloseToTheExactOne) {
    Lcg rng{11};
    for (int size : {1, 2, 16, 256}) {
        std::vector<Rgb> pal;
        for (int i = 0; i < size; ++i)
            pal.push_back({static_cast<std::uint8_t>(rng.next()), static_cast<std::uint8_t>(rng.next()),
                           static_cast<std::uint8_t>(rng.next())});
        PaletteSearch search(pal);
        for (int i = 0; i < 3000; ++i) {
            const Rgb q{static_cast<std::uint8_t>(rng.next()), static_cast<std::uint8_t>(rng.next()),
                        static_cast<std::uint8_t>(rng.next())};
            const int cached = search.nearest(q.r, q.g, q.b);
            const int exact = search.nearestExact(q.r, q.g, q.b);
            ASSERT_GE(cached, 0);
            ASSERT_LT(cached, size);
            // Off by at most twice the distance to a cell centre (sqrt(3) * 1.5).
            EXPECT_LE(std::sqrt(distance2(pal[cached], q)), std::sqrt(distance2(pal[exact], q)) + 5.2) << size;
        }
    }
}

TEST(OpsReduce, EveryCellCachesTheEntryNearestItsCentreLowestIndexOnTies) {
    Lcg rng{17};
    const auto random = [&rng](int n) {
        std::vector<Rgb> pal;
        for (int i = 0; i < n; ++i)
            pal.push_back({static_cast<std::uint8_t>(rng.next()), static_cast<std::uint8_t>(rng.next()),
                           static_cast<std::uint8_t>(rng.next())});
        return pal;
    };
    // Repeated entries, and entries at 4c and 4c+3 on each side of the centre
    // 4c+1.5 of cells, make exact ties that only the index can break.
    std::vector<Rgb> ties = random(60);
    ties.insert(ties.end(), ties.rbegin(), ties.rend());
    for (int c = 0; c < 8; ++c)
        for (int v : {32 * c, 32 * c + 3}) ties.push_back({static_cast<std::uint8_t>(v), 100, 100});
    for (const std::vector<Rgb>& pal : {std::vector<Rgb>{}, random(1), random(7), random(256), ties}) {
        PaletteSearch search(pal);
        int wrong = 0;
        for (int cell = 0; cell < 1 << 18; ++cell) {
            const int cr = cell >> 12, cg = (cell >> 6) & 63, cb = cell & 63;
            // Doubled coordinates keep the centre integral.
            std::size_t best = 0;
            long bestD = -1;
            for (std::size_t i = 0; i < pal.size(); ++i) {
                const long dr = 2L * pal[i].r - (8 * cr + 3), dg = 2L * pal[i].g - (8 * cg + 3),
                           db = 2L * pal[i].b - (8 * cb + 3);
                const long d = dr * dr + dg * dg + db * db;
                if (bestD < 0 || d < bestD) bestD = d, best = i;
            }
            wrong += search.nearest(4 * cr + (cell & 3), 4 * cg + 3 - (cell & 3), 4 * cb) != static_cast<int>(best);
        }
        EXPECT_EQ(wrong, 0) << pal.size() << " entries";
    }
}

namespace {

// FNV-1a over the index rows and the palette: any changed pixel or entry changes it.
std::uint64_t digest(const Image& img) {
    std::uint64_t h = 14695981039346656037ull;
    const auto add = [&h](std::uint8_t v) { h = (h ^ v) * 1099511628211ull; };
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) add(img.row(y)[x]);
    for (const Rgb& c : img.palette()) add(c.r), add(c.g), add(c.b);
    return h;
}

}  // namespace

TEST(OpsReduce, ResultsStayBitForBitTheSame) {
    // Pinned outputs of every method on a gray and a colour picture at two
    // depths each: faster code paths must not change a single index.
    const Image gray = noiseImage({PixelFormat::Gray8, 8}, 53, 29, 5);
    const Image colour = colourGradient(97, 61);
    // Colours all over the cube and a smooth picture: many histogram cells
    // for the palette choice and lookups far from any entry.
    const Image noise = noiseImage({PixelFormat::Rgb24, 8}, 131, 77, 9);
    const Image photo = makePicture(Picture::Photo, 160, 120);
    struct Row {
        int code;
        std::uint64_t gray1, gray4, colour3, colour8, noise8, photo8;
    };
    const Row rows[] = {
        {kDitherNone, 6897748086674243858u, 4042604682437544947u, 10767687580725062570u, 6709053624355448743u,
         560442991578020207u, 4481128161635314883u},
        {kDitherFloydSteinberg, 14498032806744390474u, 16645007470248951055u, 13320516484840341675u,
         1750554934732676387u, 13342812308242046464u, 6984914139223961576u},
        {kDitherBurkes, 4742459149533202036u, 14775057360014064971u, 5268140430757361961u, 12926076503785665931u,
         16512615393491278786u, 16041239719525282840u},
        {kDitherStucki, 9057815487694000369u, 13500983740378766305u, 10025764307391781821u, 13381096895821641715u,
         13143647099701850158u, 13361936168949055000u},
        {kDitherSierra, 780787883847986071u, 15789279094739314894u, 12498553217566095854u, 13452027773213010503u,
         1519935810014586916u, 13263122359510710319u},
        {kDitherStevensonArce, 14587867242082095437u, 3406990620920079909u, 6602207322967280539u, 3074773761837238505u,
         16221397156773098907u, 16590291406920943560u},
        {kDitherJarvis, 14398981080827383226u, 370489327375402642u, 6936454171460222918u, 12368675808062307201u,
         14648786000038799548u, 2295860937353020582u},
        {kDitherOrdered, 17136122889361733383u, 15374170328697309099u, 9460451030752918041u, 16689730153818153990u,
         15032358062754776283u, 14009766422905057656u},
        {kDitherCluster, 4686350383028968530u, 17481318632472460395u, 10255926579725363359u, 4080983379729485304u,
         10383260646472882658u, 18219334455186028525u},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(digest(reduceColors(gray, 1, r.code)), r.gray1) << "gray 1 bit, code " << r.code;
        EXPECT_EQ(digest(reduceColors(gray, 4, r.code)), r.gray4) << "gray 4 bits, code " << r.code;
        EXPECT_EQ(digest(reduceColors(colour, 3, r.code)), r.colour3) << "colour 3 bits, code " << r.code;
        EXPECT_EQ(digest(reduceColors(colour, 8, r.code)), r.colour8) << "colour 8 bits, code " << r.code;
        // Eight bits keeps a gray picture's own levels (dither called directly,
        // as a reduction keeps the picture unchanged), so every method gives the same.
        EXPECT_EQ(digest(ditherGray(gray, 8, r.code)), 16109151710299290592u) << "gray 8 bits, code " << r.code;
        EXPECT_EQ(digest(reduceColors(noise, 8, r.code)), r.noise8) << "noise 8 bits, code " << r.code;
        EXPECT_EQ(digest(reduceColors(photo, 8, r.code)), r.photo8) << "photo 8 bits, code " << r.code;
    }
    // Layout conversion to fewer colours takes the undithered path.
    EXPECT_EQ(digest(toIndexed(gray, 4)), rows[0].gray4);
    EXPECT_EQ(digest(toIndexed(colour, 8)), rows[0].colour8);
}
