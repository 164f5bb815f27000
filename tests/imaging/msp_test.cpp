#include "tests/support/prelude.h"

namespace {

constexpr int kMsp = 53;

// Black and white pictures of several widths (whole bytes, partial bytes,
// long runs and literal stretches).
Image picture(int w, int h) {
    Image img(w, h, PixelFormat::Gray8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool black = y < h / 3       ? ((x * 7 + y * 13) % 5 < 2)
                               : y < 2 * h / 3 ? (x < w / 2)
                                               : ((x / 9 + y) % 2 == 0);
            img.row(y)[x] = black ? 0 : 255;
        }
    return img;
}

class MspWrite : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(MspWrite, PillowReadsWhatWeWrite) {
    const auto [w, h] = GetParam();
    Image src = picture(w, h);
    const auto bytes = writerFor(kMsp).write(src, WriteOptions{kMsp, 1, 2, "x.msp"});
    ASSERT_GE(bytes.size(), 32u + 2u * static_cast<std::size_t>(h));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "LinS");
    EXPECT_EQ(getU16le(bytes, 4), w);
    EXPECT_EQ(getU16le(bytes, 6), h);
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < 32; i += 2) sum = static_cast<std::uint16_t>(sum ^ getU16le(bytes, i));
    EXPECT_EQ(sum, 0) << "checksum";
    // The scan-line map adds up to the coded data that follows it.
    std::size_t coded = 0;
    for (int y = 0; y < h; ++y) coded += getU16le(bytes, 32 + 2 * static_cast<std::size_t>(y));
    EXPECT_EQ(bytes.size(), 32 + 2 * static_cast<std::size_t>(h) + coded);

    TempDir dir;
    const std::string path = dir.file("out.msp");
    writeBytes(path, bytes);
    std::string mode;
    EXPECT_EQ(pixelDifferences(pillowRgba(path, &mode), src), 0) << w << "x" << h << ", Pillow";
    EXPECT_EQ(mode, "1");
    const Image back = decode("MSP", bytes).pages[0];
    EXPECT_EQ(back.bitsPerPixel(), 1);
    EXPECT_EQ(pixelDifferences(back, src), 0) << w << "x" << h << ", own reader";
}

INSTANTIATE_TEST_SUITE_P(Sizes, MspWrite,
                         ::testing::Values(std::make_pair(1, 1), std::make_pair(8, 3), std::make_pair(45, 17),
                                           std::make_pair(640, 5), std::make_pair(2100, 3)));

// A picture whose colours are not black and white still comes out with the
// darker colour black.
TEST(Msp, DarkerColourBecomesBlack) {
    Image img(16, 1, PixelFormat::Rgb24);
    for (int x = 0; x < 16; ++x) {
        img.row(0)[3 * x] = x % 2 ? 250 : 40;
        img.row(0)[3 * x + 1] = x % 2 ? 240 : 10;
        img.row(0)[3 * x + 2] = x % 2 ? 200 : 90;
    }
    const Image back = decode("MSP", writerFor(kMsp).write(img, WriteOptions{kMsp, 1, 2, "x.msp"})).pages[0];
    for (int x = 0; x < 16; ++x) EXPECT_EQ(pixelRgb(back, x, 0), (x % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0})) << x;
}

// Version 1 files from Pillow's writer.
TEST(Msp, ReadsPillowVersion1Files) {
    TempDir dir;
    const std::string pbm = dir.file("src.pbm"), msp = dir.file("x.msp");
    const Image src = picture(45, 17);
    std::string text = "P1\n45 17\n";
    for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 45; ++x) text += src.row(y)[x] ? "0" : "1";
        text += "\n";
    }
    writeBytes(pbm, std::vector<std::uint8_t>(text.begin(), text.end()));
    ASSERT_TRUE(
        runQuiet("/usr/bin/python3 -c \"import sys;from PIL import Image;Image.open(sys.argv[1]).save(sys.argv[2])\" " +
                 pbm + " " + msp));
    const auto bytes = readBytes(msp);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "DanM");
    EXPECT_EQ(readerNamed("MSP").sniff(bytes), Sniff::Strong);
    EXPECT_EQ(pixelDifferences(decode("MSP", bytes).pages[0], src), 0);
}

