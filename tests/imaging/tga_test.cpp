#include "tests/support/prelude.h"

namespace {

constexpr int kTga = 4;

struct WriteCase {
    const char* name;
    Image (*source)();
    int bits;
    int imageType;   // expected in the header
    int descriptor;  // expected in the header
};

Image colourful() { return testPicture(); }
Image grayish() { return toGray8(testPicture()); }
Image withAlpha() { return testPicture(37, 23, PixelFormat::Rgba32); }

class TgaWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TgaWrite, NetpbmAndPillowReadWhatWeWrite) {
    const WriteCase& c = GetParam();
    const Image src = c.source();
    const auto bytes = writerFor(kTga).write(src, WriteOptions{kTga, c.bits, 2, "x.tga"});
    ASSERT_GE(bytes.size(), 18u + 26u);
    EXPECT_EQ(bytes[2], c.imageType);
    EXPECT_EQ(bytes[16], c.bits);
    EXPECT_EQ(bytes[17], c.descriptor);
    EXPECT_EQ(std::string(bytes.end() - 18, bytes.end() - 1), "TRUEVISION-XFILE.");

    const Image expected = expectedAt(src, c.bits);
    TempDir dir;
    const std::string path = dir.file("out.tga");
    writeBytes(path, bytes);
    const auto netpbm = netpbmRead("tgatoppm", path);
    ASSERT_TRUE(netpbm);
    EXPECT_EQ(pixelDifferences(*netpbm, expected), 0) << c.name << ", tgatoppm";
    // Pillow widens 5-bit samples in another way, so it checks the other depths.
    if (c.bits != 16) {
        EXPECT_EQ(pixelDifferences(pillowRgba(path), expected, true), 0) << c.name << ", Pillow";
    }

    const Image back = decode("TGA", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(back, expected, true), 0) << c.name << ", own reader";
}

