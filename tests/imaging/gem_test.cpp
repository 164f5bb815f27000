#include "tests/support/prelude.h"

namespace {

constexpr int kGem = 52;

// Black and white with solid areas, repeated rows, patterned bytes and noise.
Image picture(int w, int h) {
    Image img(w, h, PixelFormat::Gray8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bool black;
            if (y < h / 4)
                black = x < w / 3;  // solid runs, rows repeat
            else if (y < h / 2)
                black = (x % 8) == 1 || (x % 8) == 6;  // same non-solid byte repeated
            else
                black = ((x * 31 + y * 17) % 7) < 3;  // literal stretches
            img.row(y)[x] = black ? 0 : 255;
        }
    return img;
}

std::string pbmText(const Image& gray) {
    std::string t = "P1\n" + std::to_string(gray.width()) + " " + std::to_string(gray.height()) + "\n";
    for (int y = 0; y < gray.height(); ++y) {
        for (int x = 0; x < gray.width(); ++x) t += gray.row(y)[x] ? "0" : "1";
        t += "\n";
    }
    return t;
}

class GemWrite : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(GemWrite, NetpbmReadsWhatWeWrite) {
    const auto [w, h] = GetParam();
    Image src = picture(w, h);
    src.xDpi = 300;
    src.yDpi = 150;
    const auto bytes = writerFor(kGem).write(src, WriteOptions{kGem, 1, 2, "x.img"});
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(getU16be(bytes, 0), 1);   // version
    EXPECT_EQ(getU16be(bytes, 2), 8);   // header words
    EXPECT_EQ(getU16be(bytes, 4), 1);   // planes
    EXPECT_EQ(getU16be(bytes, 6), 1);   // pattern length
    EXPECT_EQ(getU16be(bytes, 8), 85);  // 25400 / 300 microns
    EXPECT_EQ(getU16be(bytes, 10), 169);
    EXPECT_EQ(getU16be(bytes, 12), w);
    EXPECT_EQ(getU16be(bytes, 14), h);

