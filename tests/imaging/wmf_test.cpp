// Windows Meta File codec: our files rendered by GraphicsMagick (libwmf),
// read back by our reader, hand-built bitmap records of every kind the reader
// takes, the shared sample files, and damaged files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using rastel::test::TempDir;

namespace {

constexpr int kWmfCode = 15;
using Bytes = std::vector<std::uint8_t>;

using rastel::test::getU16le;
using rastel::test::getU32le;

const FormatReader& wmfReader() { return rastel::test::readerNamed("WMF"); }
Image readWmf(const Bytes& b) {
    Document d = wmfReader().read(b, ReadContext{"x.wmf"});
    EXPECT_EQ(d.pages.size(), 1u);
    return d.pages.at(0);
}

const FormatWriter& wmfWriter() {
    for (const auto& w : Registry::instance().writers())
        for (int c : w->codes())
            if (c == kWmfCode) return *w;
    throw std::runtime_error("no writer for code 15");
}

// Colour blocks of `block` x `block` pixels; 8-bit pictures keep to few colours.
Image blocks(int w, int h, int block, bool fewColours) {
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int X = x / block, Y = y / block;
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(X * 37 + Y * 11);
            p[1] = static_cast<std::uint8_t>((X * 5) ^ (Y * 29));
            p[2] = static_cast<std::uint8_t>((X + Y) * 13);
            if (fewColours) {
                p[0] &= 0xE0;
                p[1] &= 0xE0;
                p[2] &= 0xC0;
            }
        }
    return img;
}

// Pixels where `a` and `b` differ, as colours.
int differences(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height()) return -1;
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) n += !(pixelRgb(a, x, y) == pixelRgb(b, x, y));
    return n;
}

Image readPpm(const std::string& s) {
    try {
        return rastel::test::parsePnm(std::vector<std::uint8_t>(s.begin(), s.end()));
    } catch (const std::exception&) {
        return {};
    }
}

// writer

struct GmCase {
    int bits;
    int width, height;
    double dpi;  // 0: the page states none
    const char* gmOptions;
};

class WmfGm : public ::testing::TestWithParam<GmCase> {};

// libwmf draws the bitmap through GraphicsMagick's image primitive, which
// resamples it with a filter two pixels wide even at 72 dpi; no option makes
// that render exact (tried -density 72, -filter point/box, +antialias). So
// the picture is made of 8x8 blocks and every pixel at least two pixels from
// a block edge must come out exactly; size must be exact.
TEST_P(WmfGm, GraphicsMagickRendersOurFile) {
    const GmCase c = GetParam();
    Image src = blocks(c.width, c.height, 8, c.bits == 8);
    src.xDpi = src.yDpi = c.dpi;
    TempDir dir("rastel-wmf");
    const std::string path = dir / "out.wmf";
    savePage(path, src, kWmfCode, c.bits, 2);
    int status = 0;
    const std::string out = rastel::test::runCommand(
        "gm convert " + std::string(c.gmOptions) + " " + rastel::test::shellQuote(path) + " -depth 8 ppm:- 2>/dev/null",
        &status);
    ASSERT_EQ(status, 0);
    const Image gm = readPpm(out);
    ASSERT_EQ(gm.width(), c.width);
    ASSERT_EQ(gm.height(), c.height);
    int checked = 0, wrong = 0;
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const int bx = x % 8, by = y % 8;
            if (bx < 2 || bx > 5 || by < 2 || by > 5) continue;
            ++checked;
            wrong += !(pixelRgb(gm, x, y) == pixelRgb(src, x, y));
        }
    EXPECT_GT(checked, 0);
    EXPECT_EQ(wrong, 0) << "of " << checked;
}

INSTANTIATE_TEST_SUITE_P(Depths, WmfGm,
                         ::testing::Values(GmCase{8, 64, 40, 0, ""}, GmCase{24, 64, 40, 0, ""},
                                           GmCase{24, 61, 35, 72, "-density 72"},
                                           GmCase{8, 45, 27, 300, "-density 300"}),
                         [](const auto& info) {
                             const GmCase& c = info.param;
                             return std::to_string(c.bits) + "bits_" + std::to_string(c.width) + "x" +
                                    std::to_string(c.height) + "_" + std::to_string(static_cast<int>(c.dpi)) + "dpi";
                         });