INSTANTIATE_TEST_SUITE_P(Depths, TgaWrite,
                         ::testing::Values(WriteCase{"mapped8", colourful, 8, 1, 0},
                                           WriteCase{"gray8", grayish, 8, 3, 0},
                                           WriteCase{"rgb16", colourful, 16, 2, 0},
                                           WriteCase{"rgb24", colourful, 24, 2, 0},
                                           WriteCase{"rgba32", withAlpha, 32, 2, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ForeignCase {
    const char* name;
    const char* command;  // %s input PPM, %o output TGA
    PixelFormat format;   // what our reader should return
    bool gray;            // feed a gray picture
};

class TgaForeign : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(TgaForeign, DecodesToTheSourcePixels) {
    const ForeignCase& c = GetParam();
    const Image src = c.gray ? toRgb24(toGray8(testPicture())) : toRgb24(toBitsPerPixel(testPicture(), 8));
    const Image img = decodeToolOutput("TGA", c.command, src, ".tga", Sniff::Weak);
    ASSERT_FALSE(img.empty()) << c.command;
    EXPECT_EQ(img.format(), c.format) << c.name;
    EXPECT_EQ(pixelDifferences(img, src), 0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, TgaForeign,
    ::testing::Values(ForeignCase{"pamtotga_rgb", "pamtotga -rgb -norle %s > %o", PixelFormat::Rgb24, false},
                      ForeignCase{"pamtotga_rgb_rle", "pamtotga -rgb %s > %o", PixelFormat::Rgb24, false},
                      ForeignCase{"pamtotga_cmap", "pamtotga -cmap -norle %s > %o", PixelFormat::Indexed, false},
                      ForeignCase{"pamtotga_cmap_rle", "pamtotga -cmap %s > %o", PixelFormat::Indexed, false},
                      ForeignCase{"pamtotga_gray_rle", "ppmtopgm %s | pamtotga > %o", PixelFormat::Gray8, true},
                      // ImageMagick 6.9 is left out: it stores rows top first while
                      // declaring a bottom-left origin (netpbm and Pillow read its
                      // files upside down, as we do).
                      ForeignCase{"pillow_rle",
                                  "/usr/bin/python3 -c \"import sys;from PIL import "
                                  "Image;Image.open(sys.argv[1]).save(sys.argv[2],rle=True)\" %s %o",
                                  PixelFormat::Rgb24, false},
                      ForeignCase{"pillow_gray",
                                  "/usr/bin/python3 -c \"import sys;from PIL import "
                                  "Image;Image.open(sys.argv[1]).convert('L').save(sys.argv[2])\" %s %o",
                                  PixelFormat::Gray8, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A hand-made file: header, optional ID and colour map, then pixel bytes.
std::vector<std::uint8_t> tgaFile(int type, int w, int h, int depth, int descriptor, std::vector<std::uint8_t> body,
                                  int mapFirst = 0, int mapLength = 0, int mapBits = 0, int idLength = 0) {
    std::vector<std::uint8_t> f = {static_cast<std::uint8_t>(idLength),
                                   static_cast<std::uint8_t>(mapLength ? 1 : 0),
                                   static_cast<std::uint8_t>(type),
                                   static_cast<std::uint8_t>(mapFirst),
                                   0,
                                   static_cast<std::uint8_t>(mapLength),
                                   0,
                                   static_cast<std::uint8_t>(mapBits),
                                   0,
                                   0,
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(w),
                                   0,
                                   static_cast<std::uint8_t>(h),
                                   0,
                                   static_cast<std::uint8_t>(depth),
                                   static_cast<std::uint8_t>(descriptor)};
    f.insert(f.end(), static_cast<std::size_t>(idLength), 'i');
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

struct LayoutCase {
    const char* name;
    std::vector<std::uint8_t> file;
    std::vector<Rgb> expected;  // row by row, top row first
    int alphaAt = -1;           // index of a pixel whose alpha is checked
    int alpha = 255;
};

class TgaLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(TgaLayout, DecodesHandMadeFiles) {
    const LayoutCase& c = GetParam();
    const Image img = decode("TGA", c.file).pages[0];
    ASSERT_NO_FATAL_FAILURE(expectColours(img, c.expected, c.name));
    if (c.alphaAt >= 0) {
        ASSERT_EQ(img.format(), PixelFormat::Rgba32);
        EXPECT_EQ(img.data()[4 * c.alphaAt + 3], c.alpha);
    }
}

const Rgb R{255, 0, 0}, G{0, 255, 0}, B{0, 0, 255}, W{255, 255, 255}, K{0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Hand, TgaLayout,
    ::testing::Values(
        // Bottom-left origin: the first stored row is the bottom one.
        LayoutCase{
            "bottom_left", tgaFile(2, 2, 2, 24, 0, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}), {B, W, R, G}},
        LayoutCase{
            "top_left", tgaFile(2, 2, 2, 24, 0x20, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}), {R, G, B, W}},
        LayoutCase{
            "top_right", tgaFile(2, 2, 2, 24, 0x30, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}), {G, R, W, B}},
        // RLE run packet of 3 crossing from row 0 into row 1, then a raw packet.
        LayoutCase{
            "rle_across_rows", tgaFile(10, 2, 2, 24, 0x20, {0x82, 0, 0, 255, 0x00, 255, 255, 255}), {R, R, R, W}},
        // Colour map of 15-bit entries starting at index 4; pixel value 5 is the
        // second entry.
        LayoutCase{"cmap_first_entry", tgaFile(1, 2, 1, 8, 0x20, {0x00, 0x7C, 0xE0, 0x03, 4, 5}, 4, 2, 15), {R, G}},
        LayoutCase{"image_id_skipped", tgaFile(3, 2, 1, 8, 0x20, {0, 255}, 0, 0, 0, 7), {K, W}},
        LayoutCase{"gray_alpha16", tgaFile(3, 2, 1, 16, 0x28, {255, 128, 0, 255}), {W, K}, 0, 128},
        LayoutCase{"rgb16_alpha_bit", tgaFile(2, 2, 1, 16, 0x21, {0x00, 0xFC, 0xE0, 0x03}), {R, G}, 1, 0},
        LayoutCase{"rle_gray", tgaFile(11, 3, 1, 8, 0x20, {0x82, 255}), {W, W, W}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tga, RefusesBrokenHeaders) {
    const std::vector<std::uint8_t> body(100, 0);
    const std::vector<std::uint8_t> bad[] = {
        tgaFile(0, 2, 2, 24, 0, body),          // no image data
        tgaFile(1, 2, 2, 8, 0, body),           // colour-mapped without a map
        tgaFile(2, 2, 2, 12, 0, body),          // odd depth
        tgaFile(2, 0, 2, 24, 0, body),          // zero width
        tgaFile(1, 2, 2, 8, 0, body, 0, 2, 9),  // bad map entry size
        tgaFile(2, 200, 200, 24, 0, body),      // pixel data cut short
        tgaFile(10, 200, 200, 24, 0, body),     // RLE data cut short
    };
    for (const auto& f : bad) EXPECT_THROW(decode("TGA", f), Error);
}

TEST(Tga, TruncationNeverCrashesAndCutPixelsAreRefused) {
    for (int bits : {8, 16, 24, 32}) {
        const auto file = writerFor(kTga).write(withAlpha(), WriteOptions{kTga, bits, 2, "x.tga"});
        const std::size_t pixelEnd = file.size() - 26;  // before the footer
        EXPECT_EQ(acceptedCut("TGA", file, pixelEnd), -1) << bits << " bits";
    }
}

// Shared corpus: the files an independent decoder opens give the same pixels;
// the rest are refused cleanly. The reference is netpbm, mirrored for
// right-to-left files (netpbm ignores that bit, as does ImageMagick), and
// Pillow for 16-bit gray with alpha (netpbm reads those as 5-5-5 colour).
// Where we return alpha and Pillow opens the file, Pillow's alpha must agree
// (ImageMagick 6.9 reads bottom-left files upside down).
TEST(Tga, SharedCorpusMatchesAnIndependentDecoder) {
    RASTEL_CORPUS_FILES(files, "tga");
    int compared = 0;
    for (const std::string& path : files) {
        const auto bytes = readBytes(path);
        if (bytes.size() < 18) continue;
        const bool grayAlpha = (bytes[2] & ~8) == 3 && bytes[16] == 16;
        Image ref;
        try {
            if (grayAlpha) {
                ref = pillowRgba(path);
            } else {
                ref = netpbmRead("tgatoppm", path).value_or(Image());
                if (bytes[17] & 0x10) ref = mirrored(ref);
            }
        } catch (const std::exception&) {
            ref = Image();
        }
        try {
            const Image ours = decode("TGA", bytes).pages[0];
            if (!ref.empty()) {
                EXPECT_EQ(pixelDifferences(ours, ref, grayAlpha), 0) << path;
                if (ours.format() == PixelFormat::Rgba32 && !grayAlpha) {
                    try {
                        EXPECT_EQ(pixelDifferences(ours, pillowRgba(path), true), 0) << path << " (alpha)";
                    } catch (const std::runtime_error&) {
                    }
                }
                ++compared;
            }
        } catch (const Error& e) {
            EXPECT_TRUE(ref.empty()) << path << ": " << e.what();
        }
    }
    EXPECT_GT(compared, 30);
}

TEST(Tga, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(4, ".tga", withAlpha()); }

}  // namespace
