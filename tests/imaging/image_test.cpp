#include <gtest/gtest.h>

#include <cstring>

#include "imaging/codecs/common/bits.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;

TEST(Image, RefusesSizesPastThePixelLimit) {
    EXPECT_THROW(Image(1 << 15, 1 << 14, PixelFormat::Rgb24), Error);
    EXPECT_THROW(Image(0, 10, PixelFormat::Gray8), Error);
    EXPECT_THROW(Image(10, -1, PixelFormat::Gray8), Error);
    EXPECT_THROW(Image(4, 4, PixelFormat::Indexed, 9), Error);
    EXPECT_NO_THROW(Image(3, 2, PixelFormat::Indexed, 1));
    try {
        Image(1 << 15, 1 << 14, PixelFormat::Rgb24);
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::TooLarge);
    }
}

// The text is made from the fields: "<path>: <format>: <cause>", each part
// present only when set.
TEST(Error, TextJoinsPathFormatAndCause) {
    const Error e(Error::Kind::Malformed, "GIF", "bad block");
    EXPECT_STREQ(e.what(), "GIF: bad block");
    const Error named = e.at("x.gif");
    EXPECT_STREQ(named.what(), "x.gif: GIF: bad block");
    EXPECT_EQ(named.reason(), "GIF: bad block");
    EXPECT_STREQ(Error(Error::Kind::Io, "", "cannot read", "x.gif").what(), "x.gif: cannot read");
}

TEST(Bits, PackUnpackRoundTripsEveryDepth) {
    for (int bits = 1; bits <= 8; ++bits) {
        std::vector<std::uint8_t> v(37);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>((i * 7 + 3) & ((1 << bits) - 1));
        std::vector<std::uint8_t> packed(packedBytes(v.size(), bits) + 1, 0xAA);
        packBits(v.data(), v.size(), bits, packed.data());
        EXPECT_EQ(packed.back(), 0xAA) << "wrote past the packed row at " << bits << " bits";
        std::vector<std::uint8_t> back(v.size());
        unpackBits(packed.data(), v.size(), bits, back.data());
        EXPECT_EQ(back, v) << bits << " bits";
    }
    const std::uint8_t ones[3] = {1, 0, 1};
    std::uint8_t out = 0;
    packBits(ones, 3, 1, &out);
    EXPECT_EQ(out, 0xA0);
}

TEST(Convert, IndexedIsExactWhenColoursFit) {
    Image rgb(4, 2, PixelFormat::Rgb24);
    const Rgb colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            rgb.row(y)[3 * x] = colours[(x + y) % 4].r;
            rgb.row(y)[3 * x + 1] = colours[(x + y) % 4].g;
            rgb.row(y)[3 * x + 2] = colours[(x + y) % 4].b;
        }
    const Image idx = toIndexed(rgb, 2);
    ASSERT_EQ(idx.format(), PixelFormat::Indexed);
    EXPECT_EQ(idx.indexBits(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixelRgb(idx, x, y), colours[(x + y) % 4]);
    const Image back = toRgb24(idx);
    EXPECT_EQ(std::vector<std::uint8_t>(back.data(), back.data() + back.byteSize()),
              std::vector<std::uint8_t>(rgb.data(), rgb.data() + rgb.byteSize()));
}

TEST(Convert, GrayUsesBt601) {
    Image rgb(3, 1, PixelFormat::Rgb24);
    const std::uint8_t px[9] = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    std::copy(px, px + 9, rgb.row(0));
    const Image g = toGray8(rgb);
    EXPECT_EQ(g.row(0)[0], 76);
    EXPECT_EQ(g.row(0)[1], 150);
    EXPECT_EQ(g.row(0)[2], 29);
}

TEST(Convert, Rgb555RoundTripsFiveBitValues) {
    Image rgb(32, 1, PixelFormat::Rgb24);
    for (int x = 0; x < 32; ++x) {
        const auto v = static_cast<std::uint8_t>((x << 3) | (x >> 2));
        rgb.row(0)[3 * x] = v;
        rgb.row(0)[3 * x + 1] = static_cast<std::uint8_t>(255 - v);
        rgb.row(0)[3 * x + 2] = v;
    }
    const Image back = toRgb24(toRgb555(rgb));
    EXPECT_EQ(0, std::memcmp(back.data(), rgb.data(), rgb.byteSize()));
}

