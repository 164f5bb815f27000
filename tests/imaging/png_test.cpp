#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "tests/support/prelude.h"

namespace {

// A picture with exactly `colours` distinct colours (at most 256) or, for 0,
// a smooth field with thousands of them.
Image testPicture(int w, int h, int colours) {
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            if (colours == 0) {
                p[0] = static_cast<std::uint8_t>(x * 7 + y);
                p[1] = static_cast<std::uint8_t>(y * 5);
                p[2] = static_cast<std::uint8_t>(x * y);
            } else {
                const int c = (x + y * w) % colours;
                p[0] = static_cast<std::uint8_t>(c * 37);
                p[1] = static_cast<std::uint8_t>(255 - c);
                p[2] = static_cast<std::uint8_t>(c * 11 + 3);
            }
        }
    return img;
}

// Offset of the type field of the first chunk named `type`.
std::size_t chunkAt(const std::vector<std::uint8_t>& png, const char* type) {
    std::size_t pos = 8;
    while (pos + 8 <= png.size()) {
        const std::size_t len =
            (std::size_t(png[pos]) << 24) | (png[pos + 1] << 16) | (png[pos + 2] << 8) | png[pos + 3];
        if (std::equal(type, type + 4, png.begin() + static_cast<std::ptrdiff_t>(pos) + 4)) return pos + 4;
        pos += 12 + len;
    }
    return 0;
}

// Entries of the PLTE chunk of a PNG file, -1 when there is none.
int plteEntries(const std::vector<std::uint8_t>& png) {
    const std::size_t at = chunkAt(png, "PLTE");
    if (at == 0) return -1;
    return static_cast<int>(((png[at - 4] << 24) | (png[at - 3] << 16) | (png[at - 2] << 8) | png[at - 1]) / 3);
}

// ImageMagick's reading of a file as 8-bit RGBA: asked for 16-bit PAM (its
// own 8-bit output rounds some 16-bit samples down) and rounded here.
struct Rgba8 {
    int width = 0, height = 0;
    std::vector<std::uint8_t> px;  // R, G, B, A
};

Rgba8 imageMagickRgba(const std::string& path) {
    Rgba8 out;
    int status = 0;
    const std::string pam = runCommand("convert '" + path + "[0]' -depth 16 pam:- 2>/dev/null", &status);
    const std::size_t endHdr = pam.find("ENDHDR\n");
    if (status != 0 || endHdr == std::string::npos) return out;
    int depth = 0, maxval = 0;
    std::sscanf(pam.c_str() + pam.find("WIDTH"), "WIDTH %d", &out.width);
    std::sscanf(pam.c_str() + pam.find("HEIGHT"), "HEIGHT %d", &out.height);
    std::sscanf(pam.c_str() + pam.find("DEPTH"), "DEPTH %d", &depth);
    std::sscanf(pam.c_str() + pam.find("MAXVAL"), "MAXVAL %d", &maxval);
    const std::size_t n = static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height);
    const auto* d = reinterpret_cast<const std::uint8_t*>(pam.data()) + endHdr + 7;
    if (maxval != 65535 || depth < 1 || depth > 4 || pam.size() - (endHdr + 7) < n * depth * 2) return Rgba8{};
    auto sample = [&](std::size_t i, int c) {
        const unsigned v = (unsigned(d[2 * (i * depth + c)]) << 8) | d[2 * (i * depth + c) + 1];
        return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u);
    };
    out.px.resize(4 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const bool gray = depth <= 2;
        out.px[4 * i] = sample(i, 0);
        out.px[4 * i + 1] = sample(i, gray ? 0 : 1);
        out.px[4 * i + 2] = sample(i, gray ? 0 : 2);
        out.px[4 * i + 3] = (depth == 2 || depth == 4) ? sample(i, depth - 1) : 255;
    }
    return out;
}

