#include "tests/support/page_checks.h"
#include "tests/support/prelude.h"

namespace {

constexpr int kWpg = 54;

// Colour picture with repeated rows (scan line repeats), long runs and noise.
Image picture(int w, int h) {
    Image img = testPicture(w, h);
    for (int y = 0; y < h / 3; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = x < w / 2 ? 10 : 240;
            p[1] = 20;
            p[2] = 200;
        }
    return img;
}

class WpgWrite : public ::testing::TestWithParam<int> {};

TEST_P(WpgWrite, ImageMagickReadsWhatWeWrite) {
    const int bits = GetParam();
    for (auto [w, h] : {std::make_pair(37, 23), std::make_pair(300, 700), std::make_pair(1, 1)}) {
        const Image src = picture(w, h);
        const auto bytes = writerFor(kWpg).write(src, WriteOptions{kWpg, bits, 2, "x.wpg"});
        ASSERT_GE(bytes.size(), 16u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "\xFFWPC");
        EXPECT_EQ(bytes[8], 1);     // product
        EXPECT_EQ(bytes[9], 0x16);  // file type
        EXPECT_EQ(bytes[10], 1);    // major version
        EXPECT_EQ(bytes[16], 0x0F) << "start record first";
        EXPECT_EQ(bytes[bytes.size() - 2], 0x10) << "end record last";
        EXPECT_EQ(bytes.back(), 0);

        const Image expected = expectedAt(src, bits);
        TempDir dir;
        const std::string path = dir.file("out.wpg");
        writeBytes(path, bytes);
        EXPECT_EQ(pixelDifferences(magickRgba(path), expected), 0)
            << bits << " bits " << w << "x" << h << ", ImageMagick";
        const Document back = decode("WPG", bytes);
        ASSERT_EQ(back.pages.size(), 1u);
        EXPECT_EQ(back.pages[0].indexBits(), bits);
        EXPECT_EQ(pixelDifferences(back.pages[0], expected), 0) << bits << " bits " << w << "x" << h << ", own reader";
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, WpgWrite, ::testing::Values(1, 4, 8));

TEST(Wpg, WriterCarriesResolution) {
    Image src = picture(20, 10);
    src.xDpi = 300;
    src.yDpi = 150;
    const Image back = decode("WPG", writerFor(kWpg).write(src, WriteOptions{kWpg, 8, 2, "x.wpg"})).pages[0];
    EXPECT_EQ(back.xDpi, 300);
    EXPECT_EQ(back.yDpi, 150);
}

// Builds a version 1 file from records; a record body of 255 bytes or more
// gets the long length form.
struct Rec {
    std::uint8_t type;
    std::vector<std::uint8_t> body;
};

std::vector<std::uint8_t> wpgFile(const std::vector<Rec>& recs, int major = 1) {
    std::vector<std::uint8_t> f = {0xFF, 'W', 'P', 'C', 16, 0, 0, 0, 1, 0x16, static_cast<std::uint8_t>(major),
                                   0,    0,   0,   0,   0};
    for (const Rec& r : recs) {
        f.push_back(r.type);
        const std::size_t n = r.body.size();
        if (n < 0xFF) {
            f.push_back(static_cast<std::uint8_t>(n));
        } else if (n < 0x8000) {
            f.insert(f.end(), {0xFF, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)});
        } else {
            f.insert(f.end(), {0xFF, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(0x80 | (n >> 24)),
                               static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)});
        }
        f.insert(f.end(), r.body.begin(), r.body.end());
    }
    return f;
}