struct RoundCase {
    int bits;
    int width, height;
    PixelFormat format;
    double dpi;
};

class WmfRoundTrip : public ::testing::TestWithParam<RoundCase> {};

// Our reader gives back exactly what the writer stored, and the file's
// records are laid out as players expect: placeable checksum, sizes in
// words, largest record, the record sequence and the bitmap parameters.
TEST_P(WmfRoundTrip, ReaderGetsBackTheStoredPicture) {
    const RoundCase c = GetParam();
    Image src = blocks(c.width, c.height, 1, c.bits == 8);
    if (c.format == PixelFormat::Gray8) src = toGray8(src);
    if (c.format == PixelFormat::Indexed) src = toIndexed(src, 4);
    src.xDpi = src.yDpi = c.dpi;
    const Bytes b = wmfWriter().write(src, WriteOptions{kWmfCode, c.bits, 2, "x.wmf"});

    ASSERT_GE(b.size(), 22u + 18u);
    EXPECT_EQ(getU32le(b, 0), 0x9AC6CDD7u);
    std::uint16_t sum = 0;
    for (std::size_t k = 0; k < 22; k += 2) sum ^= getU16le(b, k);
    EXPECT_EQ(sum, 0) << "placeable checksum";
    EXPECT_EQ(getU16le(b, 10), c.width);
    EXPECT_EQ(getU16le(b, 12), c.height);
    EXPECT_EQ(getU16le(b, 14), c.dpi > 0 ? static_cast<int>(c.dpi + 0.5) : 72);
    EXPECT_EQ(getU32le(b, 22 + 6), (b.size() - 22) / 2) << "metafile size in words";
    std::vector<std::uint16_t> functions;
    std::uint32_t largest = 0;
    std::size_t at = 22 + 18, stretch = 0;
    while (at + 6 <= b.size()) {
        const std::uint32_t words = getU32le(b, at);
        functions.push_back(getU16le(b, at + 4));
        largest = std::max(largest, words);
        if (functions.back() == 0x0F43) stretch = at;
        ASSERT_GE(words, 3u);
        at += 2 * std::size_t{words};
    }
    EXPECT_EQ(at, b.size());
    EXPECT_EQ(functions, (std::vector<std::uint16_t>{0x0103, 0x020B, 0x020C, 0x0F43, 0x0000}));
    EXPECT_EQ(getU32le(b, 22 + 12), largest) << "largest record";
    ASSERT_NE(stretch, 0u);
    EXPECT_EQ(getU32le(b, stretch + 6), 0x00CC0020u) << "SRCCOPY";
    EXPECT_EQ(getU16le(b, stretch + 10), 0) << "DIB_RGB_COLORS";
    EXPECT_EQ(getU16le(b, stretch + 20), c.height) << "destination height";
    EXPECT_EQ(getU16le(b, stretch + 22), c.width) << "destination width";
    EXPECT_EQ(getU16le(b, stretch + 28 + 14), c.bits) << "DIB bits";

    const Image back = readWmf(b);
    EXPECT_EQ(back.bitsPerPixel(), c.bits);
    EXPECT_EQ(differences(back, toBitsPerPixel(src, c.bits)), 0);
    const double dpi = c.dpi > 0 ? c.dpi : 72;
    EXPECT_DOUBLE_EQ(back.xDpi, dpi);
    EXPECT_DOUBLE_EQ(back.yDpi, dpi);
    if (c.width * c.height < 400) rastel::test::keepFuzzSeed("fuzz_wmf", "ours" + std::to_string(c.bits) + ".wmf", b);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, WmfRoundTrip,
    ::testing::Values(RoundCase{8, 1, 1, PixelFormat::Rgb24, 0}, RoundCase{24, 1, 1, PixelFormat::Rgb24, 0},
                      RoundCase{8, 13, 7, PixelFormat::Indexed, 96}, RoundCase{8, 37, 23, PixelFormat::Gray8, 0},
                      RoundCase{24, 37, 23, PixelFormat::Rgb24, 300}, RoundCase{24, 6, 3, PixelFormat::Gray8, 150},
                      RoundCase{8, 301, 2, PixelFormat::Rgb24, 0}),
    [](const auto& info) {
        const RoundCase& c = info.param;
        return std::to_string(c.bits) + "bits_" + std::to_string(c.width) + "x" + std::to_string(c.height) + "_from_" +
               (c.format == PixelFormat::Gray8     ? "gray"
                : c.format == PixelFormat::Indexed ? "indexed"
                                                   : "rgb");
    });