// Compares our pixels with ImageMagick's. With `alpha` our RGBA must match;
// without, pixels ImageMagick calls fully transparent are skipped (their colour
// is nobody's business and ImageMagick rewrites it). Returns "" when equal,
// else the first difference.
std::string diffAgainst(const Image& img, const Rgba8& expect, bool alpha) {
    if (expect.width != img.width() || expect.height != img.height())
        return "size " + std::to_string(expect.width) + "x" + std::to_string(expect.height);
    const Image rgba = toRgba32(img);
    const std::size_t n = static_cast<std::size_t>(rgba.width()) * static_cast<std::size_t>(rgba.height());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = expect.px.data() + 4 * i;
        const std::uint8_t* o = rgba.data() + 4 * i;
        if (!alpha && e[3] == 0) continue;
        const int channels = alpha ? 4 : 3;
        if (!std::equal(o, o + channels, e)) {
            std::string msg = "pixel " + std::to_string(i) + ": ours";
            for (int c = 0; c < channels; ++c) msg += " " + std::to_string(o[c]);
            msg += " expected";
            for (int c = 0; c < channels; ++c) msg += " " + std::to_string(e[c]);
            return msg;
        }
    }
    return "";
}

struct DepthCase {
    int bits;
    int colours;         // distinct colours in the source picture (0: thousands)
    int ihdrDepth;       // bit depth an independent decoder must see
    int ihdrColourType;  // 3 palette, 2 RGB
    const char* pilMode;
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.bits << " bits"; }

class PngDepth : public ::testing::TestWithParam<DepthCase> {};

TEST_P(PngDepth, WritesWhatIndependentDecodersReadAndRoundTripsExactly) {
    const DepthCase c = GetParam();
    TempDir dir;
    const std::string path = dir / "out.png";
    const Image src = testPicture(45, 19, c.colours);
    savePage(path, src, 75, c.bits, 2);

    const std::string id = runCommand(
        "identify -format '%w %h %[png:IHDR.bit-depth-orig] %[png:IHDR.color-type-orig]' '" + path + "' 2>&1");
    EXPECT_EQ(id, "45 19 " + std::to_string(c.ihdrDepth) + " " + std::to_string(c.ihdrColourType));
    const std::string pil = runCommand("/usr/bin/python3 -c \"from PIL import Image; im=Image.open('" + path +
                                       "'); im.load(); print(im.mode, im.size[0], im.size[1])\" 2>&1");
    EXPECT_EQ(pil, std::string(c.pilMode) + " 45 19\n");
    EXPECT_NE(runCommand("pngcheck -q '" + path + "' 2>&1; echo rc=$?").find("rc=0"), std::string::npos);

    const auto bytes = readBytes(path);
    keepFuzzSeed("fuzz_png", "depth" + std::to_string(c.bits) + ".png", bytes);
    const int expectEntries = c.ihdrColourType == 3 ? c.colours : -1;
    EXPECT_EQ(plteEntries(bytes), expectEntries) << "palette sized to the colours used";

    const Document back = loadDocument(path);
    ASSERT_EQ(back.pages.size(), 1u);
    const Image& img = back.pages[0];
    EXPECT_EQ(img.format(), c.bits == 24 ? PixelFormat::Rgb24 : PixelFormat::Indexed);
    if (c.bits != 24) {
        EXPECT_EQ(img.indexBits(), c.bits);
    }
    EXPECT_EQ(rgb24Bytes(img), rgb24Bytes(src));
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, PngDepth,
                         ::testing::Values(DepthCase{1, 2, 1, 3, "P"}, DepthCase{4, 13, 4, 3, "P"},
                                           DepthCase{8, 200, 8, 3, "P"}, DepthCase{24, 0, 8, 2, "RGB"}));

TEST(PngWriter, ResolutionRoundTripsAndIsOmittedWhenUnknown) {
    TempDir dir;
    struct Case {
        double dpi;
        const char* identify;
    };
    const Case cases[] = {{300, "300 300"}, {72, "72 72"}, {96, "96 96"}, {0, ""}};
    for (const Case& c : cases) {
        Image img = testPicture(8, 8, 0);
        img.xDpi = img.yDpi = c.dpi;
        const std::string path = dir / "dpi.png";
        savePage(path, img, 75, 24, 2);
        const bool hasPhys = chunkAt(readBytes(path), "pHYs") != 0;
        EXPECT_EQ(hasPhys, c.dpi > 0) << c.dpi;
        if (c.dpi > 0) {
            EXPECT_EQ(
                runCommand(
                    "identify -units PixelsPerInch -format '%[fx:round(resolution.x)] %[fx:round(resolution.y)]' '" +
                    path + "'"),
                c.identify);
        }
        const Image back = loadDocument(path).pages.at(0);
        EXPECT_DOUBLE_EQ(back.xDpi, c.dpi);
        EXPECT_DOUBLE_EQ(back.yDpi, c.dpi);
    }
}

