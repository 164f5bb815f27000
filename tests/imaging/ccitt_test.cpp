#include <gtest/gtest.h>

#include <vector>

#include "imaging/codecs/common/ccitt.h"
#include "imaging/error.h"
#include "tests/support/interop.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using rastel::test::bilevelPage;
using rastel::test::sameBlackPixels;
using Bytes = std::vector<std::uint8_t>;

namespace {

const CcittCoding kCodings[] = {CcittCoding::G3OneD, CcittCoding::G3TwoD, CcittCoding::G4};

struct Size {
    int w, h;
};
const Size kSizes[] = {{1, 1},  {1, 9},  {7, 5},     {8, 3},     {9, 12},   {63, 10},
                       {64, 2}, {65, 4}, {1728, 20}, {2000, 11}, {2561, 6}, {3000, 3}};

TEST(Ccitt, RoundTripsEveryCodingAtEveryWidth) {
    for (CcittCoding c : kCodings)
        for (Size s : kSizes) {
            SCOPED_TRACE(std::string(ccittCodingName(c)) + " " + std::to_string(s.w) + "x" + std::to_string(s.h));
            const Image page = bilevelPage(s.w, s.h, static_cast<std::uint32_t>(s.w + s.h));
            const Bytes coded = ccittEncode(page, c);
            const Image back = ccittDecode(coded, s.w, s.h, c, "T");
            EXPECT_EQ(back.format(), PixelFormat::Indexed);
            EXPECT_EQ(back.indexBits(), 1);
            EXPECT_TRUE(sameBlackPixels(page, back));
        }
}

TEST(Ccitt, DecodedPaletteIsWhiteThenBlack) {
    const Image page = bilevelPage(40, 4);
    const Image back = ccittDecode(ccittEncode(page, CcittCoding::G4), 40, 4, CcittCoding::G4, "T");
    ASSERT_EQ(back.palette().size(), 2u);
    EXPECT_EQ(back.palette()[0], (Rgb{255, 255, 255}));
    EXPECT_EQ(back.palette()[1], (Rgb{0, 0, 0}));
}

TEST(Ccitt, UnboundedDecodeFindsG3WidthAndHeight) {
    for (CcittCoding c : {CcittCoding::G3OneD, CcittCoding::G3TwoD})
        for (Size s : kSizes) {
            SCOPED_TRACE(std::string(ccittCodingName(c)) + " " + std::to_string(s.w) + "x" + std::to_string(s.h));
            const Image page = bilevelPage(s.w, s.h, 7);
            const Image back = ccittDecodeUnbounded(ccittEncode(page, c), c, 0, "T");
            EXPECT_EQ(back.width(), s.w);
            EXPECT_EQ(back.height(), s.h);
            EXPECT_TRUE(sameBlackPixels(page, back));
        }
}

TEST(Ccitt, UnboundedDecodeFindsStandardG4Widths) {
    for (int w : {1728, 2048, 2432, 1216, 864, 2550}) {
        SCOPED_TRACE(w);
        const Image page = bilevelPage(w, 13, static_cast<std::uint32_t>(w));
        const Image back = ccittDecodeUnbounded(ccittEncode(page, CcittCoding::G4), CcittCoding::G4, 0, "T");
        EXPECT_EQ(back.width(), w);
        EXPECT_EQ(back.height(), 13);
        EXPECT_TRUE(sameBlackPixels(page, back));
    }
}

TEST(Ccitt, UnboundedG4KeepsTrailingWhiteLines) {
    Image page = bilevelPage(1728, 10);
    for (int y = 6; y < 10; ++y)
        for (int x = 0; x < 1728; ++x) page.row(y)[x] = 0;
    const Image back = ccittDecodeUnbounded(ccittEncode(page, CcittCoding::G4), CcittCoding::G4, 1728, "T");
    EXPECT_EQ(back.height(), 10);
    EXPECT_TRUE(sameBlackPixels(page, back));
}

TEST(Ccitt, GuessesTheCoding) {
    const Image page = bilevelPage(300, 30);
    for (CcittCoding c : kCodings) {
        SCOPED_TRACE(ccittCodingName(c));
        EXPECT_EQ(ccittGuessCoding(ccittEncode(page, c)), c);
    }
}

TEST(Ccitt, EncodesByLuminance) {
    Image rgb(4, 1, PixelFormat::Rgb24);
    const Rgb colours[4] = {
        {255, 255, 255}, {200, 30, 30} /* luma 85: black */, {40, 250, 40} /* 170: white */, {0, 0, 0}};
    for (int x = 0; x < 4; ++x) {
        rgb.row(0)[3 * x] = colours[x].r;
        rgb.row(0)[3 * x + 1] = colours[x].g;
        rgb.row(0)[3 * x + 2] = colours[x].b;
    }
    const Image back = ccittDecode(ccittEncode(rgb, CcittCoding::G4), 4, 1, CcittCoding::G4, "T");
    const std::uint8_t expect[4] = {0, 1, 0, 1};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(back.row(0)[x], expect[x]) << x;
}

TEST(Ccitt, G3LinesStartWithByteAlignedEolAndEndWithRtc) {
    struct Case {
        CcittCoding coding;
        Bytes head, tail;
    };
    const Case cases[] = {
        {CcittCoding::G3OneD, {0x00, 0x01}, {0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01}},
        {CcittCoding::G3TwoD,
         {0x00, 0x01},
         {0x00, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ccittCodingName(c.coding));
        const Bytes coded = ccittEncode(bilevelPage(100, 3), c.coding);
        ASSERT_GT(coded.size(), c.head.size() + c.tail.size());
        EXPECT_EQ(Bytes(coded.begin(), coded.begin() + static_cast<long>(c.head.size())), c.head);
        EXPECT_EQ(Bytes(coded.end() - static_cast<long>(c.tail.size()), coded.end()), c.tail);
    }
    // Two-dimensional: the tag bit after the first EOL is 1 (the first line is one-dimensional).
    EXPECT_TRUE(ccittEncode(bilevelPage(100, 3), CcittCoding::G3TwoD)[2] & 0x80);
    const Bytes g4 = ccittEncode(bilevelPage(100, 3), CcittCoding::G4);
    EXPECT_FALSE(ccittHasEolNear(g4, 8));
}

struct BadData {
    const char* name;
    CcittCoding coding;
    std::size_t keep;  // bytes kept of the coded page (0 = all)
    int flipByte;      // byte to invert (-1 none)
};

TEST(Ccitt, DamagedDataIsAnErrorNeverACrash) {
    const Image page = bilevelPage(500, 40);
    const BadData cases[] = {
        {"g3 1d cut in half", CcittCoding::G3OneD, 2, -1}, {"g3 2d cut in half", CcittCoding::G3TwoD, 2, -1},
        {"g4 cut in half", CcittCoding::G4, 2, -1},        {"g4 one byte", CcittCoding::G4, 1000000, -1},
        {"g4 garbage byte", CcittCoding::G4, 0, 40},       {"g3 2d garbage", CcittCoding::G3TwoD, 0, 30},
    };
    for (const BadData& b : cases) {
        SCOPED_TRACE(b.name);
        Bytes coded = ccittEncode(page, b.coding);
        if (b.keep == 2) coded.resize(coded.size() / 2);
        if (b.keep == 1000000) coded.resize(1);
        if (b.flipByte >= 0) {
            for (int i = 0; i < 8; ++i) coded[static_cast<std::size_t>(b.flipByte + i)] = 0x00;
        }
        EXPECT_THROW(ccittDecode(coded, 500, 40, b.coding, "T"), Error);
    }
    EXPECT_THROW(ccittDecode(Bytes{}, 10, 10, CcittCoding::G4, "T"), Error);
    EXPECT_THROW(ccittDecodeUnbounded(Bytes{}, CcittCoding::G3OneD, 0, "T"), Error);
    EXPECT_THROW(ccittDecodeUnbounded(Bytes(100, 0xff), CcittCoding::G3OneD, 0, "T"), Error);
}

TEST(Ccitt, RandomBytesNeverCrashTheDecoders) {
    std::uint32_t s = 99;
    for (int round = 0; round < 60; ++round) {
        Bytes junk(static_cast<std::size_t>(1 + round * 7));
        for (auto& b : junk) {
            s = s * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(s >> 24);
        }
        for (CcittCoding c : kCodings) {
            try {
                (void)ccittDecodeUnbounded(junk, c, round % 2 ? 0 : 64, "T");
            } catch (const Error&) {
            }
            try {
                (void)ccittDecode(junk, 33, 5, c, "T");
            } catch (const Error&) {
            }
        }
    }
}

TEST(Ccitt, ErrorsNameTheFormat) {
    try {
        (void)ccittDecode(Bytes{1, 2, 3}, 1728, 100, CcittCoding::G4, "CALS");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("CALS: ", 0), 0u) << e.what();
    }
}

TEST(Ccitt, PixelLimitIsCheckedBeforeDecoding) {
    const std::uint64_t saved = pixelLimit();
    const Bytes g3 = ccittEncode(bilevelPage(200, 10), CcittCoding::G3OneD);
    setPixelLimit(1000);
    EXPECT_THROW(ccittDecode(Bytes{0x80}, 100, 100, CcittCoding::G4, "T"), Error);
    EXPECT_THROW(ccittDecodeUnbounded(g3, CcittCoding::G3OneD, 0, "T"), Error);
    setPixelLimit(saved);
}

}  // namespace
