#include "tests/imaging/legacyb_helpers.h"

using namespace legacyb;

namespace {

constexpr int kPcx = 1;

// A black and white picture, so that 1-bit output has no choice to make.
Image blackWhite(int w = 45, int h = 17) {
    Image img(w, h, PixelFormat::Gray8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.row(y)[x] = ((x / 3 + y / 2) % 3 == 0) ? 0 : 255;
    return img;
}

Image sourceFor(int bits) { return bits == 1 ? blackWhite() : testPicture(); }

class PcxWrite : public ::testing::TestWithParam<int> {};

TEST_P(PcxWrite, NetpbmAndPillowReadWhatWeWrite) {
    const int bits = GetParam();
    const Image src = sourceFor(bits);
    Image withDpi = src;
    withDpi.xDpi = 150;
    withDpi.yDpi = 300;
    const auto bytes = writerFor(kPcx).write(withDpi, WriteOptions{kPcx, bits, 2, "x.pcx"});
    ASSERT_GE(bytes.size(), 128u);
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 5);
    EXPECT_EQ(bytes[2], 1);
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 150);
    EXPECT_EQ(bytes[14] | (bytes[15] << 8), 300);
    EXPECT_EQ((bytes[66] | (bytes[67] << 8)) % 2, 0) << "bytes per line must be even";
    const int planes = bytes[65], planeBits = bytes[3];
    const int expectedPlanes = bits == 4 ? 4 : bits == 24 ? 3 : 1;
    const int expectedBits = bits == 8 || bits == 24 ? 8 : 1;
    EXPECT_EQ(planes, expectedPlanes);
    EXPECT_EQ(planeBits, expectedBits);
    if (bits == 8) {
        EXPECT_EQ(bytes[bytes.size() - 769], 0x0C);
    }

    const Image expected = expectedAt(src, bits);
    TempDir dir;
    const std::string path = dir.file("out.pcx");
    writeBytes(path, bytes);
    bool ok = false;
    const Image netpbm = parsePnm(capture("pcxtoppm '" + path + "'", &ok));
    ASSERT_TRUE(ok);
    EXPECT_EQ(pixelDifferences(netpbm, expected), 0) << bits << " bits, pcxtoppm";
    EXPECT_EQ(pixelDifferences(magickRgba(path, true), expected), 0) << bits << " bits, GraphicsMagick";
    // Pillow reads 4-plane files with the planes in another order than netpbm
    // and GraphicsMagick, so it only checks the other depths.
    if (bits != 4) {
        EXPECT_EQ(pixelDifferences(pillowRgba(path), expected), 0) << bits << " bits, Pillow";
    }

    const Document back = decode("PCX", bytes);
    ASSERT_EQ(back.pages.size(), 1u);
    EXPECT_EQ(pixelDifferences(back.pages[0], expected), 0) << bits << " bits, own reader";
    EXPECT_EQ(back.pages[0].bitsPerPixel(), bits);
    EXPECT_EQ(back.pages[0].xDpi, 150);
    EXPECT_EQ(back.pages[0].yDpi, 300);
}

INSTANTIATE_TEST_SUITE_P(Depths, PcxWrite, ::testing::Values(1, 4, 8, 24));

TEST(Pcx, WriterStatesDefaultResolutionAndCannotAppend) {
    const auto bytes = writerFor(kPcx).write(testPicture(), WriteOptions{kPcx, 24, 2, "x.pcx"});
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 72);
    EXPECT_FALSE(writerFor(kPcx).canAppend(kPcx));
}

// Literal bytes of 0xC0 and above must be coded as runs of one, and long runs
// split at 63.
TEST(Pcx, RunCodingKeepsHighBytesAndLongRuns) {
    Image img(200, 2, PixelFormat::Gray8);
    for (int x = 0; x < 200; ++x) {
        img.row(0)[x] = static_cast<std::uint8_t>(x < 130 ? 0xC5 : 0xFF);
        img.row(1)[x] = static_cast<std::uint8_t>(x);
    }
    const auto bytes = writerFor(kPcx).write(img, WriteOptions{kPcx, 8, 2, "x.pcx"});
    const Image back = decode("PCX", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(back, toBitsPerPixel(img, 8)), 0);
}

struct ForeignCase {
    const char* name;
    const char* command;  // %s = input PPM, %o = output PCX
    int bits;             // bits per pixel our reader should report
};

class PcxForeign : public ::testing::TestWithParam<ForeignCase> {};

// Files written by other programs decode to the pixels they were made from.
TEST_P(PcxForeign, DecodesToTheSourcePixels) {
    const ForeignCase& c = GetParam();
    const bool mono = c.bits == 1;
    const Image src = mono ? toRgb24(blackWhite()) : c.bits <= 4 ? toRgb24(toBitsPerPixel(testPicture(), c.bits == 2 ? 2 : c.bits == 3 ? 3 : 4))
                      : c.bits == 8 ? toRgb24(toBitsPerPixel(testPicture(), 8)) : testPicture();
    const auto bytes = convertWithTool(c.command, src, ".pcx");
    ASSERT_FALSE(bytes.empty()) << c.command;
    ASSERT_EQ(readerNamed("PCX").sniff(bytes), Sniff::Strong);
    const Image img = decode("PCX", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(img, src), 0) << c.name;
    EXPECT_EQ(img.bitsPerPixel(), c.bits) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, PcxForeign,
    ::testing::Values(ForeignCase{"ppmtopcx_24bit", "ppmtopcx -24bit %s > %o", 24},
                      ForeignCase{"ppmtopcx_8bit", "ppmtopcx -8bit %s > %o", 8},
                      ForeignCase{"ppmtopcx_4planes", "ppmtopcx -planes 4 %s > %o", 4},
                      ForeignCase{"ppmtopcx_3planes", "ppmtopcx -planes 3 %s > %o", 3},
                      ForeignCase{"ppmtopcx_2planes", "ppmtopcx -planes 2 %s > %o", 2},
                      ForeignCase{"ppmtopcx_packed4", "ppmtopcx -packed %s > %o", 4},
                      ForeignCase{"ppmtopcx_mono", "ppmtopcx %s > %o", 1},
                      ForeignCase{"magick_24bit", "/usr/bin/convert %s -type TrueColor %o", 24},
                      ForeignCase{"magick_palette", "/usr/bin/convert %s -type Palette %o", 8},
                      ForeignCase{"pillow_rgb", "/usr/bin/python3 -c \"import sys;from PIL import Image;Image.open(sys.argv[1]).save(sys.argv[2])\" %s %o", 24},
                      ForeignCase{"pillow_palette", "/usr/bin/python3 -c \"import sys;from PIL import Image;Image.open(sys.argv[1]).quantize(256).save(sys.argv[2])\" %s %o", 8}),
    [](const auto& info) { return std::string(info.param.name); });

