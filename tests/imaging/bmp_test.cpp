#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/page_checks.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
namespace fs = std::filesystem;

namespace {

using rastel::test::TempDir;

// Runs a shell command; returns its standard output, or nullopt when it fails.
std::optional<std::string> run(const std::string& cmd, bool requireSuccess = true) {
    int status = 0;
    std::string out = rastel::test::runCommand(cmd + " 2>/dev/null", &status);
    if (status != 0 && (requireSuccess || out.empty())) return std::nullopt;
    return out;
}

using rastel::test::keepFuzzSeed;
using rastel::test::readBytes;
using rastel::test::writeBytes;

using rastel::test::readerNamed;

// A picture of at most `colours` distinct colours (all distinct when 0).
Image testPicture(int w, int h, int colours) {
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            int k = colours ? ((x / 3 + y * 7 + (x * y) % 5) % colours) : x * 37 + y * 101;
            if (colours == 0) {
                p[0] = static_cast<std::uint8_t>(x * 9 + y);
                p[1] = static_cast<std::uint8_t>(y * 13 + 5);
                p[2] = static_cast<std::uint8_t>(x * y + 77);
            } else {
                p[0] = static_cast<std::uint8_t>(k * 53);
                p[1] = static_cast<std::uint8_t>(255 - k * 17);
                p[2] = static_cast<std::uint8_t>(k * 101);
            }
        }
    img.xDpi = img.yDpi = 150;
    return img;
}

// Pillow's RGB pixels of a file (the system Python, where python3-pil lives).
std::optional<std::string> pillowRgb(const std::string& path) {
    return run(
        "/usr/bin/python3 -c \"import sys; from PIL import Image; "
        "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())\" " +
        path);
}

// RGB bytes of every page in order, as `convert x rgb:-` prints them.
std::string rgbBytes(const Document& doc, bool onlyOpaque = false) {
    std::string s;
    for (const Image& page : doc.pages)
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x) {
                Rgb c = pixelRgb(page, x, y);
                if (onlyOpaque && page.format() == PixelFormat::Rgba32 && page.row(y)[4 * x + 3] == 0) c = {};
                s += static_cast<char>(c.r);
                s += static_cast<char>(c.g);
                s += static_cast<char>(c.b);
            }
    return s;
}

// Index of the first differing RGB pixel, -1 when equal.
long firstDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return -2;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return static_cast<long>(i / 3);
    return -1;
}

// writer

struct WriteCase {
    int code, bits;
    const char* identify;       // "%z %C" ImageMagick reports for the file
    bool pillowPixels = false;  // ImageMagick 6 reads the colour table of 64-byte OS/2 headers as 3-byte entries
};

class BmpWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(BmpWrite, RoundTripsAndImageMagickAgrees) {
    const WriteCase c = GetParam();
    TempDir dir;
    for (const int w : {1, 7, 33}) {
        const Image src = testPicture(w, 5, c.bits <= 8 ? (1 << c.bits) : 0);
        const std::string path = dir.file("w" + std::to_string(w) + ".bmp");
        savePage(path, src, c.code, c.bits, 2);
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u);
        const Image& got = doc.pages[0];
        ASSERT_EQ(got.width(), w);
        ASSERT_EQ(got.height(), 5);
        // Lossless except for 16 bits, which keeps five bits per channel.
        const Image expect = c.bits == 16 ? toRgb24(toRgb555(src)) : src;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(pixelRgb(got, x, y), pixelRgb(expect, x, y)) << x << "," << y;
            }
        if (c.bits <= 8) {
            EXPECT_EQ(got.format(), PixelFormat::Indexed);
            EXPECT_EQ(got.indexBits(), c.bits);
        }
        if (c.code != 14) {
            EXPECT_DOUBLE_EQ(got.xDpi, 150);
        }

        const auto id = run("identify -format '%w %h %z %C' " + path);
        ASSERT_TRUE(id) << "identify rejected code " << c.code << " at " << c.bits;
        EXPECT_EQ(*id, std::to_string(w) + " 5 " + c.identify) << "code " << c.code << " at " << c.bits;
        const auto other = c.pillowPixels ? pillowRgb(path) : run("convert " + path + " -depth 8 rgb:-");
        ASSERT_TRUE(other);
        EXPECT_EQ(firstDifference(*other, rgbBytes(doc)), -1) << "code " << c.code << " at " << c.bits;
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, BmpWrite,
                         ::testing::Values(WriteCase{6, 1, "1 None"}, WriteCase{6, 4, "4 None"},
                                           WriteCase{6, 8, "8 None"}, WriteCase{6, 16, "8 None"},
                                           WriteCase{6, 24, "8 None"}, WriteCase{6, 32, "8 None"},
                                           WriteCase{84, 4, "4 RLE"}, WriteCase{84, 8, "8 RLE"},
                                           WriteCase{14, 1, "1 None"}, WriteCase{14, 4, "4 None"},
                                           WriteCase{14, 8, "8 None"}, WriteCase{14, 24, "8 None"},
                                           WriteCase{74, 1, "1 None", true}, WriteCase{74, 4, "4 None", true},
                                           WriteCase{74, 8, "8 None", true}, WriteCase{74, 24, "8 None"}));

