#include "tests/support/prelude.h"

namespace {

constexpr int kSun = 55;

Image blackWhite(int w = 45) {
    Image img(w, 17, PixelFormat::Gray8);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < w; ++x) img.row(y)[x] = ((x / 3 + y / 2) % 3 == 0) ? 0 : 255;
    return img;
}

struct WriteCase {
    int bits;
    std::uint32_t depth;    // stored depth
    std::uint32_t mapType;  // stored colour map type
    std::uint32_t mapLength;
};

class SunWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SunWrite, NetpbmAndPillowReadWhatWeWrite) {
    const WriteCase& c = GetParam();
    const Image src = c.bits == 1    ? blackWhite()
                      : c.bits == 32 ? testPicture(37, 23, PixelFormat::Rgba32)
                                     : testPicture();
    const auto bytes = writerFor(kSun).write(src, WriteOptions{kSun, c.bits, 2, "x.ras"});
    ASSERT_GE(bytes.size(), 32u);
    EXPECT_EQ(getU32be(bytes, 0), 0x59A66A95u);
    EXPECT_EQ(getU32be(bytes, 12), c.depth);
    EXPECT_EQ(getU32be(bytes, 20), 1u) << "standard type";
    EXPECT_EQ(getU32be(bytes, 24), c.mapType);
    if (c.bits != 8) {
        EXPECT_EQ(getU32be(bytes, 28), c.mapLength);
    }
    // Rows padded to 16 bits: the pixel area is exactly the stated length.
    const std::size_t stride = ((static_cast<std::size_t>(src.width()) * c.depth + 15) / 16) * 2;
    EXPECT_EQ(getU32be(bytes, 16), stride * static_cast<std::size_t>(src.height()));
    EXPECT_EQ(bytes.size(), 32 + getU32be(bytes, 28) + getU32be(bytes, 16));

    const Image expected = expectedAt(src, c.bits);
    TempDir dir;
    const std::string path = dir.file("out.ras");
    writeBytes(path, bytes);
    const auto netpbm = netpbmRead("rasttopnm", path);
    ASSERT_TRUE(netpbm);
    EXPECT_EQ(pixelDifferences(*netpbm, expected), 0) << c.bits << " bits, rasttopnm";
    // Pillow takes 32-bit pixels as B G R X where netpbm and ImageMagick read
    // the X B G R order we write.
    if (c.bits != 32) {
        EXPECT_EQ(pixelDifferences(pillowRgba(path), expected), 0) << c.bits << " bits, Pillow";
    }
    EXPECT_EQ(pixelDifferences(magickRgba(path), expected), 0) << c.bits << " bits, ImageMagick";

    const Image back = decode("SUN", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(back, expected, true), 0) << c.bits << " bits, own reader";
}

INSTANTIATE_TEST_SUITE_P(Depths, SunWrite,
                         ::testing::Values(WriteCase{1, 1, 0, 0}, WriteCase{4, 8, 1, 48}, WriteCase{8, 8, 1, 0},
                                           WriteCase{24, 24, 0, 0}, WriteCase{32, 32, 0, 0}));

struct ForeignCase {
    const char* name;
    const char* command;  // %s input PNM, %o output raster
    int kind;             // 1 black and white, 8 palette, 24 colour
};