// Header fields that would make the decoder read or write out of bounds.
TEST(Pcx, RefusesInconsistentHeaders) {
    const auto good = writerFor(kPcx).write(testPicture(), WriteOptions{kPcx, 24, 2, "x.pcx"});
    struct Patch {
        const char* what;
        std::size_t at;
        std::vector<std::uint8_t> bytes;
    };
    const Patch patches[] = {
        {"xmax before xmin", 4, {10, 0, 0, 0, 5, 0}},
        {"bytes per line too small", 66, {4, 0}},
        {"five planes", 65, {5}},
        {"sixteen bits", 3, {16}},
        {"unknown version", 1, {7}},
        {"unknown encoding", 2, {2}},
        {"huge window", 8, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Patch& p : patches) {
        auto bad = good;
        std::copy(p.bytes.begin(), p.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(p.at));
        EXPECT_THROW(decode("PCX", bad), Error) << p.what;
    }
}

TEST(Pcx, TruncatedPixelDataIsRefused) {
    for (int bits : {1, 4, 8, 24}) {
        const auto file = writerFor(kPcx).write(sourceFor(bits), WriteOptions{kPcx, bits, 2, "x.pcx"});
        const std::size_t pixelEnd = bits == 8 ? file.size() - 769 : file.size();
        EXPECT_EQ(acceptedCut("PCX", file, pixelEnd), -1) << bits << " bits";
    }
}

// Runs may carry on into the next scan line; the decoder keeps them inside the
// picture buffer.
TEST(Pcx, RunsCrossingScanLinesStayInsideThePicture) {
    std::vector<std::uint8_t> f(128, 0);
    f[0] = 0x0A;
    f[1] = 5;
    f[2] = 1;
    f[3] = 8;
    f[8] = 3;  // xmax: width 4
    f[10] = 1; // ymax: height 2
    f[65] = 1;
    f[66] = 4;
    // One run of 6 then a run of 63 that overshoots the 8-byte picture.
    for (std::uint8_t b : {0xC6, 7, 0xFF, 9}) f.push_back(b);
    const Image img = decode("PCX", f).pages[0];
    EXPECT_EQ(img.row(0)[0], 7);
    EXPECT_EQ(img.row(1)[1], 7);
    EXPECT_EQ(img.row(1)[2], 9);
    EXPECT_EQ(img.row(1)[3], 9);
}

// Files of the shared corpus decode like an independent decoder; the ones it
// refuses must be refused with an Error (never a crash). The reference is
// netpbm, except for monochrome files (netpbm applies the header palette to
// them, Pillow and GraphicsMagick read black and white, as we do) and for
// 4 planes of 8 bits (netpbm has no alpha: GraphicsMagick reads RGBA).
TEST(Pcx, SharedCorpusMatchesAnIndependentDecoder) {
    int compared = 0;
    for (const std::string& path : corpusFiles("pcx")) {
        const auto bytes = readBytes(path);
        const int layout = bytes.size() >= 128 ? bytes[3] * 10 + bytes[65] : 0;
        Image ref;
        bool refOk = false;
        try {
            if (layout == 11) {
                ref = pillowRgba(path);
            } else if (layout == 84) {
                ref = magickRgba(path, true);
            } else {
                const auto pnm = capture("pcxtoppm '" + path + "'", &refOk);
                if (refOk) ref = parsePnm(pnm);
            }
            refOk = !ref.empty();
        } catch (const std::exception&) {
            refOk = false;
        }
        try {
            const Image ours = decode("PCX", bytes).pages[0];
            if (refOk) {
                EXPECT_EQ(pixelDifferences(ours, ref, layout == 84), 0) << path;
                ++compared;
            }
        } catch (const Error& e) {
            EXPECT_FALSE(refOk) << path << ": " << e.what();
        }
    }
    if (!corpusFiles("pcx").empty()) {
        EXPECT_GT(compared, 10);
    }
}

// Damaged copies of files we write (flipped, zeroed and maximised bytes,
// inflated lengths) decode or throw Error; under ASan this also shows that no
// decoder reads or writes out of bounds. The files also seed the fuzzer.
TEST(Pcx, CorruptedFilesNeverCrash) {
    for (int bits : {1, 4, 8, 24}) {
        const auto file = writerFor(1).write(testPicture(), WriteOptions{1, bits, 2, "x"});
        saveFuzzSeed("fuzz_pcx", std::to_string(bits) + "bit", file);
        (void)survivesCorruption("PCX", file);
    }
}

TEST(Pcx, EngineSavesAndLoadsEveryDepth) {
    expectEngineRoundTrips(1, ".pcx", blackWhite());
}

}  // namespace
