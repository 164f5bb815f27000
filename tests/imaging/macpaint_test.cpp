#include <gtest/gtest.h>

#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

namespace {

using rastel::test::readerNamed;

constexpr int kMacPaint = 51;

// The expected 576 x 720 page: the picture's ink at the top left, white elsewhere.
Rgb8 expectedPage(const Image& src) {
    const Image ink = toInkBits(src);
    Rgb8 r{576, 720, Bytes(576 * 720 * 3, 255)};
    for (int y = 0; y < ink.height(); ++y)
        for (int x = 0; x < ink.width(); ++x)
            if (ink.row(y)[x]) std::fill_n(&r.pixels[(std::size_t(y) * 576 + std::size_t(x)) * 3], 3, 0);
    return r;
}

Bytes writeMac(const Image& page) {
    const FormatWriter* w = Registry::instance().findWriter(kMacPaint);
    return w->write(page, WriteOptions{kMacPaint, 1, 2, "x.mac"});
}

}  // namespace

// Pages up to the fixed size are placed top-left on white; macptopbm and
// ImageMagick read the same pixels back.
TEST(MacPaint, WritesPagesOtherDecodersRead) {
    struct Case {
        const char* name;
        Picture picture;
        int w, h;
    };
    const Case cases[] = {
        {"full page", Picture::TwoColours, 576, 720},    {"small page padded", Picture::TwoColours, 37, 21},
        {"one row", Picture::TwoColours, 576, 1},        {"one column", Picture::TwoColours, 1, 720},
        {"photo thresholded", Picture::Photo, 300, 200},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const Image src = makePicture(c.picture, c.w, c.h);
        const std::string path = dir.file("page.mac");
        savePage(path, src, kMacPaint, 1, 2);
        const Rgb8 expected = expectedPage(src);

        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_EQ(doc.pages[0].format(), PixelFormat::Indexed) << c.name;
        EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), expected), 0) << c.name << ": own reader";

        const auto viaNetpbm =
            output("macptopbm " + shellQuote(path) + " | ppmtoppm | tail -c " + std::to_string(576 * 720 * 3));
        ASSERT_TRUE(viaNetpbm) << c.name << ": macptopbm failed";
        EXPECT_EQ(maxDiff(Rgb8{576, 720, *viaNetpbm}, expected), 0) << c.name << ": macptopbm";
        // ImageMagick 6's MacPaint coder misplaces rows; GraphicsMagick's is sound.
        const auto viaMagick = magickRgb(path, "mac:", Magick::Graphics);
        ASSERT_TRUE(viaMagick) << c.name << ": GraphicsMagick failed";
        EXPECT_EQ(maxDiff(*viaMagick, expected), 0) << c.name << ": GraphicsMagick";
    }
}

TEST(MacPaint, RefusesPagesLargerThanTheFixedPage) {
    const int sizes[][2] = {{577, 720}, {576, 721}, {1000, 10}};
    for (const auto& s : sizes) {
        const Image big(s[0], s[1], PixelFormat::Gray8);
        try {
            writeMac(big);
            FAIL() << s[0] << " x " << s[1] << " was written";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "MacPaint: page of " + std::to_string(s[0]) + " x " +
                                                 std::to_string(s[1]) +
                                                 " pixels exceeds the fixed 576 x 720 MacPaint page");
        }
    }
}

// Files written by netpbm and ImageMagick's writers decode to their pixels.
TEST(MacPaint, ReadsFilesFromOtherWriters) {
    TempDir dir;
    const Image src = makePicture(Picture::TwoColours, 576, 720);
    const std::string pbm = dir.file("src.pbm");
    {
        std::string header = "P4\n576 720\n";
        Bytes data(header.begin(), header.end());
        const Image ink = toInkBits(src);
        std::vector<std::uint8_t> row(72);
        for (int y = 0; y < 720; ++y) {
            std::fill(row.begin(), row.end(), 0);
            for (int x = 0; x < 576; ++x)
                if (ink.row(y)[x]) row[std::size_t(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            data.insert(data.end(), row.begin(), row.end());
        }
        writeBytes(pbm, data);
    }
    const std::string mac = dir.file("netpbm.mac");
    ASSERT_TRUE(output("pbmtomacp " + shellQuote(pbm) + " > " + shellQuote(mac)));
    const Document doc = loadDocument(mac);
    EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), expectedPage(src)), 0);
}