TEST(PngWriter, RefusesDepthsItDoesNotWrite) {
    const FormatWriter* w = Registry::instance().findWriter(75);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->depths(75), (std::vector<int>{1, 4, 8, 24}));
    const Image img = testPicture(4, 4, 2);
    for (int bits : {2, 16, 32}) EXPECT_THROW(w->write(img, WriteOptions{75, bits, 2, "x.png"}), Error) << bits;
}

// Files made by other programs decode to the pixels ImageMagick sees.
struct ForeignCase {
    const char* name;
    const char* make;  // shell command: {src} is an 8-bit PPM, {dst} the PNG to make
    PixelFormat format;
    int indexBits;
    bool alpha;  // compare RGBA rather than RGB
};

void PrintTo(const ForeignCase& c, std::ostream* os) { *os << c.name; }

class PngForeign : public ::testing::TestWithParam<ForeignCase> {};

std::string fill(std::string cmd, const std::string& src, const std::string& dst) {
    for (auto [key, val] : {std::pair<std::string, std::string>{"{src}", src}, {"{dst}", dst}})
        for (std::size_t p; (p = cmd.find(key)) != std::string::npos;) cmd.replace(p, key.size(), val);
    return cmd;
}

TEST_P(PngForeign, DecodesLikeImageMagick) {
    const ForeignCase c = GetParam();
    TempDir dir;
    const std::string src = dir / "src.ppm";
    const std::string dst = dir / "in.png";
    ASSERT_EQ(std::system(("convert -size 37x23 gradient:red-blue -fill green -draw 'circle 10,10 15,15' -depth 8 '" +
                           src + "'")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(fill(c.make, src, dst).c_str()), 0) << c.name;
    const Image img = loadDocument(dst).pages.at(0);
    std::string seed = c.name;
    std::replace(seed.begin(), seed.end(), ' ', '_');
    keepFuzzSeed("fuzz_png", seed + ".png", readBytes(dst));
    EXPECT_EQ(img.format(), c.format) << c.name;
    if (c.format == PixelFormat::Indexed) {
        EXPECT_EQ(img.indexBits(), c.indexBits) << c.name;
    }
    EXPECT_EQ(diffAgainst(img, imageMagickRgba(dst), c.alpha), "") << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    OtherWriters, PngForeign,
    ::testing::Values(
        ForeignCase{"interlaced", "convert {src} -interlace PNG -define png:color-type=2 {dst}", PixelFormat::Rgb24, 8,
                    false},
        ForeignCase{"interlaced palette", "convert {src} -colors 16 -interlace PNG -define png:color-type=3 {dst}",
                    PixelFormat::Indexed, 4, false},
        ForeignCase{"rgb 16", "convert {src} -depth 16 -define png:color-type=2 {dst}", PixelFormat::Rgb24, 8, false},
        ForeignCase{"rgba 16",
                    "convert {src} -alpha set -channel A -fx 'i/w' +channel -depth 16 -define png:color-type=6 {dst}",
                    PixelFormat::Rgba32, 8, true},
        ForeignCase{"gray alpha",
                    "convert {src} -colorspace gray -alpha set -channel A -fx 'j/h' +channel -define png:color-type=4 "
                    "-define png:bit-depth=8 {dst}",
                    PixelFormat::Rgba32, 8, true},
        ForeignCase{"gray 16", "convert {src} -colorspace gray -depth 16 -define png:color-type=0 {dst}",
                    PixelFormat::Gray8, 8, false},
        ForeignCase{"gray 8", "convert {src} -colorspace gray -define png:color-type=0 -define png:bit-depth=8 {dst}",
                    PixelFormat::Gray8, 8, false},
        ForeignCase{"gray 4", "convert {src} -colorspace gray -define png:color-type=0 -define png:bit-depth=4 {dst}",
                    PixelFormat::Indexed, 4, false},
        ForeignCase{"gray 2", "convert {src} -colorspace gray -define png:color-type=0 -define png:bit-depth=2 {dst}",
                    PixelFormat::Indexed, 2, false},
        ForeignCase{"gray 1", "convert {src} -colorspace gray -define png:color-type=0 -define png:bit-depth=1 {dst}",
                    PixelFormat::Indexed, 1, false},
        ForeignCase{"palette tRNS",
                    "/usr/bin/python3 -c \"from PIL import Image; Image.open('{src}').convert('P', "
                    "palette=Image.ADAPTIVE, colors=8).save('{dst}', transparency=2)\"",
                    PixelFormat::Rgba32, 8, true},
        ForeignCase{"palette tRNS all opaque",
                    "/usr/bin/python3 -c \"from PIL import Image; Image.open('{src}').convert('P', "
                    "palette=Image.ADAPTIVE, colors=8).save('{dst}', transparency=bytes([255, 255]))\"",
                    PixelFormat::Indexed, 8, false},
        ForeignCase{"gray tRNS 16",
                    "/usr/bin/python3 -c \"from PIL import Image; im = "
                    "Image.open('{src}').convert('L').convert('I').point(lambda v: v * 257); im.save('{dst}', "
                    "transparency=im.getpixel((0, 0)))\"",
                    PixelFormat::Rgba32, 8, true},
        ForeignCase{"gray tRNS 2",
                    "convert {src} -colorspace gray -depth 2 -transparent black -define png:color-type=0 -define "
                    "png:bit-depth=2 {dst}",
                    PixelFormat::Rgba32, 8, true},
        ForeignCase{"rgb tRNS", "convert {src} -transparent green -define png:color-type=2 {dst}", PixelFormat::Rgba32,
                    8, true}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace(n.begin(), n.end(), ' ', '_');
        return n;
    });

// A PNG with transparent palette entries: a 24-bit BMP shows it on white, a
// 32-bit TGA keeps its alpha, as an independent decoder reads them.
TEST(PngTransparency, ShowsOnWhiteWithoutAlphaAndKeepsAlphaAt32Bits) {
    TempDir dir;
    const std::string src = dir / "clear.png";
    ASSERT_EQ(std::system(("/usr/bin/python3 -c \"from PIL import Image; im = Image.new('P', (3, 1)); "
                           "im.putpalette([200, 100, 0, 10, 20, 30, 0, 0, 255]); im.putdata([0, 1, 2]); "
                           "im.save('" +
                           src + "', transparency=bytes([0, 128]))\"")
                              .c_str()),
              0);
    const Image page = loadDocument(src).pages.at(0);
    ASSERT_EQ(page.format(), PixelFormat::Rgba32);
    struct Case {
        const char* file;
        int code, bits;
        std::uint8_t rgba[12];
    };
    const Case cases[] = {
        {"out.bmp", 6, 24, {255, 255, 255, 255, 132, 137, 142, 255, 0, 0, 255, 255}},
        {"out.tga", 4, 32, {200, 100, 0, 0, 10, 20, 30, 128, 0, 0, 255, 255}},
    };
    for (const Case& c : cases) {
        const std::string path = dir / c.file;
        savePage(path, page, c.code, c.bits, 2);
        const Image back = rastel::test::magickRgba(path);
        ASSERT_EQ(back.byteSize(), 12u) << c.file;
        EXPECT_EQ(std::vector<std::uint8_t>(back.data(), back.data() + 12),
                  std::vector<std::uint8_t>(c.rgba, c.rgba + 12))
            << c.file;
    }
}

TEST(PngReader, SniffsTheSignatureOnly) {
    struct Case {
        std::vector<std::uint8_t> head;
        Sniff expect;
    };
    const Case cases[] = {
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0}, Sniff::Strong},
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A}, Sniff::No},
        {{0x89, 'P', 'N', 'G', '\n', '\n', 0x1A, '\n'}, Sniff::No},
        {{'G', 'I', 'F', '8', '9', 'a', 0, 0}, Sniff::No},
        {{}, Sniff::No},
    };
    for (const Case& c : cases) EXPECT_EQ(readerNamed("PNG").sniff(c.head), c.expect);
}

