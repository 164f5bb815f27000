#include <gtest/gtest.h>

#include "imaging/convert.h"
#include "imaging/ops/grayscale.h"
#include "imaging/ops/mirror.h"
#include "tests/support/pictures.h"

using namespace rastel::imaging;
using namespace rastel::test;

TEST(OpsMirror, MovesEveryPixelAcrossAndTwiceRestores) {
    for (const Layout& l : allLayouts()) {
        for (int w : {1, 2, 7, 64, 65}) {
            const Image src = noiseImage(l, w, 5);
            Image m = src;
            mirrorInPlace(m);
            ASSERT_EQ(m.palette(), src.palette()) << l.name();
            EXPECT_EQ(m.xDpi, 300);
            EXPECT_EQ(m.yDpi, 150);
            bool moved = true;
            for (int y = 0; y < src.height(); ++y)
                for (int x = 0; x < w; ++x) moved &= pixelBytes(m, w - 1 - x, y) == pixelBytes(src, x, y);
            EXPECT_TRUE(moved) << l.name() << " width " << w;
            mirrorInPlace(m);
            EXPECT_TRUE(identical(m, src)) << l.name() << " width " << w;
        }
    }
}

TEST(OpsGrayscale, GivesLumaOfEveryPixelInEveryLayout) {
    for (const Layout& l : allLayouts()) {
        const Image src = noiseImage(l, 13, 4);
        const Image g = convertToGrayscale(src);
        ASSERT_EQ(g.format(), PixelFormat::Gray8) << l.name();
        ASSERT_EQ(g.width(), 13);
        ASSERT_EQ(g.height(), 4);
        EXPECT_EQ(g.xDpi, 300);
        EXPECT_EQ(g.yDpi, 150);
        int wrong = 0;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 13; ++x) wrong += g.row(y)[x] != luma(pixelOnWhite(src, x, y));  // RGBA shows on white
        EXPECT_EQ(wrong, 0) << l.name();
    }
}

TEST(OpsGrayscale, PrimariesFollowBt601Weights) {
    struct Case {
        Rgb in;
        int out;
    };
    const Case cases[] = {
        {{255, 0, 0}, 76}, {{0, 255, 0}, 150}, {{0, 0, 255}, 29}, {{255, 255, 255}, 255}, {{0, 0, 0}, 0}};
    Image img(5, 1, PixelFormat::Rgb24);
    for (int i = 0; i < 5; ++i) {
        img.row(0)[3 * i] = cases[i].in.r;
        img.row(0)[3 * i + 1] = cases[i].in.g;
        img.row(0)[3 * i + 2] = cases[i].in.b;
    }
    const Image g = convertToGrayscale(img);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g.row(0)[i], cases[i].out) << i;
}