TEST(BmpWrite, RleCompressesRunsAndSurvivesNoise) {
    TempDir dir;
    for (const int bits : {4, 8}) {
        // Long runs must shrink the file; random noise (all absolute runs) must still decode.
        Image flat(200, 20, PixelFormat::Indexed, bits);
        flat.palette() = grayPalette(bits);
        Image noise = flat;
        std::mt19937 rng(bits);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 200; ++x) {
                flat.row(y)[x] = static_cast<std::uint8_t>((x / 50 + y) % (1 << bits));
                noise.row(y)[x] = static_cast<std::uint8_t>(rng() % (1u << bits));
            }
        for (const Image* img : {&flat, &noise}) {
            const std::string path = dir.file("rle.bmp");
            savePage(path, *img, 84, bits, 2);
            if (img == &flat) {
                EXPECT_LE(fs::file_size(path), 54u + (4u << bits) + 20 * 10);
            }
            const Document doc = loadDocument(path);
            EXPECT_EQ(rgbBytes(doc), rgbBytes(Document{{*img}}));
            const auto im = run("convert " + path + " -depth 8 rgb:-");
            ASSERT_TRUE(im);
            EXPECT_EQ(firstDifference(*im, rgbBytes(doc)), -1) << bits;
        }
    }
}

TEST(BmpWrite, ThirtyTwoBitsKeepsAlpha) {
    TempDir dir;
    Image img(3, 2, PixelFormat::Rgba32);
    for (int i = 0; i < 6; ++i) {
        img.data()[4 * i] = static_cast<std::uint8_t>(i * 40);
        img.data()[4 * i + 3] = static_cast<std::uint8_t>(i * 50);
    }
    savePage(dir.file("a.bmp"), img, 6, 32, 2);
    const Document doc = loadDocument(dir.file("a.bmp"));
    ASSERT_EQ(doc.pages[0].format(), PixelFormat::Rgba32);
    EXPECT_EQ(std::vector<std::uint8_t>(doc.pages[0].data(), doc.pages[0].data() + 24),
              std::vector<std::uint8_t>(img.data(), img.data() + 24));
}

TEST(BmpWrite, RefusesDepthsTheCodeLacks) {
    TempDir dir;
    EXPECT_THROW(savePage(dir.file("x.bmp"), testPicture(2, 2, 0), 84, 24, 2), Error);
    EXPECT_THROW(savePage(dir.file("x.bmp"), testPicture(2, 2, 0), 14, 16, 2), Error);
}

}  // namespace

// corpus

// RGBA bytes of every page; transparent pixels read as 0,0,0,0 so that the
// colour hidden under full transparency does not count.
std::string rgbaBytes(const Document& doc) {
    std::string s;
    for (const Image& page : doc.pages) {
        const Image rgba = toRgba32(page);
        for (std::size_t i = 0; i < rgba.byteSize(); i += 4) {
            const bool clear = rgba.data()[i + 3] == 0;
            for (int k = 0; k < 4; ++k) s += static_cast<char>(clear ? 0 : rgba.data()[i + k]);
        }
    }
    return s;
}

std::string clearTransparent(std::string rgba) {
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
        if (rgba[i + 3] == 0) rgba[i] = rgba[i + 1] = rgba[i + 2] = 0;
    return rgba;
}

// Each page's RGBA bytes (see rgbaBytes), sorted, for comparing icons whose
// pages ImageMagick lists in directory order and the reader lists largest first.
std::vector<std::string> pagesSorted(const Document& doc) {
    std::vector<std::string> pages;
    for (const Image& page : doc.pages) pages.push_back(rgbaBytes(Document{{page}}));
    std::sort(pages.begin(), pages.end());
    return pages;
}