TEST(WmfWriter, RefusesPicturesPastSixteenBitExtents) {
    const Image wide(32768, 1, PixelFormat::Gray8);
    EXPECT_THROW(wmfWriter().write(wide, WriteOptions{kWmfCode, 8, 2, "x.wmf"}), Error);
    const Image widest(32767, 1, PixelFormat::Gray8);
    EXPECT_NO_THROW(wmfWriter().write(widest, WriteOptions{kWmfCode, 8, 2, "x.wmf"}));
    EXPECT_THROW(wmfWriter().write(widest, WriteOptions{kWmfCode, 4, 2, "x.wmf"}), Error);
}

// hand-built metafiles

Bytes record(std::uint16_t function, const Bytes& params) {
    Bytes r;
    appendU32le(r, static_cast<std::uint32_t>(3 + params.size() / 2));
    appendU16le(r, function);
    r.insert(r.end(), params.begin(), params.end());
    return r;
}

// A metafile of `records` (end record added), with a placeable header when `inch` > 0.
Bytes metafile(const std::vector<Bytes>& records, std::int16_t boxW = 0, std::int16_t boxH = 0,
               std::uint16_t inch = 0) {
    Bytes body;
    std::uint32_t largest = 3;
    for (const Bytes& r : records) {
        body.insert(body.end(), r.begin(), r.end());
        largest = std::max(largest, getU32le(r, 0));
    }
    const Bytes eof = record(0, {});
    body.insert(body.end(), eof.begin(), eof.end());
    Bytes out;
    if (inch) {
        appendU32le(out, 0x9AC6CDD7);
        for (std::uint16_t v : {std::uint16_t{0}, std::uint16_t{0}, std::uint16_t{0}, static_cast<std::uint16_t>(boxW),
                                static_cast<std::uint16_t>(boxH), inch, std::uint16_t{0}, std::uint16_t{0}})
            appendU16le(out, v);
        std::uint16_t sum = 0;
        for (std::size_t k = 0; k < 20; k += 2) sum ^= getU16le(out, k);
        appendU16le(out, sum);
    }
    for (std::uint16_t v : {std::uint16_t{1}, std::uint16_t{9}, std::uint16_t{0x0300}}) appendU16le(out, v);
    appendU32le(out, static_cast<std::uint32_t>(9 + body.size() / 2));
    appendU16le(out, 0);
    appendU32le(out, largest);
    appendU16le(out, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// BITMAPINFOHEADER + colour table (blue, green, red, 0) + pixel bytes.
Bytes dib(int w, int h, int bits, std::uint32_t compression, const std::vector<Rgb>& table, const Bytes& pixels) {
    Bytes d;
    appendU32le(d, 40);
    appendU32le(d, static_cast<std::uint32_t>(w));
    appendU32le(d, static_cast<std::uint32_t>(h));
    appendU16le(d, 1);
    appendU16le(d, static_cast<std::uint16_t>(bits));
    appendU32le(d, compression);
    appendU32le(d, static_cast<std::uint32_t>(pixels.size()));
    appendU32le(d, 0);
    appendU32le(d, 0);
    appendU32le(d, static_cast<std::uint32_t>(table.size()));
    appendU32le(d, 0);
    for (const Rgb& c : table) d.insert(d.end(), {c.b, c.g, c.r, 0});
    d.insert(d.end(), pixels.begin(), pixels.end());
    if (d.size() % 2) d.push_back(0);
    return d;
}

Bytes words(std::initializer_list<std::uint16_t> v) {
    Bytes b;
    for (std::uint16_t x : v) appendU16le(b, x);
    return b;
}
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255}, kBlack{0, 0, 0};

// 1-bit 3x2 DIB: bottom row red-green-red, top row green-red-green.
Bytes dibMono() { return dib(3, 2, 1, 0, {kRed, kGreen}, {0x40, 0, 0, 0, 0xA0, 0, 0, 0}); }
const std::vector<Rgb> kMonoPixels = {kGreen, kRed, kGreen, kRed, kGreen, kRed};
// 24-bit 2x2 DIB, bottom-up rows of blue-green-red triplets padded to 4 bytes.
Bytes dibTrue() { return dib(2, 2, 24, 0, {}, {255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0}); }
const std::vector<Rgb> kTruePixels = {kRed, kWhite, kBlue, kGreen};
// 4-bit run-length DIB 4x2: bottom row run of 4 x index 1/2, top row absolute 1,0,1,0.
Bytes dibRle4() { return dib(4, 2, 4, 2, {kBlack, kWhite, kBlue}, {4, 0x12, 0, 0, 0, 4, 0x10, 0x10, 0, 0, 0, 1}); }
const std::vector<Rgb> kRle4Pixels = {kWhite, kBlack, kWhite, kBlack, kWhite, kBlue, kWhite, kBlue};

struct RecordCase {
    const char* name;
    Bytes file;
    int width, height;
    std::vector<Rgb> pixels;  // top row first
    double dpi;               // expected xDpi and yDpi (0: none)
};

// STRETCHDIB of a one-row bitmap drawn `destW` units wide (negative: mirrored)
// with its top-left corner at (x, y).
Bytes bandAt(const Bytes& d, std::int16_t destW, std::uint16_t x, std::uint16_t y) {
    return record(0x0F43, cat(words({0x0020, 0x00CC, 0, 1, 2, 0, 0, 1, static_cast<std::uint16_t>(destW), y, x}), d));
}

std::vector<RecordCase> recordCases() {
    // STRETCHDIB: rop, usage, src h w y x, dest h w y x.
    auto stretchDib = [](const Bytes& d, std::uint16_t h, std::uint16_t w, std::uint16_t destH, std::uint16_t destW) {
        return record(0x0F43, cat(words({0x0020, 0x00CC, 0, h, w, 0, 0, destH, destW, 0, 0}), d));
    };
    return {
        {"stretchdib_placeable_dpi", metafile({stretchDib(dibMono(), 2, 3, 2, 3)}, 3, 2, 144), 3, 2, kMonoPixels, 144},
        {"stretchdib_drawn_larger", metafile({stretchDib(dibTrue(), 2, 2, 4, 4)}, 4, 4, 96), 2, 2, kTruePixels, 48},
        {"stretchdib_plain", metafile({stretchDib(dibRle4(), 2, 4, 2, 4)}), 4, 2, kRle4Pixels, 0},
        {"dibstretchblt",
         metafile({record(0x0B41, cat(words({0x0020, 0x00CC, 2, 2, 0, 0, 2, 2, 0, 0}), dibTrue()))}, 2, 2, 72), 2, 2,
         kTruePixels, 72},
        {"dibbitblt", metafile({record(0x0940, cat(words({0x0020, 0x00CC, 0, 0, 2, 3, 0, 0}), dibMono()))}), 3, 2,
         kMonoPixels, 0},
        {"setdibtodev", metafile({record(0x0D33, cat(words({0, 2, 0, 0, 0, 2, 2, 0, 0}), dibTrue()))}), 2, 2,
         kTruePixels, 0},
        // BITBLT with a monochrome device bitmap: rows top-down, 0 black, 1 white, 2 bytes per row.
        {"bitblt_bitmap16",
         metafile({record(
             0x0922, cat(words({0x0020, 0x00CC, 0, 0, 2, 3, 0, 0}), words({0, 3, 2, 2, 0x0101, 0x00A0, 0x0040})))}),
         3,
         2,
         {kWhite, kBlack, kWhite, kBlack, kWhite, kBlack},
         0},
        // Blits without a source and other records are skipped; bitmaps drawn
        // over each other end as a player shows them, the last on top.
        {"several_drawn_in_order",
         metafile({record(0x0940, words({0x0062, 0x00FF, 0, 0, 0, 5, 5, 0, 0})), stretchDib(dibTrue(), 2, 2, 2, 2),
                   record(0x0201, words({0, 0})), stretchDib(dibRle4(), 2, 4, 2, 4),
                   stretchDib(dibMono(), 2, 3, 2, 3)}),
         4,
         2,
         {kGreen, kRed, kGreen, kBlack, kRed, kGreen, kRed, kBlue},
         0},
        // A picture stored as three one-row bands, the last drawn mirrored
        // (negative width from its right edge); the page is the whole picture.
        {"bands_make_one_page",
         metafile({bandAt(dib(2, 1, 24, 0, {}, {0, 0, 255, 0, 255, 0, 0, 0}), 2, 0, 0),
                   bandAt(dib(2, 1, 24, 0, {}, {255, 0, 0, 255, 255, 255, 0, 0}), 2, 0, 1),
                   bandAt(dib(2, 1, 24, 0, {}, {0, 0, 0, 0, 0, 255, 0, 0}), -2, 2, 2)},
                  2, 3, 144),
         2,
         3,
         {kRed, kGreen, kBlue, kWhite, kRed, kBlack},
         144},
    };
}

class WmfRecords : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WmfRecords, BitmapRecordsDecode) {
    const RecordCase c = recordCases()[GetParam()];
    SCOPED_TRACE(c.name);
    const Image img = readWmf(c.file);
    ASSERT_EQ(img.width(), c.width);
    ASSERT_EQ(img.height(), c.height);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
            EXPECT_EQ(pixelRgb(img, x, y), c.pixels[static_cast<std::size_t>(y * c.width + x)]) << x << "," << y;
    EXPECT_DOUBLE_EQ(img.xDpi, c.dpi);
    EXPECT_DOUBLE_EQ(img.yDpi, c.dpi);
    EXPECT_EQ(wmfReader().pageCount(c.file, ReadContext{"x.wmf"}), 1);
    rastel::test::keepFuzzSeed("fuzz_wmf", std::string(c.name) + ".wmf", c.file);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WmfRecords, ::testing::Range<std::size_t>(0, recordCases().size()),
                         [](const auto& info) { return std::string(recordCases()[info.param].name); });