class SunForeign : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(SunForeign, DecodesToTheSourcePixels) {
    const ForeignCase& c = GetParam();
    // pnmtorast drops the last partial byte of 1-bit rows, so the mono picture
    // is a whole number of bytes wide.
    const Image src = c.kind == 1   ? toRgb24(blackWhite(48))
                      : c.kind == 8 ? toRgb24(toBitsPerPixel(testPicture(), 8))
                                    : testPicture();
    const Image img = decodeToolOutput("SUN", c.command, src, ".ras", Sniff::Strong);
    ASSERT_FALSE(img.empty()) << c.command;
    EXPECT_EQ(pixelDifferences(img, src), 0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, SunForeign,
    ::testing::Values(ForeignCase{"pnmtorast_standard", "pnmtorast -standard %s > %o", 24},
                      ForeignCase{"pnmtorast_rle", "pnmtorast -rle %s > %o", 24},
                      ForeignCase{"pnmtorast_mapped_rle", "pnmtorast -rle %s > %o", 8},
                      ForeignCase{"pnmtorast_mono", "ppmtopgm %s | pgmtopbm -threshold | pnmtorast -standard > %o", 1},
                      ForeignCase{"pnmtorast_mono_rle", "ppmtopgm %s | pgmtopbm -threshold | pnmtorast -rle > %o", 1},
                      ForeignCase{"magick", "/usr/bin/convert %s SUN:%o", 24},
                      ForeignCase{"magick_palette", "/usr/bin/convert %s -type Palette SUN:%o", 8},
                      ForeignCase{"pillow_via_magick_rle", "/usr/bin/convert %s -compress RLE SUN:%o", 24}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::uint8_t> rasFile(std::uint32_t w, std::uint32_t h, std::uint32_t depth, std::uint32_t type,
                                  std::uint32_t mapType, const std::vector<std::uint8_t>& map,
                                  const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> f;
    for (std::uint32_t v : {0x59A66A95u, w, h, depth, static_cast<std::uint32_t>(body.size()), type, mapType,
                            static_cast<std::uint32_t>(map.size())})
        for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<std::uint8_t>(v >> s));
    f.insert(f.end(), map.begin(), map.end());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

struct LayoutCase {
    const char* name;
    std::vector<std::uint8_t> file;
    std::vector<Rgb> expected;
    int alpha = -1;  // alpha of pixel 0 when the result has alpha
};

class SunLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(SunLayout, DecodesHandMadeFiles) {
    const LayoutCase& c = GetParam();
    const Image img = decode("SUN", c.file).pages[0];
    ASSERT_NO_FATAL_FAILURE(expectColours(img, c.expected, c.name));
    if (c.alpha >= 0) {
        ASSERT_EQ(img.format(), PixelFormat::Rgba32) << c.name;
        EXPECT_EQ(img.data()[3], c.alpha) << c.name;
    } else {
        EXPECT_NE(img.format(), PixelFormat::Rgba32) << c.name;
    }
}

const Rgb R{255, 0, 0}, G{0, 255, 0}, B{0, 0, 255}, W{255, 255, 255}, K{0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Hand, SunLayout,
    ::testing::Values(
        // 24-bit standard rows are B G R, padded to an even length.
        LayoutCase{"bgr_padded", rasFile(1, 2, 24, 1, 0, {}, {0, 0, 255, 0, 255, 0, 0, 0}), {R, B}},
        LayoutCase{"rgb_type", rasFile(1, 2, 24, 3, 0, {}, {255, 0, 0, 0, 0, 0, 255, 0}), {R, B}},
        // Old type, length 0.
        LayoutCase{"old_type_zero_length",
                   [] {
                       auto f = rasFile(2, 1, 24, 0, 0, {}, {0, 255, 0, 255, 255, 255});
                       f[16] = f[17] = f[18] = f[19] = 0;
                       return f;
                   }(),
                   {G, W}},
        // 0x80 escapes: 0x80 0x00 is one 0x80 byte, 0x80 n v is n+1 copies.
        LayoutCase{
            "rle_escape", rasFile(4, 1, 8, 2, 1, {0, 255, 0, 255, 0, 255}, {0x80, 0x02, 0x01, 0x00}), {W, W, W, K}},
        LayoutCase{"rle_literal_0x80", rasFile(2, 1, 8, 2, 0, {}, {0x80, 0x00, 0xFF}), {{128, 128, 128}, W}},
        LayoutCase{"mono_no_map", rasFile(10, 1, 1, 1, 0, {}, {0x80, 0x40}), {K, W, W, W, W, W, W, W, W, K}},
        LayoutCase{"mono_two_entry_map", rasFile(2, 1, 1, 1, 1, {255, 0, 0, 255, 0, 0}, {0x40, 0}), {R, G}},
        LayoutCase{"xbgr_alpha", rasFile(2, 1, 32, 1, 0, {}, {128, 0, 0, 255, 255, 0, 255, 0}), {R, G}, 128},
        LayoutCase{"xbgr_pad_zero", rasFile(2, 1, 32, 1, 0, {}, {0, 0, 0, 255, 0, 0, 255, 0}), {R, G}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SunRaster, RefusesBrokenHeaders) {
    const std::vector<std::uint8_t> body(64, 0);
    const std::vector<std::uint8_t> bad[] = {
        rasFile(4, 4, 16, 1, 0, {}, body),                             // no 16-bit depth
        rasFile(4, 4, 8, 4, 0, {}, body),                              // TIFF type
        rasFile(4, 4, 8, 1, 1, std::vector<std::uint8_t>(4), body),    // map length not a multiple of 3
        rasFile(4, 4, 8, 1, 1, std::vector<std::uint8_t>(771), body),  // map longer than 256 entries
        rasFile(0, 4, 8, 1, 0, {}, body),                              // no width
        rasFile(100000, 100000, 8, 1, 0, {}, body),                    // past the pixel limit
        rasFile(100, 100, 24, 1, 0, {}, body),                         // pixel data cut short
        rasFile(100, 100, 24, 2, 0, {}, {0x80, 0xFF, 1}),              // RLE data cut short
    };
    for (const auto& f : bad) EXPECT_THROW(decode("SUN", f), Error);
}

TEST(SunRaster, TruncatedFilesAreRefused) {
    for (int bits : {1, 4, 8, 24, 32}) {
        const auto file = writerFor(kSun).write(testPicture(), WriteOptions{kSun, bits, 2, "x.ras"});
        EXPECT_EQ(acceptedCut("SUN", file, file.size()), -1) << bits << " bits";
    }
}

// Shared corpus: files netpbm opens decode to the same pixels; the rest are
// refused cleanly.
TEST(SunRaster, SharedCorpusMatchesNetpbm) {
    RASTEL_CORPUS_FILES(files, "ras");
    int compared = 0;
    for (const std::string& path : files) {
        const auto bytes = readBytes(path);
        const auto ref = netpbmRead("rasttopnm", path);
        try {
            const Image ours = decode("SUN", bytes).pages[0];
            if (ref) {
                EXPECT_EQ(pixelDifferences(ours, *ref), 0) << path;
                ++compared;
            }
        } catch (const Error& e) {
            EXPECT_FALSE(ref) << path << ": " << e.what();
        }
    }
    EXPECT_GT(compared, 3);
}

TEST(SunRaster, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(55, ".ras", blackWhite()); }

}  // namespace