std::optional<std::vector<std::string>> imageMagickPagesSorted(const std::string& path) {
    const auto dims = run("identify -format '%w %h\\n' '" + path + "'");
    const auto all = run("convert '" + path + "' -depth 8 rgba:-");
    if (!dims || !all) return std::nullopt;
    std::istringstream in(*dims);
    std::vector<std::string> pages;
    std::size_t at = 0, w = 0, h = 0;
    while (in >> w >> h) {
        if (at + 4 * w * h > all->size()) return std::nullopt;
        pages.push_back(clearTransparent(all->substr(at, 4 * w * h)));
        at += 4 * w * h;
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

struct CorpusCase {
    const char* dir;
    bool rgba;  // compare alpha as well
};

// Files where ImageMagick 6 and this reader deliberately differ.
const std::set<std::string> kKnownDisagreements = {
    // Narrow masks (2, 3, 4 bits): ImageMagick shifts them up (3 bits 7 -> 0xE0); we scale to
    // full range (7 -> 0xFF). Pillow does not read them.
    "libgd--bmp__bmpsuite__questionable__rgb16-3103.bmp",
    "twelvemonkeys--bmpsuite__q__rgb16-231.bmp",
    "libgd--bmp__bmpsuite__questionable__rgba16-1924.bmp",
    // A 12-bit green mask: ImageMagick rounds through 16 bits and lands one below our exact
    // rounding on some values. Pillow does not read it.
    "libgd--bmp__bmpsuite__questionable__rgba32-81284.bmp",
    // Icon bitmap height 0x20000003 against a 2 x 2 directory entry: ImageMagick trusts the
    // directory, we refuse the corrupt header.
    "gdkpixbuf--randomly-modified__crash.ico",
    // Compression field 0xDE00 in an icon bitmap: ImageMagick ignores it, we refuse it.
    "gdkpixbuf--fail__invalid.1.ico",
    // Malformed RLE (runs and absolute runs past the row end, deltas past the image): every
    // decoder recovers differently; we clip at the row end.
    "libgd--bmp__bmpsuite__bad__badrle4.bmp",
    "libgd--bmp__bmpsuite__bad__badrle4bis.bmp",
    "libgd--bmp__bmpsuite__bad__badrleter.bmp",
    // RLE4 runs overshoot each row by a pixel: ImageMagick wraps the spill into the next row, we
    // clip (as Pillow does at those pixels).
    "twelvemonkeys--bmp__blauesglas_4_2.bmp",
    // Header size 66 is no bitmap header version; ImageMagick guesses, we refuse.
    "twelvemonkeys--bmpsuite__b__badheadersize.bmp",
};

class BmpCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(BmpCorpus, DecodesLikeImageMagickOrRefusesCleanly) {
    const CorpusCase c = GetParam();
    const fs::path root = rastel::test::corpusDir() / c.dir;
    if (!fs::exists(root)) RASTEL_MISSING("no corpus at " << root);
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string path = entry.path().string();
        const std::string name = entry.path().filename().string();
        std::optional<Document> ours;
        try {
            ours = loadDocument(path);
        } catch (const Error& e) {
            // Icons holding PNG images need the PNG reader, which this build may lack.
            if (std::string(e.what()).find("no PNG reader") != std::string::npos) continue;
        }
        if (c.rgba) {
            const auto im = imageMagickPagesSorted(path);
            if (!im || kKnownDisagreements.count(name)) continue;
            ASSERT_TRUE(ours) << name << ": ImageMagick decodes it, we refused it";
            EXPECT_TRUE(*im == pagesSorted(*ours)) << name;
            ++compared;
            continue;
        }
        const auto im = run("convert '" + path + "' -depth 8 rgb:-");
        if (!im) continue;  // ImageMagick refuses it: only a clean Error or a decode was asked of us
        if (kKnownDisagreements.count(name)) continue;
        ASSERT_TRUE(ours) << name << ": ImageMagick decodes it, we refused it";
        const std::string mine = rgbBytes(*ours);
        const std::string theirs = *im;
        if (firstDifference(theirs, mine) != -1) {
            // ImageMagick 6 has its own quirks; a second independent decoder may settle it.
            const auto pil = pillowRgb(path);
            EXPECT_TRUE(pil && firstDifference(*pil, mine) == -1) << name << ": differs from ImageMagick and Pillow";
        } else {
            EXPECT_EQ(firstDifference(theirs, mine), -1) << name;
        }
        ++compared;
    }
    EXPECT_GT(compared, 5);
}

INSTANTIATE_TEST_SUITE_P(Dirs, BmpCorpus, ::testing::Values(CorpusCase{"bmp", false}, CorpusCase{"ico", true}));

// hand-built files

// A bitmap assembled field by field, for the layouts no tool at hand writes.
struct DibLayout {
    std::uint32_t headerSize = 40;
    std::int32_t width = 4, height = 2;  // negative height: top-down
    int bits = 8;
    std::uint32_t compression = 0;
    std::vector<std::uint32_t> masks;    // inside a 52+ byte header, else after the 40-byte one
    std::vector<std::uint32_t> palette;  // 0xRRGGBB
    std::uint32_t clrUsed = 0;
    std::vector<std::uint8_t> pixels;  // exactly as stored
    std::int32_t ppm = 2835;
};

std::vector<std::uint8_t> makeBmp(const DibLayout& s, bool fileHeader = true) {
    ByteWriter h;
    h.u32le(s.headerSize);
    if (s.headerSize == 12) {
        h.u16le(static_cast<std::uint16_t>(s.width));
        h.u16le(static_cast<std::uint16_t>(s.height));
        h.u16le(1);
        h.u16le(static_cast<std::uint16_t>(s.bits));
    } else {
        const std::uint32_t fields[] = {s.compression,
                                        static_cast<std::uint32_t>(s.pixels.size()),
                                        static_cast<std::uint32_t>(s.ppm),
                                        static_cast<std::uint32_t>(s.ppm),
                                        s.clrUsed,
                                        0};
        h.u32le(static_cast<std::uint32_t>(s.width));
        h.u32le(static_cast<std::uint32_t>(s.height));
        h.u16le(1);
        h.u16le(static_cast<std::uint16_t>(s.bits));
        for (const std::uint32_t f : fields)
            if (h.size() + 4 <= s.headerSize) h.u32le(f);
        if (s.headerSize >= 52 && s.headerSize != 64)
            for (const std::uint32_t m : s.masks)
                if (h.size() + 4 <= s.headerSize) h.u32le(m);
        h.zeros(s.headerSize - h.size());
        if (s.headerSize == 40)
            for (const std::uint32_t m : s.masks) h.u32le(m);
    }
    for (const std::uint32_t c : s.palette) {
        h.u8(static_cast<std::uint8_t>(c));
        h.u8(static_cast<std::uint8_t>(c >> 8));
        h.u8(static_cast<std::uint8_t>(c >> 16));
        if (s.headerSize != 12) h.u8(0);
    }
    ByteWriter f;
    if (fileHeader) {
        f.u8('B');
        f.u8('M');
        f.u32le(static_cast<std::uint32_t>(14 + h.size() + s.pixels.size()));
        f.u32le(0);
        f.u32le(static_cast<std::uint32_t>(14 + h.size()));
    }
    f.bytes(h.buffer());
    f.bytes(s.pixels);
    return f.take();
}

const std::vector<std::uint32_t> kPal16 = [] {
    std::vector<std::uint32_t> p;
    for (std::uint32_t i = 0; i < 16; ++i) p.push_back((i * 16) << 16 | i << 8 | (255 - i));
    return p;
}();

enum class Checker { ImageMagick, Pillow, None };

struct DecodeCase {
    const char* name;
    DibLayout layout;
    PixelFormat format;
    std::vector<std::uint32_t> expect;     // 0xRRGGBB (0xAARRGGBB for Rgba32), top row first
    Checker check = Checker::ImageMagick;  // who else decodes it (ImageMagick refuses short OS/2 tables,
                                           // 2-bit pixels, ALPHABITFIELDS and 16-byte headers)
};

std::vector<std::uint32_t> colours(const Image& img) {
    std::vector<std::uint32_t> v;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const Rgb c = pixelRgb(img, x, y);
            std::uint32_t a = img.format() == PixelFormat::Rgba32 ? std::uint32_t{img.row(y)[4 * x + 3]} << 24 : 0;
            v.push_back(a | std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b);
        }
    return v;
}