struct SniffCase {
    const char* name;
    Bytes head;
    Sniff expected;
};

TEST(WmfReader, SniffsPlaceableStrongAndPlainWeak) {
    const Bytes placeable = metafile({}, 1, 1, 72), plain = metafile({});
    Bytes badVersion = plain;
    badVersion[4] = 0x02;
    const std::vector<SniffCase> cases = {
        {"placeable", placeable, Sniff::Strong},
        {"plain", plain, Sniff::Weak},
        {"bad version", badVersion, Sniff::No},
        {"short", Bytes{1, 0, 9}, Sniff::No},
        {"bmp", Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Sniff::No},
    };
    for (const auto& c : cases) EXPECT_EQ(wmfReader().sniff(c.head), c.expected) << c.name;
}

struct BadCase {
    const char* name;
    Bytes file;
    const char* message;  // part of the error text
};

TEST(WmfReader, RefusesBadMetafilesClearly) {
    const Bytes good = metafile({record(0x0F43, cat(words({0x0020, 0x00CC, 0, 2, 2, 0, 0, 2, 2, 0, 0}), dibTrue()))});
    Bytes hugeRecord = good;
    hugeRecord[18] = 0xFF;  // first record's size
    Bytes tinyRecord = good;
    tinyRecord[18] = 2;
    Bytes noEof = good;
    noEof.resize(noEof.size() - 6);
    Bytes badHeader = good;
    badHeader[2] = 7;
    Bytes badDib = good;
    badDib[18 + 28] = 41;  // DIB header size
    // A 4x2 bitmap at one unit a pixel, then a 2x2 one stretched over 30000
    // units again and again at the same place.
    std::vector<Bytes> repeated{record(0x0F43, cat(words({0x0020, 0x00CC, 0, 2, 4, 0, 0, 2, 4, 0, 0}), dibRle4()))};
    for (int i = 0; i < 40; ++i)
        repeated.push_back(record(0x0F43, cat(words({0x0020, 0x00CC, 0, 2, 2, 0, 0, 2, 30000, 0, 0}), dibTrue())));
    const std::vector<BadCase> cases = {
        {"overdrawn", metafile(repeated), "far more bitmap pixels"},
        {"vector only", metafile({record(0x0201, words({0, 0})), record(0x0213, words({10, 10}))}), "holds no bitmap"},
        {"record past end", hugeRecord, "runs past the end"},
        {"record too small", tinyRecord, "record of 2 words"},
        {"no end record", noEof, "ends before its end record"},
        {"bad header", badHeader, "bad metafile header"},
        {"bad dib header", badDib, "bitmap header size"},
        {"palette colours",
         metafile({record(0x0F43, cat(words({0x0020, 0x00CC, 1, 2, 3, 0, 0, 2, 3, 0, 0}), dibMono()))}),
         "palette-relative"},
        {"colour bitmap16",
         metafile({record(0x0922, cat(words({0x0020, 0x00CC, 0, 0, 1, 1, 0, 0}), words({0, 1, 1, 4, 0x0801, 0, 0})))}),
         "not supported"},
    };
    for (const auto& c : cases) {
        try {
            readWmf(c.file);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("WMF: ", 0), 0u) << e.what();
        }
    }
}