std::vector<std::uint8_t> le(std::initializer_list<int> words) {
    std::vector<std::uint8_t> out;
    for (int w : words) {
        out.push_back(static_cast<std::uint8_t>(w));
        out.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return out;
}

std::vector<std::uint8_t> cat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Rec kStartRec{0x0F, {1, 0, 0, 1, 0, 1}};
const Rec kEndRec{0x10, {}};
const Rgb K{0, 0, 0}, W{255, 255, 255}, R{255, 0, 0}, G{0, 255, 0};

using LayoutCase = HandMadeCase;

class WpgLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WpgLayout, DecodesHandMadeFiles) {
    const LayoutCase& c = GetParam();
    const Image img = decode("WPG", c.file).pages[0];
    expectColours(img, c.expected, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Hand, WpgLayout,
    ::testing::Values(
        // No colour map: 1-bit is black (0) and white (1). 0x80 0x00 n is n
        // bytes of 0xFF; 0x00 n repeats the previous scan line n times.
        LayoutCase{
            "ff_run_and_line_repeat",
            wpgFile({kStartRec, {0x0B, cat(le({8, 3, 1, 75, 75}), {0x01, 0x0F, 0x00, 0x01, 0x80, 0x01})}, kEndRec}),
            [] {
                auto v = repeatRow({K, K, K, K, W, W, W, W}, 2);
                v.insert(v.end(), 8, W);
                return v;
            }()},
        LayoutCase{"bitmap_type_2_with_partial_map",
                   wpgFile({kStartRec,
                            {0x0E, cat(le({1, 2}), {255, 0, 0, 0, 255, 0})},
                            {0x14, cat(le({0, 0, 0, 100, 100, 4, 1, 8, 75, 75}), {0x84, 0x01})},
                            kEndRec}),
                   {R, R, R, R}},
        LayoutCase{"four_bit_literal",
                   wpgFile({kStartRec,
                            {0x0E, cat(le({0, 2}), {255, 0, 0, 0, 255, 0})},
                            {0x0B, cat(le({3, 1, 4, 75, 75}), {0x02, 0x01, 0x00})},
                            kEndRec}),
                   {R, G, R}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every bitmap record is a page, coloured by the maps read before it.
TEST(Wpg, EveryBitmapIsAPage) {
    const auto f = wpgFile({kStartRec,
                            {0x0B, cat(le({8, 1, 1, 75, 75}), {0x81, 0xF0})},
                            {0x0E, cat(le({0, 2}), {255, 0, 0, 0, 255, 0})},
                            {0x0B, cat(le({8, 1, 1, 75, 75}), {0x81, 0xF0})},
                            kEndRec});
    EXPECT_EQ(readerNamed("WPG").pageCount(f, ReadContext{"t"}), 2);
    const Document doc = decode("WPG", f);
    ASSERT_EQ(doc.pages.size(), 2u);
    EXPECT_EQ(pixelRgb(doc.pages[0], 0, 0), W);
    EXPECT_EQ(pixelRgb(doc.pages[0], 7, 0), K);
    EXPECT_EQ(pixelRgb(doc.pages[1], 0, 0), G);
    EXPECT_EQ(pixelRgb(doc.pages[1], 7, 0), R);
    expectPagesAsRead("WPG", f);
}

// Records of 255 bytes and more use the 0xFF length forms.
TEST(Wpg, LongRecordLengths) {
    for (int w : {2000, 65535}) {
        std::vector<std::uint8_t> data;
        const std::size_t rowBytes = static_cast<std::size_t>(w);  // 8 bits
        for (std::size_t i = 0; i < rowBytes; i += 100) {
            const std::size_t n = std::min<std::size_t>(100, rowBytes - i);
            data.push_back(static_cast<std::uint8_t>(n));
            for (std::size_t k = 0; k < n; ++k) data.push_back(static_cast<std::uint8_t>((i + k) % 7));
        }
        data.push_back(0);  // repeat that line once
        data.push_back(1);
        const auto f = wpgFile({kStartRec, {0x0B, cat(le({w, 2, 8, 75, 75}), data)}, kEndRec});
        const Image img = decode("WPG", f).pages[0];
        EXPECT_EQ(img.width(), w);
        for (int x = 0; x < w; x += 97) {
            EXPECT_EQ(img.row(0)[x], x % 7);
            EXPECT_EQ(img.row(1)[x], x % 7);
        }
    }
}

TEST(Wpg, RefusesBrokenFiles) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
        const char* message;  // part of the message, or nullptr
    };
    const std::vector<std::uint8_t> okData = {0x81, 0xF0};
    const Case cases[] = {
        {"no bitmap", wpgFile({kStartRec, kEndRec}), "file holds no bitmap"},
        {"version 2", wpgFile({kStartRec, kEndRec}, 2), "version 2"},
        {"depth 3", wpgFile({kStartRec, {0x0B, cat(le({8, 1, 3, 75, 75}), okData)}, kEndRec}), nullptr},
        {"zero width", wpgFile({kStartRec, {0x0B, cat(le({0, 1, 1, 75, 75}), okData)}, kEndRec}), nullptr},
        {"huge bitmap", wpgFile({kStartRec, {0x0B, cat(le({65535, 65535, 8, 75, 75}), okData)}, kEndRec}), nullptr},
        {"map past 256 entries", wpgFile({kStartRec, {0x0E, cat(le({255, 2}), {1, 2, 3, 4, 5, 6})}, kEndRec}), nullptr},
        {"map shorter than stated", wpgFile({kStartRec, {0x0E, cat(le({0, 4}), {1, 2, 3})}, kEndRec}), nullptr},
        {"line repeat before any line", wpgFile({kStartRec, {0x0B, cat(le({8, 2, 1, 75, 75}), {0x00, 0x01})}, kEndRec}), nullptr},
        {"line repeat inside a line", wpgFile({kStartRec, {0x0B, cat(le({16, 2, 1, 75, 75}), {0x01, 0xFF, 0x00, 0x01})}, kEndRec}), nullptr},
        {"bitmap data cut short", wpgFile({kStartRec, {0x0B, cat(le({64, 64, 1, 75, 75}), okData)}, kEndRec}), nullptr},
        {"record past the end", [] {
             auto f = wpgFile({kStartRec, {0x0B, cat(le({8, 1, 1, 75, 75}), {0x81, 0xF0})}});
             f[25] = 200;
             return f;
         }(), nullptr},
        {"data offset past the end", [] {
             auto f = wpgFile({kStartRec, kEndRec});
             f[5] = 1;
             return f;
         }(), nullptr},
    };
    for (const Case& c : cases) {
        try {
            (void)decode("WPG", c.file);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const Error& e) {
            if (c.message) {
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            }
        }
    }
}

TEST(Wpg, TruncatedFilesAreRefused) {
    for (int bits : {1, 4, 8}) {
        auto file = writerFor(kWpg).write(picture(45, 30), WriteOptions{kWpg, bits, 2, "x.wpg"});
        file.resize(file.size() - 2);  // without the end record every cut lands in a record
        EXPECT_EQ(acceptedCut("WPG", file, file.size()), -1) << bits;
    }
}

TEST(Wpg, SniffWantsTheSignature) {
    const auto& r = readerNamed("WPG");
    EXPECT_EQ(r.sniff(wpgFile({kStartRec})), Sniff::Strong);
    std::vector<std::uint8_t> other = {0xFF, 'W', 'P', 'D'};
    EXPECT_EQ(r.sniff(other), Sniff::No);
}

TEST(Wpg, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(54, ".wpg", picture(45, 17)); }

}  // namespace