    TempDir dir;
    const std::string path = dir.file("out.img");
    writeBytes(path, bytes);
    const auto netpbm = netpbmRead("gemtopnm", path);
    ASSERT_TRUE(netpbm);
    EXPECT_EQ(pixelDifferences(*netpbm, src), 0) << w << "x" << h << ", gemtopnm";
    const Image back = decode("GEM", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(back, src), 0) << w << "x" << h << ", own reader";
    EXPECT_EQ(back.xDpi, 299);  // 85 microns
    EXPECT_EQ(back.yDpi, 150);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GemWrite,
                         ::testing::Values(std::make_pair(1, 1), std::make_pair(45, 17), std::make_pair(64, 600),
                                           std::make_pair(2000, 9), std::make_pair(3, 300)));

TEST(Gem, WriterDefaultsTo72Dpi) {
    const auto bytes = writerFor(kGem).write(picture(9, 9), WriteOptions{kGem, 1, 2, "x.img"});
    EXPECT_EQ(getU16be(bytes, 8), 353);
    EXPECT_EQ(getU16be(bytes, 10), 353);
}

TEST(Gem, ReadsPbmtogemFiles) {
    for (auto [w, h] : {std::make_pair(45, 17), std::make_pair(200, 31), std::make_pair(8, 8)}) {
        TempDir dir;
        const Image src = picture(w, h);
        const std::string pbm = dir.file("src.pbm"), img = dir.file("x.img");
        const std::string text = pbmText(src);
        writeBytes(pbm, std::vector<std::uint8_t>(text.begin(), text.end()));
        ASSERT_TRUE(runQuiet("pbmtogem " + pbm + " > " + img));
        const auto bytes = readBytes(img);
        EXPECT_NE(readerNamed("GEM").sniff(bytes), Sniff::No);
        EXPECT_EQ(pixelDifferences(decode("GEM", bytes).pages[0], src), 0) << w << "x" << h;
    }
}

std::vector<std::uint8_t> gemFile(std::vector<std::uint16_t> header, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> f;
    for (auto v : header) {
        f.push_back(static_cast<std::uint8_t>(v >> 8));
        f.push_back(static_cast<std::uint8_t>(v));
    }
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

const Rgb K{0, 0, 0}, W{255, 255, 255};

using LayoutCase = HandMadeCase;

class GemLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(GemLayout, DecodesHandMadeFiles) {
    const LayoutCase& c = GetParam();
    const Image img = decode("GEM", c.file).pages[0];
    expectColours(img, c.expected, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Hand, GemLayout,
    ::testing::Values(
        // Pattern length 2: pattern run of the pair 0xF0 0x0F once, 16 pixels.
        LayoutCase{"pattern_run_of_two",
                   gemFile({1, 8, 1, 2, 85, 85, 16, 1}, {0x00, 0x01, 0xF0, 0x0F}),
                   {K, K, K, K, W, W, W, W, W, W, W, W, K, K, K, K}},
        // Vertical replication: the one scan line is used three times.
        LayoutCase{"vertical_replication",
                   gemFile({1, 8, 1, 1, 85, 85, 8, 3}, {0x00, 0x00, 0xFF, 0x03, 0x80, 0x01, 0xC3}),
                   repeatRow({K, K, W, W, W, W, K, K}, 3)},
        // Solid runs: 0x81 is one byte of 0xFF, 0x01 one byte of 0x00.
        LayoutCase{
            "solid_runs", gemFile({1, 8, 1, 1, 85, 85, 12, 1}, {0x81, 0x01}), {K, K, K, K, K, K, K, K, W, W, W, W}},
        // Longer header (9 words, not XIMG): the extra word is skipped.
        LayoutCase{"long_header", gemFile({1, 9, 1, 1, 85, 85, 8, 1, 0xABCD}, {0x81}), repeatRow({K}, 8)},
        // Two planes with an XIMG palette: plane 0 holds bit 0 of the index.
        // Palette: 0 white, 1 red, 2 green, 3 blue (VDI 0..1000).
        LayoutCase{"ximg_two_planes",
                   gemFile({1,    23,   2,    1, 85, 85, 4,    1, 0x5849, 0x4D47, 0,   1000,
                            1000, 1000, 1000, 0, 0,  0,  1000, 0, 0,      0,      1000},
                           {0x80, 0x01, 0xA0, 0x80, 0x01, 0x60}),
                   {Rgb{255, 0, 0}, Rgb{0, 255, 0}, Rgb{0, 0, 255}, W}},
        // Four planes without a palette: the VDI default colours (0 white,
        // 1 black, 2 red, 3 green, ...).
        LayoutCase{"plain_four_planes",
                   gemFile({1, 8, 4, 1, 85, 85, 4, 1}, {0x80, 0x01, 0x50, 0x80, 0x01, 0x30, 0x01, 0x01}),
                   {W, K, Rgb{255, 0, 0}, Rgb{0, 255, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Gem, RefusesBrokenFiles) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
    };
    const Case cases[] = {
        {"header shorter than 8 words", gemFile({1, 7, 1, 1, 85, 85, 8, 1}, {0x81})},
        {"nine planes", gemFile({1, 8, 9, 1, 85, 85, 8, 1}, {0x81})},
        {"zero width", gemFile({1, 8, 1, 1, 85, 85, 0, 1}, {0x81})},
        {"huge picture", gemFile({1, 8, 1, 1, 85, 85, 65535, 65535}, {0x81})},
        {"solid run past the line", gemFile({1, 8, 1, 1, 85, 85, 8, 1}, {0x82})},
        {"bit string past the line", gemFile({1, 8, 1, 1, 85, 85, 8, 1}, {0x80, 0x02, 1, 2})},
        {"pattern run past the line", gemFile({1, 8, 1, 2, 85, 85, 8, 1}, {0x00, 0x01, 1, 2})},
        {"pattern run with pattern length 0", gemFile({1, 8, 1, 0, 85, 85, 8, 1}, {0x00, 0x01, 1})},
        {"bad replication flag", gemFile({1, 8, 1, 1, 85, 85, 8, 2}, {0x00, 0x00, 0xFE, 0x02, 0x81})},
        {"header longer than the file", gemFile({1, 200, 1, 1, 85, 85, 8, 1}, {0x81})},
        {"data cut short", gemFile({1, 8, 1, 1, 85, 85, 8, 2}, {0x81})},
    };
    for (const Case& c : cases) EXPECT_THROW(decode("GEM", c.file), Error) << c.what;
}

TEST(Gem, TruncatedFilesAreRefused) {
    const auto file = writerFor(kGem).write(picture(45, 40), WriteOptions{kGem, 1, 2, "x.img"});
    EXPECT_EQ(acceptedCut("GEM", file, file.size()), -1);
}

TEST(Gem, SniffNeedsAPlausibleHeader) {
    const auto& r = readerNamed("GEM");
    EXPECT_EQ(r.sniff(gemFile({1, 8, 1, 1, 85, 85, 8, 1}, {})), Sniff::Weak);
    EXPECT_EQ(r.sniff(gemFile({1, 11, 1, 1, 85, 85, 8, 1, 0x5849, 0x4D47, 0}, {})), Sniff::Strong);
    EXPECT_EQ(r.sniff(gemFile({1, 8, 0, 1, 85, 85, 8, 1}, {})), Sniff::No);
    EXPECT_EQ(r.sniff(gemFile({1, 2, 1, 1, 85, 85, 8, 1}, {})), Sniff::No);
    EXPECT_EQ(r.sniff(gemFile({1, 8, 1, 1, 85, 85, 0, 1}, {})), Sniff::No);
}

// Shared samples converted to GEM: each decodes like netpbm, or is refused
// when netpbm refuses it too.
TEST(Gem, SharedCorpusMatchesNetpbm) {
    RASTEL_CORPUS_FILES(files, "generated/img");
    for (const std::string& path : files) {
        const auto bytes = readBytes(path);
        const auto ref = netpbmRead("gemtopnm", path);
        try {
            const Image ours = decode("GEM", bytes).pages[0];
            ASSERT_TRUE(ref) << path << " decoded although netpbm refuses it";
            EXPECT_EQ(pixelDifferences(ours, *ref), 0) << path;
        } catch (const Error& e) {
            EXPECT_FALSE(ref) << path << ": " << e.what();
        }
    }
}

TEST(Gem, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(52, ".img", picture(45, 17)); }

}  // namespace