// Every cut of a valid file and every damaged byte fails cleanly or decodes.
TEST(WmfReader, TruncatedAndCorruptedFilesFailCleanly) {
    Image src = blocks(9, 5, 1, true);
    for (int bits : {8, 24}) {
        const Bytes b = wmfWriter().write(src, WriteOptions{kWmfCode, bits, 2, "x.wmf"});
        for (std::size_t cut = 0; cut < b.size(); cut += (cut < 200 ? 1 : 7)) {
            const Bytes part(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_THROW(wmfReader().read(part, ReadContext{"x.wmf"}), Error) << bits << " bits cut at " << cut;
        }
        for (std::size_t at = 0; at < 160 && at < b.size(); ++at)
            for (std::uint8_t v : {std::uint8_t{0}, std::uint8_t{0x7F}, std::uint8_t{0xFF}}) {
                Bytes bad = b;
                bad[at] = v;
                try {
                    wmfReader().read(bad, ReadContext{"x.wmf"});
                } catch (const Error&) {
                }
            }
    }
}

// shared samples

// grid.wmf holds one 94x94 1-bit STRETCHDIB (drawn over by grid lines): our page
// must equal what ImageMagick decodes from that DIB stored as a BMP file.
TEST(WmfCorpus, BitmapOfGridMatchesImageMagick) {
    const std::string path = rastel::test::fixture("dtformats--test_data__grid.wmf");
    const Bytes b = rastel::test::readBytes(path);
    ASSERT_GT(b.size(), 100u);
    const Image ours = loadDocument(path).pages.at(0);
    EXPECT_EQ(ours.width(), 94);
    EXPECT_EQ(ours.height(), 94);
    EXPECT_DOUBLE_EQ(ours.xDpi, 96);  // 94 pixels over 94 units at 96 units per inch

    std::size_t at = 22 + 18;
    Bytes bmp;
    while (at + 6 <= b.size()) {
        const std::uint32_t n = getU32le(b, at);
        if (getU16le(b, at + 4) == 0x0F43) {
            const Bytes d(b.begin() + static_cast<std::ptrdiff_t>(at + 28),
                          b.begin() + static_cast<std::ptrdiff_t>(at + 2 * n));
            const std::uint32_t colours =
                getU32le(d, 32) ? getU32le(d, 32) : (getU16le(d, 14) <= 8 ? 1u << getU16le(d, 14) : 0u);
            bmp = {'B', 'M'};
            appendU32le(bmp, static_cast<std::uint32_t>(14 + d.size()));
            appendU32le(bmp, 0);
            appendU32le(bmp, 14 + 40 + 4 * colours);
            bmp.insert(bmp.end(), d.begin(), d.end());
            break;
        }
        if (n < 3) break;
        at += 2 * std::size_t{n};
    }
    ASSERT_FALSE(bmp.empty());
    TempDir dir("rastel-wmf");
    rastel::test::writeBytes(dir / "grid.bmp", bmp);
    int status = 0;
    const Image im = readPpm(rastel::test::runCommand(
        "/usr/bin/convert " + rastel::test::shellQuote(dir / "grid.bmp") + " -depth 8 ppm:- 2>/dev/null", &status));
    ASSERT_EQ(status, 0);
    EXPECT_EQ(differences(ours, im), 0);
}

TEST(WmfCorpus, VectorOnlyFilesFailClearly) {
    for (const char* name : {"imagemagick--wmf__clock.wmf", "libgdiplus--test.wmf"}) {
        const std::string path = rastel::test::fixture(name);
        try {
            loadDocument(path);
            ADD_FAILURE() << name << ": no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("WMF: the metafile holds no bitmap; vector drawings are not rendered"),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