// Builds a PNG from raw chunks so the header can say what a writer never would.
std::vector<std::uint8_t> chunkFile(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& chunks) {
    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const auto& [type, body] : chunks) {
        const auto n = static_cast<std::uint32_t>(body.size());
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(n >> s));
        const std::size_t start = out.size();
        out.insert(out.end(), type.begin(), type.end());
        out.insert(out.end(), body.begin(), body.end());
        const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(crc >> s));
    }
    return out;
}

std::vector<std::uint8_t> ihdr(std::uint32_t w, std::uint32_t h, int depth, int type) {
    std::vector<std::uint8_t> b;
    for (std::uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    b.insert(b.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(type), 0, 0, 0});
    return b;
}

std::vector<std::uint8_t> zlibRows(const std::vector<std::uint8_t>& raw) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> z(n);
    compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(n);
    return z;
}

TEST(PngReader, RefusesPicturesPastThePixelLimitBeforeDecoding) {
    const auto file = chunkFile({{"IHDR", ihdr(100000, 100000, 8, 2)}, {"IDAT", zlibRows({0, 1, 2, 3})}, {"IEND", {}}});
    try {
        decode("PNG", file);
        FAIL() << "accepted a 10^10 pixel header";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("PNG"), std::string::npos) << e.what();
    }
}