std::vector<std::uint8_t> v2File(int w, const std::vector<std::vector<std::uint8_t>>& rows) {
    std::vector<std::uint16_t> words = {0x694C,
                                        0x536E,
                                        static_cast<std::uint16_t>(w),
                                        static_cast<std::uint16_t>(rows.size()),
                                        1,
                                        1,
                                        1,
                                        1,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0};
    for (int i = 0; i < 12; ++i) words[12] = static_cast<std::uint16_t>(words[12] ^ words[i]);
    std::vector<std::uint8_t> f;
    for (auto v : words) {
        f.push_back(static_cast<std::uint8_t>(v));
        f.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    for (const auto& r : rows) {
        f.push_back(static_cast<std::uint8_t>(r.size()));
        f.push_back(static_cast<std::uint8_t>(r.size() >> 8));
    }
    for (const auto& r : rows) f.insert(f.end(), r.begin(), r.end());
    return f;
}

TEST(Msp, DecodesRunsLiteralsAndBlankRows) {
    // Row 0: run of two 0x00 bytes (black); row 1: blank (size 0, white);
    // row 2: literal 0x0F, 0xF0.
    const auto f = v2File(16, {{0, 2, 0x00}, {}, {2, 0x0F, 0xF0}});
    const Image img = decode("MSP", f).pages[0];
    const Rgb K{0, 0, 0}, W{255, 255, 255};
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(pixelRgb(img, x, 0), K);
        EXPECT_EQ(pixelRgb(img, x, 1), W);
        EXPECT_EQ(pixelRgb(img, x, 2), (x < 4 || x >= 12) ? K : W) << x;
    }
}

TEST(Msp, RefusesBrokenFiles) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
    };
    auto badSum = v2File(16, {{0, 2, 0}});
    badSum[24] ^= 1;
    auto zeroWidth = v2File(16, {{0, 2, 0}});
    zeroWidth[4] = 0;
    zeroWidth[24] ^= 16;  // keep the checksum right
    const Case cases[] = {
        {"bad checksum", badSum},
        {"zero width", zeroWidth},
        {"run past the row", v2File(16, {{0, 3, 0}})},
        {"literal past the row", v2File(16, {{3, 1, 2, 3}})},
        {"row map past the end",
         [] {
             auto f = v2File(16, {{0, 2, 0}});
             f[32] = 200;
             return f;
         }()},
        {"unknown key",
         [] {
             auto f = v2File(16, {{0, 2, 0}});
             f[0] = 'X';
             return f;
         }()},
    };
    for (const Case& c : cases) EXPECT_THROW(decode("MSP", c.file), Error) << c.what;
}

TEST(Msp, TruncatedFilesAreRefused) {
    const auto file = writerFor(kMsp).write(picture(45, 17), WriteOptions{kMsp, 1, 2, "x.msp"});
    EXPECT_EQ(acceptedCut("MSP", file, file.size()), -1);
}

// The shared samples: the good one decodes like Pillow, the one with a bad
// checksum is refused (as Pillow does).
TEST(Msp, SharedCorpusMatchesPillow) {
    RASTEL_CORPUS_FILES(files, "msp");
    for (const std::string& path : files) {
        const auto bytes = readBytes(path);
        Image ref;
        try {
            ref = pillowRgba(path);
        } catch (const std::runtime_error&) {
        }
        try {
            const Image ours = decode("MSP", bytes).pages[0];
            ASSERT_FALSE(ref.empty()) << path << " decoded although Pillow refuses it";
            EXPECT_EQ(pixelDifferences(ours, ref), 0) << path;
        } catch (const Error& e) {
            EXPECT_TRUE(ref.empty()) << path << ": " << e.what();
        }
    }
}

TEST(Msp, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(53, ".msp", picture(45, 17)); }

}  // namespace