std::vector<std::uint32_t> pal16(std::initializer_list<int> idx) {
    std::vector<std::uint32_t> v;
    for (const int i : idx) v.push_back(i < 16 ? kPal16[static_cast<std::size_t>(i)] : 0);
    return v;
}

const DecodeCase kDecodeCases[] = {
    {"os2-1x-8bit",
     {12, 3, 2, 8, 0, {}, {0xFF0000, 0x00FF00, 0x0000FF}, 0, {0, 1, 2, 0, 2, 2, 0, 0}},
     PixelFormat::Indexed,
     {0x0000FF, 0x0000FF, 0xFF0000, 0xFF0000, 0x00FF00, 0x0000FF},
     Checker::Pillow},
    {"os2-1x-1bit",
     {12, 9, 1, 1, 0, {}, {0x000000, 0xFFFFFF}, 0, {0x0F, 0x80, 0, 0}},
     PixelFormat::Indexed,
     {0, 0, 0, 0, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF}},
    {"os2-2x-16byte-4bit",
     {16, 3, 1, 4, 0, {}, {0x112233, 0x445566}, 0, {0x01, 0x10, 0, 0}},
     PixelFormat::Indexed,
     {0x112233, 0x445566, 0x445566},
     Checker::None},
    {"os2-2x-64byte-1bit",
     {64, 10, 1, 1, 0, {}, {0x000000, 0xFFFFFF}, 2, {0xA5, 0x80, 0, 0}},
     PixelFormat::Indexed,
     {0xFFFFFF, 0, 0xFFFFFF, 0, 0, 0xFFFFFF, 0, 0xFFFFFF, 0xFFFFFF, 0},
     Checker::Pillow},
    {"2bit",
     {40, 5, 1, 2, 0, {}, {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF}, 4, {0x1B, 0xC0, 0, 0}},
     PixelFormat::Indexed,
     {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF, 0xFFFFFF},
     Checker::None},
    {"short-palette",
     {40, 3, 1, 8, 0, {}, {0x102030, 0x405060}, 2, {1, 0, 5, 0}},
     PixelFormat::Indexed,
     {0x405060, 0x102030, 0x000000},
     Checker::None},
    {"top-down-24",
     {40, 2, -2, 24, 0, {}, {}, 0, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}},
     PixelFormat::Rgb24,
     {0x030201, 0x060504, 0x090807, 0x0C0B0A}},
    {"16-plain-555", {40, 2, 1, 16, 0, {}, {}, 0, {0x00, 0x7C, 0xFF, 0x03}}, PixelFormat::Rgb24, {0xFF0000, 0x00FFFF}},
    {"16-bitfields-565-top-down",
     {40, 2, -1, 16, 3, {0xF800, 0x07E0, 0x001F}, {}, 0, {0xE0, 0x07, 0x1F, 0x08}},
     PixelFormat::Rgb24,
     {0x00FF00, 0x0800FF}},
    {"32-v3-alpha-mask",
     {56, 2, 1, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, {}, 0, {1, 2, 3, 0x80, 4, 5, 6, 0xFF}},
     PixelFormat::Rgba32,
     {0x80030201, 0xFF060504}},
    {"32-alphabitfields-10bit",
     {40,
      2,
      1,
      32,
      6,
      {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000},
      {},
      0,
      {0xFF, 0x03, 0x00, 0x40, 0x00, 0xFC, 0xFF, 0xFF}},
     PixelFormat::Rgba32,
     {0x550000FF, 0xFFFFFF00},
     Checker::None},
    {"32-plain-zero-fourth-byte",
     {40, 2, 1, 32, 0, {}, {}, 0, {1, 2, 3, 0, 4, 5, 6, 0}},
     PixelFormat::Rgb24,
     {0x030201, 0x060504}},
    {"32-plain-opaque-fourth-byte",
     {40, 2, 1, 32, 0, {}, {}, 0, {1, 2, 3, 255, 4, 5, 6, 255}},
     PixelFormat::Rgb24,
     {0x030201, 0x060504}},
    {"32-plain-mixed-fourth-byte",
     {40, 2, 1, 32, 0, {}, {}, 0, {1, 2, 3, 0, 4, 5, 6, 255}},
     PixelFormat::Rgba32,
     {0x00030201, 0xFF060504}},
    // RLE8: run, delta (right 1, up 1), single pixel, end of line, odd absolute run, end of bitmap.
    {"rle8-delta",
     {40, 4, 3, 8, 1, {}, kPal16, 16, {2, 5, 0, 2, 1, 1, 1, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}},
     PixelFormat::Indexed,
     pal16({1, 2, 3, 0, 0, 0, 0, 7, 5, 5, 0, 0})},
    // RLE4: alternating run, end of line, odd absolute run of 5 (3 bytes + pad), end of bitmap.
    {"rle4-absolute",
     {40, 5, 2, 4, 2, {}, kPal16, 16, {3, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1}},
     PixelFormat::Indexed,
     pal16({3, 4, 5, 6, 7, 1, 2, 1, 0, 0})},
    {"rle8-run-past-row-end-clipped",
     {40, 3, 1, 8, 1, {}, kPal16, 16, {5, 9, 0, 1}},
     PixelFormat::Indexed,
     pal16({9, 9, 9})},
    {"rle8-delta-past-image-end",
     {40, 2, 2, 8, 1, {}, kPal16, 16, {1, 4, 0, 2, 0, 5}},
     PixelFormat::Indexed,
     pal16({0, 0, 4, 0})},
};

class BmpDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(BmpDecode, GivesTheStoredPixels) {
    const DecodeCase& c = GetParam();
    const auto bytes = makeBmp(c.layout);
    keepFuzzSeed("fuzz_bmp", std::string(c.name) + ".bmp", bytes);
    const Document doc = readerNamed("BMP").read(bytes, ReadContext{c.name});
    ASSERT_EQ(doc.pages.size(), 1u);
    const Image& img = doc.pages[0];
    EXPECT_EQ(img.format(), c.format);
    EXPECT_EQ(img.width(), c.layout.width);
    EXPECT_EQ(img.height(), std::abs(c.layout.height));
    EXPECT_EQ(colours(img), c.expect);
    if (c.layout.headerSize >= 32) {
        EXPECT_DOUBLE_EQ(img.xDpi, 72);
    }
    if (c.check != Checker::None) {
        TempDir dir;
        writeBytes(dir.file("x.bmp"), bytes);
        // ImageMagick complains about RLE data that ends with the rows but prints the same pixels.
        const auto other = c.check == Checker::Pillow ? pillowRgb(dir.file("x.bmp"))
                                                      : run("convert " + dir.file("x.bmp") + " -depth 8 rgb:-", false);
        ASSERT_TRUE(other);
        EXPECT_EQ(firstDifference(*other, rgbBytes(doc)), -1);
    }
    // The same bitmap without its file header, as a clipboard .dib holds it.
    if (c.layout.compression == 0 && (c.layout.headerSize == 40 || c.layout.headerSize == 56)) {
        const auto dib = makeBmp(c.layout, false);
        EXPECT_EQ(readerNamed("BMP").sniff(dib), Sniff::Weak);
        EXPECT_EQ(colours(readerNamed("BMP").read(dib, ReadContext{c.name}).pages.at(0)), c.expect);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BmpDecode, ::testing::ValuesIn(kDecodeCases), [](const auto& info) {
    std::string n = info.param.name;
    std::replace(n.begin(), n.end(), '-', '_');
    return n;
});

struct BadCase {
    const char* name;
    std::function<void(DibLayout&)> spoil;
    std::function<void(std::vector<std::uint8_t>&)> spoilBytes = nullptr;  // edits the finished file
};

DibLayout goodRgb24() { return {40, 2, 2, 24, 0, {}, {}, 0, std::vector<std::uint8_t>(16, 7)}; }

const BadCase kBadCases[] = {
    {"bits-3", [](DibLayout& s) { s.bits = 3; }},
    {"bits-0", [](DibLayout& s) { s.bits = 0; }},
    {"width-0", [](DibLayout& s) { s.width = 0; }},
    {"height-0", [](DibLayout& s) { s.height = 0; }},
    {"height-int-min", [](DibLayout& s) { s.height = INT32_MIN; }},
    {"huge-size", [](DibLayout& s) { s.width = s.height = 0x7FFFFFFF; }},
    {"unknown-header-size", [](DibLayout&) {}, [](auto& b) { b[14] = 41; }},
    {"rle8-at-4-bits",
     [](DibLayout& s) {
         s.bits = 4;
         s.compression = 1;
         s.palette = kPal16;
     }},
    {"bitfields-at-24-bits",
     [](DibLayout& s) {
         s.compression = 3;
         s.masks = {0xFF0000, 0xFF00, 0xFF};
     }},
    {"zero-masks",
     [](DibLayout& s) {
         s.bits = 32;
         s.compression = 3;
         s.masks = {0, 0, 0};
     }},
    {"embedded-jpeg", [](DibLayout& s) { s.compression = 4; }},
    {"unknown-compression", [](DibLayout& s) { s.compression = 77; }},
    {"pixels-truncated", [](DibLayout& s) { s.pixels.resize(12); }},
    {"offset-past-end", [](DibLayout&) {},
     [](auto& b) {
         b[10] = 0xF0;
         b[11] = 0xFF;
     }},
    {"offset-inside-header", [](DibLayout&) {}, [](auto& b) { b[10] = 20; }},
    {"no-colour-table",
     [](DibLayout& s) {
         s.bits = 8;
         s.pixels.assign(8, 0);
     }},
    {"rle-ends-early",
     [](DibLayout& s) {
         s.bits = 8;
         s.compression = 1;
         s.palette = kPal16;
         s.pixels = {2, 1, 0, 0};
     }},
    {"rle-absolute-run-truncated",
     [](DibLayout& s) {
         s.bits = 8;
         s.compression = 1;
         s.palette = kPal16;
         s.pixels = {0, 9, 1, 2};
     }},
    {"os2-1x-16-bits",
     [](DibLayout& s) {
         s.headerSize = 12;
         s.bits = 16;
     }},
    {"os2-huffman",
     [](DibLayout& s) {
         s.headerSize = 64;
         s.bits = 1;
         s.compression = 3;
         s.palette = {0, 0xFFFFFF};
     }},
};

class BmpRefuse : public ::testing::TestWithParam<BadCase> {};

TEST_P(BmpRefuse, ThrowsError) {
    DibLayout s = goodRgb24();
    GetParam().spoil(s);
    auto bytes = makeBmp(s);
    if (GetParam().spoilBytes) GetParam().spoilBytes(bytes);
    EXPECT_THROW(readerNamed("BMP").read(bytes, ReadContext{"bad"}), Error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BmpRefuse, ::testing::ValuesIn(kBadCases), [](const auto& info) {
    std::string n = info.param.name;
    std::replace(n.begin(), n.end(), '-', '_');
    return n;
});

TEST(BmpRefuse, GoodBaseDecodes) {
    EXPECT_NO_THROW(readerNamed("BMP").read(makeBmp(goodRgb24()), ReadContext{"good"}));
}

// hostile input

// Reads `bytes`; only a decode or an Error is acceptable (a crash ends the test run).
void readOrError(const FormatReader& r, std::span<const std::uint8_t> bytes, const std::string& what) {
    try {
        (void)r.pageCount(bytes, ReadContext{what});
        (void)r.read(bytes, ReadContext{what});
    } catch (const Error&) {
    } catch (const std::exception& e) {
        ADD_FAILURE() << what << ": threw " << e.what() << " instead of an Error";
    }
}

// Every cut of the file, and every header field inflated to huge values.
void hammer(const FormatReader& r, const std::vector<std::uint8_t>& good, std::size_t headerBytes,
            const std::string& name) {
    for (std::size_t n = 0; n < good.size(); ++n)
        readOrError(r, std::span(good).first(n), name + " cut at " + std::to_string(n));
    const std::uint32_t huge[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x00010000u};
    for (std::size_t at = 0; at + 4 <= std::min(good.size(), headerBytes); at += 2)
        for (const std::uint32_t v : huge) {
            auto bad = good;
            for (int k = 0; k < 4; ++k) bad[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
            readOrError(r, bad, name + " field at " + std::to_string(at));
        }
}

struct HostileCase {
    int code, bits;
};

class BmpHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(BmpHostile, TruncatedAndCorruptFilesFailCleanly) {
    TempDir dir;
    const std::string path = dir.file("x.bmp");
    Image src = testPicture(13, 6, GetParam().bits <= 8 ? 1 << GetParam().bits : 0);
    savePage(path, src, GetParam().code, GetParam().bits, 2);
    hammer(readerNamed("BMP"), readBytes(path), 14 + 64 + 16, path);
}

INSTANTIATE_TEST_SUITE_P(Files, BmpHostile,
                         ::testing::Values(HostileCase{84, 4}, HostileCase{84, 8}, HostileCase{6, 1},
                                           HostileCase{6, 16}, HostileCase{6, 32}, HostileCase{14, 8},
                                           HostileCase{74, 24}));

TEST(BmpHostile, HandBuiltLayoutsFailCleanly) {
    for (const DecodeCase& c : kDecodeCases) hammer(readerNamed("BMP"), makeBmp(c.layout), 14 + 124 + 16, c.name);
}

TEST(BmpHostile, HeaderSizesPastThePixelLimitAreRefusedBeforeAllocating) {
    const auto saved = pixelLimit();
    setPixelLimit(1000);
    DibLayout s = goodRgb24();
    s.width = 100;
    s.height = 11;
    s.pixels.assign(100 * 3 * 11 + 100, 0);
    EXPECT_THROW(readerNamed("BMP").read(makeBmp(s), ReadContext{"big"}), Error);
    setPixelLimit(saved);
}

// icons

// One bitmap icon image: 40-byte header over twice the height, colours, then the AND mask.
std::vector<std::uint8_t> iconBitmap(int w, int h, int bits, const std::vector<std::uint32_t>& palette,
                                     const std::vector<std::uint8_t>& xorRows,
                                     const std::vector<std::uint8_t>& andRows) {
    DibLayout s{40, w, 2 * h, bits, 0, {}, palette, 0, xorRows};
    auto b = makeBmp(s, false);
    b.insert(b.end(), andRows.begin(), andRows.end());
    return b;
}

std::vector<std::uint8_t> makeIco(const std::vector<std::vector<std::uint8_t>>& images) {
    ByteWriter w;
    w.u16le(0);
    w.u16le(1);
    w.u16le(static_cast<std::uint16_t>(images.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (const auto& img : images) {
        w.u8(img[4]);  // width and height from the bitmap header (which holds twice the height)
        w.u8(static_cast<std::uint8_t>(img[8] / 2));
        w.u8(0);
        w.u8(0);
        w.u16le(1);
        w.u16le(32);
        w.u32le(static_cast<std::uint32_t>(img.size()));
        w.u32le(offset);
        offset += static_cast<std::uint32_t>(img.size());
    }
    for (const auto& img : images) w.bytes(img);
    return w.take();
}

// 2 x 2 pictures: a 4-bit one with its top-right pixel masked out, a 32-bit one with its own alpha.
std::vector<std::uint8_t> sampleIcon() {
    const auto four = iconBitmap(2, 2, 4, kPal16, {0x12, 0, 0, 0, 0x34, 0, 0, 0}, {0x00, 0, 0, 0, 0x40, 0, 0, 0});
    const auto argb = iconBitmap(2, 2, 32, {}, {1, 2, 3, 0xFF, 4, 5, 6, 0x80, 7, 8, 9, 0, 10, 11, 12, 0x40},
                                 {0xC0, 0, 0, 0, 0xC0, 0, 0, 0});
    return makeIco({four, argb});
}

TEST(Ico, BitmapImagesBecomeRgbaPagesWithTheirMask) {
    const auto bytes = sampleIcon();
    keepFuzzSeed("fuzz_ico", "sample.ico", bytes);
    EXPECT_EQ(readerNamed("ICO").sniff(bytes), Sniff::Strong);
    EXPECT_EQ(readerNamed("ICO").pageCount(bytes, ReadContext{"ico"}), 2);
    const Document doc = readerNamed("ICO").read(bytes, ReadContext{"ico"});
    ASSERT_EQ(doc.pages.size(), 2u);
    // Same size: the 32-bit entry comes first.
    EXPECT_EQ(doc.pages[1].format(), PixelFormat::Rgba32);
    const auto p = [](int i) { return 0xFF000000u | kPal16[static_cast<std::size_t>(i)]; };
    EXPECT_EQ(colours(doc.pages[1]), (std::vector<std::uint32_t>{p(3), kPal16[4], p(1), p(2)}));
    // Own alpha wins over the AND mask that would hide everything.
    EXPECT_EQ(colours(doc.pages[0]), (std::vector<std::uint32_t>{0x00090807, 0x400C0B0A, 0xFF030201, 0x80060504}));

    TempDir dir;
    writeBytes(dir.file("x.ico"), bytes);
    const auto im = imageMagickPagesSorted(dir.file("x.ico"));
    ASSERT_TRUE(im);
    EXPECT_TRUE(*im == pagesSorted(doc));
}

TEST(Ico, ThirtyTwoBitsWithoutAlphaUsesTheMask) {
    const auto argb = iconBitmap(2, 1, 32, {}, {1, 2, 3, 0, 4, 5, 6, 0}, {0x40, 0, 0, 0});
    const Document doc = readerNamed("ICO").read(makeIco({argb}), ReadContext{"ico"});
    EXPECT_EQ(colours(doc.pages.at(0)), (std::vector<std::uint32_t>{0xFF030201, 0x00060504}));
}

TEST(Ico, BitFieldsWithoutAlphaMaskUseTheMask) {
    // Height 2 in the bitmap header: one colour row, then one mask row.
    DibLayout s{40, 2, 2, 32, 3, {0xFF0000, 0xFF00, 0xFF}, {}, 0, {1, 2, 3, 9, 4, 5, 6, 9}};
    auto b = makeBmp(s, false);
    const std::uint8_t mask[] = {0x80, 0, 0, 0};
    b.insert(b.end(), mask, mask + 4);
    const Document doc = readerNamed("ICO").read(makeIco({b}), ReadContext{"ico"});
    EXPECT_EQ(colours(doc.pages.at(0)), (std::vector<std::uint32_t>{0x00030201, 0xFF060504}));
}

TEST(Ico, MissingMaskIsAnError) {
    const auto rgb = iconBitmap(2, 2, 24, {}, std::vector<std::uint8_t>(16, 9), {});
    EXPECT_THROW(readerNamed("ICO").read(makeIco({rgb}), ReadContext{"ico"}), Error);
}

TEST(Ico, ImageMagickIconsDecodeAlike) {
    TempDir dir;
    const std::string path = dir.file("im.ico");
    ASSERT_TRUE(
        run("convert -size 16x12 gradient:red-blue \\( -size 5x7 xc:'rgba(0,128,0,0.5)' \\) "
            "\\( -size 9x3 plasma:fractal -colors 12 \\) " +
            path));
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 3u);
    EXPECT_EQ(doc.pages[1].width(), 5);
    const auto im = imageMagickPagesSorted(path);
    ASSERT_TRUE(im);
    EXPECT_TRUE(*im == pagesSorted(doc));
}

TEST(Ico, PngImagesNeedThePngReader) {
    TempDir dir;
    const std::string path = dir.file("big.ico");
    ASSERT_TRUE(run("convert -size 256x256 xc:orange " + path));
    bool havePng = false;
    havePng = Registry::instance().reader("PNG") != nullptr;
    if (havePng) {
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_EQ(pixelRgb(doc.pages[0], 100, 100), (Rgb{255, 165, 0}));
    } else {
        try {
            loadDocument(path);
            ADD_FAILURE() << "decoded a PNG icon without a PNG reader";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("PNG"), std::string::npos) << e.what();
        }
    }
}

struct IconOrderCase {
    std::vector<std::pair<int, int>> entries;  // side and bits per pixel, in directory order
    std::vector<std::pair<int, int>> pages;    // side and bits per pixel the pages come in
};

class IcoPageOrder : public ::testing::TestWithParam<IconOrderCase> {};

TEST_P(IcoPageOrder, LargestThenDeepestFirst) {
    // Each entry's pixel bytes hold its depth, so entries of one side decode differently.
    const auto& entries = GetParam().entries;
    std::vector<std::vector<std::uint8_t>> images;
    for (const auto& [side, bits] : entries) {
        const std::size_t rowBytes = (static_cast<std::size_t>(side * bits + 31) / 32) * 4;
        const std::size_t maskBytes = (static_cast<std::size_t>(side + 31) / 32) * 4;
        std::vector<std::uint32_t> palette;
        for (int i = 0; bits <= 8 && i < (1 << bits); ++i) palette.push_back(kPal16[static_cast<std::size_t>(i % 16)]);
        images.push_back(iconBitmap(side, side, bits, palette,
                                    std::vector<std::uint8_t>(rowBytes * side, static_cast<std::uint8_t>(bits)),
                                    std::vector<std::uint8_t>(maskBytes * side, 0)));
    }
    const Document doc = readerNamed("ICO").read(makeIco(images), ReadContext{"ico"});
    ASSERT_EQ(doc.pages.size(), GetParam().pages.size());
    rastel::test::expectPagesAsRead("ICO", makeIco(images));
    for (std::size_t i = 0; i < doc.pages.size(); ++i) {
        const auto at = std::find(entries.begin(), entries.end(), GetParam().pages[i]) - entries.begin();
        const Image alone =
            readerNamed("ICO").read(makeIco({images[static_cast<std::size_t>(at)]}), ReadContext{"ico"}).pages.at(0);
        EXPECT_EQ(colours(doc.pages[i]), colours(alone)) << "page " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, IcoPageOrder,
                         ::testing::Values(IconOrderCase{{{16, 4}, {32, 4}, {48, 8}}, {{48, 8}, {32, 4}, {16, 4}}},
                                           IconOrderCase{{{16, 4}, {16, 24}}, {{16, 24}, {16, 4}}},
                                           IconOrderCase{{{16, 32}, {16, 8}}, {{16, 32}, {16, 8}}},
                                           IconOrderCase{{{8, 32}, {32, 1}, {16, 8}, {32, 8}},
                                                         {{32, 8}, {32, 1}, {16, 8}, {8, 32}}}));

TEST(Ico, TruncatedAndCorruptIconsFailCleanly) { hammer(readerNamed("ICO"), sampleIcon(), 6 + 32 + 44, "icon"); }

// sniffing

struct SniffCase {
    const char* reader;
    std::vector<std::uint8_t> head;
    Sniff expect;
};

class BmpSniff : public ::testing::TestWithParam<SniffCase> {};

TEST_P(BmpSniff, Recognises) { EXPECT_EQ(readerNamed(GetParam().reader).sniff(GetParam().head), GetParam().expect); }

std::vector<std::uint8_t> head(std::initializer_list<int> bytes, std::size_t size = 32) {
    std::vector<std::uint8_t> v(size, 0);
    std::size_t i = 0;
    for (const int b : bytes) v[i++] = static_cast<std::uint8_t>(b);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Heads, BmpSniff,
    ::testing::Values(
        SniffCase{"BMP", head({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40}), Sniff::Strong},
        SniffCase{"BMP", head({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0, 12}), Sniff::Strong},
        SniffCase{"BMP", head({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 99}), Sniff::Weak},
        SniffCase{"BMP", head({'B', 'A'}), Sniff::No}, SniffCase{"BMP", head({}, 0), Sniff::No},
        SniffCase{"BMP", head({40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24}), Sniff::Weak},
        SniffCase{"BMP", head({'G', 'I', 'F', '8'}), Sniff::No},
        SniffCase{"ICO", head({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 1, 0, 0, 22, 0, 0, 0}), Sniff::Strong},
        SniffCase{"ICO", head({0, 0, 1, 0, 0, 0}), Sniff::No}, SniffCase{"ICO", head({0, 0, 3, 0, 1, 0}), Sniff::No},
        SniffCase{"ICO", head({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 1, 0, 0, 2, 0, 0, 0}), Sniff::Weak},
        SniffCase{"ICO", head({0, 0, 1, 0, 1, 0}, 10), Sniff::No}));

// files other programs write

struct ForeignCase {
    const char* name;
    const char* command;  // writes the file named by $F
    PixelFormat format;
    int nibbles = 0;  // ImageMagick leaves 4-bit channels unscaled (0xF -> 0xF0); we widen them (0xF -> 0xFF)
};

class BmpForeign : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(BmpForeign, DecodesLikeImageMagick) {
    const ForeignCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("f.bmp");
    ASSERT_TRUE(run("export F=" + path + "; " + c.command)) << c.command;
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].format(), c.format);
    EXPECT_EQ(doc.pages[0].width(), 37);
    EXPECT_EQ(doc.pages[0].height(), 11);
    const auto im = run("convert " + path + " -depth 8 rgba:-");
    ASSERT_TRUE(im);
    std::string theirs = *im;
    if (c.nibbles)
        for (char& ch : theirs)
            ch = static_cast<char>(static_cast<std::uint8_t>(ch) | (static_cast<std::uint8_t>(ch) >> 4));
    EXPECT_EQ(firstDifference(clearTransparent(theirs), rgbaBytes(doc)), -1) << c.command;
}

#define IM "convert -size 37x11 gradient:red-blue "
#define FADE " -alpha set -channel A -fx i/w +channel "
#define PIL "/usr/bin/python3 -c \"import os; from PIL import Image; im = Image.linear_gradient('L').resize((37, 11)); "

INSTANTIATE_TEST_SUITE_P(
    Writers, BmpForeign,
    ::testing::Values(
        ForeignCase{"im-rle8", IM "-colors 16 -type palette -compress RLE BMP3:$F", PixelFormat::Indexed},
        ForeignCase{"im-os2-24", IM "BMP2:$F", PixelFormat::Rgb24},
        ForeignCase{"im-os2-4", IM "-colors 10 -type palette BMP2:$F", PixelFormat::Indexed},
        ForeignCase{"im-bilevel", IM "-type bilevel BMP3:$F", PixelFormat::Indexed},
        ForeignCase{"im-v5-argb32", IM FADE "BMP:$F", PixelFormat::Rgba32},
        ForeignCase{"im-v5-rgb565", IM "-define bmp:subtype=RGB565 BMP:$F", PixelFormat::Rgb24},
        ForeignCase{"im-v5-argb4444", IM FADE "-define bmp:subtype=ARGB4444 BMP:$F", PixelFormat::Rgba32, 4},
        ForeignCase{"im-v5-rgb555", IM "-define bmp:subtype=RGB555 BMP:$F", PixelFormat::Rgb24},
        ForeignCase{"pil-1", PIL "im.convert('1').save(os.environ['F'], 'BMP')\"", PixelFormat::Indexed},
        ForeignCase{"pil-L", PIL "im.save(os.environ['F'], 'BMP')\"", PixelFormat::Indexed},
        ForeignCase{"pil-P",
                    PIL
                    "im.convert('RGB').convert('P', palette=Image.ADAPTIVE, colors=7).save(os.environ['F'], 'BMP')\"",
                    PixelFormat::Indexed},
        ForeignCase{"pil-RGB",
                    PIL "Image.merge('RGB', (im, im.transpose(0), im.transpose(1))).save(os.environ['F'], 'BMP')\"",
                    PixelFormat::Rgb24},
        ForeignCase{"pil-RGBA",
                    PIL
                    "Image.merge('RGBA', (im, im, im.transpose(1), im.transpose(0))).save(os.environ['F'], 'BMP')\"",
                    PixelFormat::Rgba32}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace(n.begin(), n.end(), '-', '_');
        return n;
    });