long maxRssKb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

TEST(PngReader, ChunksClaimingAGigabyteCostNoMemory) {
    for (const char* type : {"iTXt", "sPLT", "zTXt", "tEXt", "iCCP", "eXIf", "juNK"}) {
        // IHDR, then a chunk header announcing 2^30 - 1 bytes and a few bytes of it.
        auto file = chunkFile({{"IHDR", ihdr(4, 4, 8, 0)}});
        for (std::uint8_t b : {0x3F, 0xFF, 0xFF, 0xFF}) file.push_back(b);
        file.insert(file.end(), type, type + 4);
        file.insert(file.end(), 16, 'x');
        const long before = maxRssKb();
        EXPECT_THROW(decode("PNG", file), Error) << type;
        EXPECT_LT(maxRssKb() - before, 64 * 1024) << type << " chunk made the decoder allocate its claimed size";
    }
}

TEST(PngReader, ShortPaletteShowsBlackForIndicesPastIt) {
    // 2x1, 8-bit palette of one entry; second pixel uses index 5.
    const auto file =
        chunkFile({{"IHDR", ihdr(2, 1, 8, 3)}, {"PLTE", {10, 20, 30}}, {"IDAT", zlibRows({0, 0, 5})}, {"IEND", {}}});
    const Image img = decode("PNG", file).pages.at(0);
    ASSERT_GE(img.palette().size(), 6u);
    EXPECT_EQ(pixelRgb(img, 0, 0), (Rgb{10, 20, 30}));
    EXPECT_EQ(pixelRgb(img, 1, 0), (Rgb{0, 0, 0}));
}

TEST(PngReader, ChecksumsAndTruncationInsideTheImageAreErrors) {
    const Image src = testPicture(30, 30, 0);
    const FormatWriter* w = Registry::instance().findWriter(75);
    const auto good = w->write(src, WriteOptions{75, 24, 2, "x.png"});
    ASSERT_NO_THROW(decode("PNG", good));
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> mutate;
        bool throws;
    };
    const Case cases[] = {
        {"IDAT byte flipped", [](auto& b) { b[chunkAt(b, "IDAT") + 10] ^= 0x55; }, true},
        {"IHDR width changed", [](auto& b) { b[chunkAt(b, "IHDR") + 7] ^= 1; }, true},
        {"ancillary chunk corrupted",
         [&](auto& b) {
             auto with = chunkFile(
                 {{"IHDR", ihdr(1, 1, 8, 0)}, {"tEXt", {'a', 0, 'b'}}, {"IDAT", zlibRows({0, 7})}, {"IEND", {}}});
             with[chunkAt(with, "tEXt") + 5] ^= 1;
             b = with;
         },
         true},
        {"cut inside IDAT", [](auto& b) { b.resize(chunkAt(b, "IDAT") + 20); }, true},
        {"IEND missing", [](auto& b) { b.resize(b.size() - 12); }, false},
        {"IEND cut short", [](auto& b) { b.resize(b.size() - 3); }, false},
    };
    for (const Case& c : cases) {
        auto bytes = good;
        c.mutate(bytes);
        if (c.throws) {
            EXPECT_THROW(decode("PNG", bytes), Error) << c.what;
        } else {
            Image img;
            ASSERT_NO_THROW(img = decode("PNG", bytes).pages.at(0)) << c.what;
            EXPECT_EQ(rgb24Bytes(img), rgb24Bytes(src)) << c.what;
        }
    }
}