// Conversions to layouts without alpha show an Rgba32 pixel composited onto
// white, (c a + 255 (255 - a)) / 255 rounded; 32 bits keeps the samples as they are.
TEST(Convert, TransparencyIsCompositedOntoWhiteWhereTheLayoutHasNoAlpha) {
    const std::uint8_t alpha[3] = {0, 128, 255};
    Image src(3, 1, PixelFormat::Rgba32);
    for (int x = 0; x < 3; ++x) {
        const std::uint8_t px[4] = {200, 100, 0, alpha[x]};
        std::memcpy(src.row(0) + 4 * x, px, 4);
    }
    struct Case {
        const char* name;
        Image (*convert)(const Image&);
        Rgb shows[3];  // at alpha 0, 128, 255
    };
    const Case cases[] = {
        {"rgb 24", toRgb24, {{255, 255, 255}, {227, 177, 127}, {200, 100, 0}}},
        {"gray 8", toGray8, {{255, 255, 255}, {186, 186, 186}, {119, 119, 119}}},
        {"rgb 555", toRgb555, {{255, 255, 255}, {231, 181, 123}, {206, 99, 0}}},
        {"indexed 2",
         [](const Image& i) { return toIndexed(i, 2); },
         {{255, 255, 255}, {227, 177, 127}, {200, 100, 0}}},
        {"indexed 1",
         [](const Image& i) { return toBitsPerPixel(i, 1); },
         {{255, 255, 255}, {255, 255, 255}, {0, 0, 0}}},
        {"32 bits",
         [](const Image& i) { return toBitsPerPixel(i, 32); },
         {{200, 100, 0}, {200, 100, 0}, {200, 100, 0}}},
    };
    for (const Case& c : cases) {
        const Image out = c.convert(src);
        for (int x = 0; x < 3; ++x) EXPECT_EQ(pixelRgb(out, x, 0), c.shows[x]) << c.name << " alpha " << int{alpha[x]};
    }
    EXPECT_EQ(std::memcmp(toBitsPerPixel(src, 32).data(), src.data(), src.byteSize()), 0) << "alpha kept";
    EXPECT_EQ(pixelOnWhite(src, 1, 0), (Rgb{227, 177, 127}));
}

// Writers take a page that already has the wanted layout as it is, and a
// converted copy otherwise.
TEST(Convert, APageInTheWantedLayoutIsNotCopied) {
    const Image rgb(4, 2, PixelFormat::Rgb24);
    Image scratch;
    EXPECT_EQ(&inFormat(rgb, PixelFormat::Rgb24, scratch), &rgb);
    EXPECT_EQ(&atBitsPerPixel(rgb, 24, scratch), &rgb);
    EXPECT_TRUE(scratch.empty());
    EXPECT_EQ(atBitsPerPixel(rgb, 32, scratch).format(), PixelFormat::Rgba32);
    EXPECT_EQ(&inFormat(rgb, PixelFormat::Gray8, scratch), &scratch);
    EXPECT_EQ(atBitsPerPixel(rgb, 4, scratch).indexBits(), 4);
}

// A file no reader takes is refused with what its content resembles: another
// format's signature, a header without signature under a foreign extension,
// or no signature at all. A TGA header that also starts like an icon
// directory is read as TGA and refused for its own fault.
TEST(Registry, RefusalsSayWhatTheContentResembles) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* file;
        const char* message;  // a part of the error
        Error::Kind kind = Error::Kind::Unsupported;
    };
    const std::string tgaHead("\0\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x02\0\x18\0", 18);
    const std::string mappedWithoutMap("\0\0\x01\0\0\xd4\0\x20\0\0\0\0\x30\0\x30\0\x08\0", 18);
    // Two 1x1 frames on a screen of 2^28 pixels: the canvases together pass the limit.
    const std::string gifFrame("\x2c\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\0", 15);
    const std::string twoScreenfuls =
        std::string("GIF89a\0\x40\0\x40\x80\0\0\0\0\0\xff\xff\xff", 19) + gifFrame + gifFrame + ";";
    const Case cases[] = {
        {"WebP", std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), "x.bin", "looks like a WebP image, which is not read"},
        {"PDF", "%PDF-1.4\n", "x.eps", "looks like a PDF document"},
        {"TGA under another name", tgaHead + std::string(24, '\x7f'), "x.bmp", "resembles TGA, which has no signature"},
        {"text", "hello, world\n", "x.gif", "no known image signature matched; the file starts as plain text"},
        {"binary", std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9), "x.ico",
         "(first bytes 01 02 03 04 05 06 07 08)"},
        {"colour-mapped TGA without a map", mappedWithoutMap + std::string(200, '\0'), "x.tga",
         "TGA: colour-mapped image without a colour map", Error::Kind::Malformed},
        {"GIF canvases past the pixel limit", twoScreenfuls, "x.gif",
         "GIF: too many frames: 2 canvases of 16384x16384 exceed the pixel limit", Error::Kind::TooLarge},
    };
    rastel::test::TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file(c.file);
        rastel::test::writeBytes(path, std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end()));
        try {
            rastel::imaging::loadDocument(path);
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const rastel::imaging::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << ": " << e.what();
            EXPECT_EQ(e.kind(), c.kind) << c.name;
            EXPECT_EQ(e.path(), path) << c.name;
        }
    }
}