TEST(MacPaint, ReadsTheSampleBehindAMacBinaryHeader) {
    const std::string path = fixture("twelvemonkeys--mac__porsches.mac");
    const Bytes data = readBytes(path);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(readerNamed("MacPaint").sniff(data), Sniff::Strong) << "MacBinary type PNTG";
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 1u);
    const auto viaNetpbm = output("macptopbm -extraskip 128 " + shellQuote(path) + " | ppmtoppm | tail -c " +
                                  std::to_string(576 * 720 * 3));
    ASSERT_TRUE(viaNetpbm);
    EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), Rgb8{576, 720, *viaNetpbm}), 0);
}

TEST(MacPaint, SniffsOnlyPlausibleHeaders) {
    Bytes good = writeMac(makePicture(Picture::TwoColours, 20, 20));
    struct Case {
        const char* name;
        Bytes head;
        Sniff expected;
    };
    Bytes v2 = good;
    v2[3] = 2;
    Bytes badVersion = good;
    badVersion[3] = 7;
    Bytes badRow = good;
    badRow[512] = 0x7F;  // a literal run of 128 bytes cannot fit a 72-byte row
    Bytes macBinary(128, 0);
    macBinary[1] = 5;
    std::copy_n("PNTG", 4, macBinary.begin() + 65);
    macBinary[85] = static_cast<std::uint8_t>((good.size() >> 8) & 0xFF);
    macBinary[86] = static_cast<std::uint8_t>(good.size() & 0xFF);
    macBinary[84] = static_cast<std::uint8_t>(good.size() >> 16);
    macBinary.insert(macBinary.end(), good.begin(), good.end());
    Bytes wrongType = macBinary;
    std::copy_n("TEXT", 4, wrongType.begin() + 65);
    const Case cases[] = {
        {"version 0", good, Sniff::Weak},
        {"version 2", v2, Sniff::Weak},
        {"unknown version", badVersion, Sniff::No},
        {"first row does not decode", badRow, Sniff::No},
        {"MacBinary PNTG", macBinary, Sniff::Strong},
        {"MacBinary of another type", wrongType, Sniff::No},
        {"too short", Bytes{0, 0}, Sniff::No},
    };
    for (const auto& c : cases) EXPECT_EQ(readerNamed("MacPaint").sniff(c.head), c.expected) << c.name;
    EXPECT_EQ(maxDiff(rgbOf(readerNamed("MacPaint").read(macBinary, {}).pages[0]),
                      rgbOf(readerNamed("MacPaint").read(good, {}).pages[0])),
              0);
}

TEST(MacPaint, TruncatedOrCorruptFilesFailCleanly) {
    const Bytes good = writeMac(makePicture(Picture::Photo, 576, 720));
    keepFuzzSeed("fuzz_macpaint", "page.mac", good);
    EXPECT_EQ(acceptedCut("MacPaint", good, good.size()), -1);
    EXPECT_THROW(readerNamed("MacPaint").read(Bytes(good.begin(), good.end() - 1), {}), Error);
    // Runs that would overflow the page.
    Bytes bad(512, 0);
    for (int i = 0; i < 500; ++i) {  // 127-byte runs: the 409th crosses the page end
        bad.push_back(0x82);
        bad.push_back(0xFF);
    }
    EXPECT_THROW(readerNamed("MacPaint").read(bad, {}), Error);
    // An unknown header version is refused before any row is decoded, when pages are counted.
    Bytes version = good;
    version[3] = 7;
    EXPECT_THROW((void)readerNamed("MacPaint").pageCount(version, {}), Error);
}