TEST(PngReader, DamagedFilesFailCleanlyAndSilently) {
    std::vector<std::vector<std::uint8_t>> sources;
    const FormatWriter* w = Registry::instance().findWriter(75);
    for (int bits : {1, 8, 24})
        sources.push_back(w->write(testPicture(23, 17, bits == 24 ? 0 : 2), WriteOptions{75, bits, 2, "x"}));
    std::mt19937 rng(1234);
    int decoded = 0, refused = 0;
    const std::string printed = capturedStderr([&] {
        for (const auto& good : sources) {
            for (std::size_t cut = 0; cut < good.size(); cut += 3) {
                std::vector<std::uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
                try {
                    decode("PNG", b);
                    ++decoded;
                } catch (const Error&) {
                    ++refused;
                }
            }
            for (int i = 0; i < 300; ++i) {
                auto b = good;
                for (int k = 0; k < 3; ++k) b[8 + rng() % (b.size() - 8)] = static_cast<std::uint8_t>(rng());
                try {
                    decode("PNG", b);
                    ++decoded;
                } catch (const Error&) {
                    ++refused;
                }
            }
        }
    });
    EXPECT_EQ(printed, "");
    EXPECT_GT(refused, 0);
}

// The file without its colour-space chunks, so that ImageMagick hands back the
// stored samples instead of gamma-corrected ones (it converts linear files).
std::vector<std::uint8_t> withoutColourSpace(const std::vector<std::uint8_t>& png) {
    std::vector<std::uint8_t> out(png.begin(), png.begin() + std::min<std::size_t>(8, png.size()));
    std::size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const std::size_t len =
            (std::size_t(png[pos]) << 24) | (png[pos + 1] << 16) | (png[pos + 2] << 8) | png[pos + 3];
        const std::size_t end = std::min(png.size(), pos + 12 + len);
        const std::string type(png.begin() + static_cast<std::ptrdiff_t>(pos) + 4,
                               png.begin() + static_cast<std::ptrdiff_t>(pos) + 8);
        if (type != "gAMA" && type != "cHRM" && type != "iCCP" && type != "sRGB")
            out.insert(out.end(), png.begin() + static_cast<std::ptrdiff_t>(pos),
                       png.begin() + static_cast<std::ptrdiff_t>(end));
        pos = end;
    }
    out.insert(out.end(), png.begin() + static_cast<std::ptrdiff_t>(std::min(pos, png.size())), png.end());
    return out;
}

// Every good sample decodes to the pixels ImageMagick sees; what we refuse,
// ImageMagick must refuse or complain about too.
TEST(PngCorpus, DecodesLikeImageMagick) {
    const fs::path dir = rastel::test::corpusDir() / "png";
    if (!fs::exists(dir)) RASTEL_MISSING("no sample folder");
    TempDir tmp;
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string original = entry.path().string();
        const auto bytes = readBytes(original);
        const std::string path = tmp / "plain.png";
        writeBytes(path, withoutColourSpace(bytes));
        int status = 0;
        const std::string warnings = runCommand("convert '" + path + "[0]' -depth 8 rgb:- 2>&1 >/dev/null", &status);
        const bool imClean = status == 0 && warnings.empty();
        Document doc;
        try {
            doc = decode("PNG", bytes);
        } catch (const Error& e) {
            EXPECT_FALSE(imClean) << original << ": we refuse (" << e.what() << ") a file ImageMagick reads cleanly";
            continue;
        }
        if (!imClean) continue;
        EXPECT_EQ(diffAgainst(doc.pages.at(0), imageMagickRgba(path), false), "") << original;
        ++compared;
    }
    EXPECT_GT(compared, 50);
}

}  // namespace
