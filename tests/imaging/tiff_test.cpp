#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <tiffio.h>

#include "imaging/codecs/tiff_handle.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/page_checks.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
namespace fs = std::filesystem;

namespace {

using rastel::test::keepFuzzSeed;
using rastel::test::maxRgbDiff;
using rastel::test::psnr;
using rastel::test::readBytes;
using rastel::test::readerNamed;
using rastel::test::shellQuote;
using rastel::test::StderrCapture;
using rastel::test::writePnm;

using TempDir = rastel::test::TempDir;

// Runs a shell command (its diagnostics dropped) and returns its standard output.
std::string run(const std::string& cmd, int* status = nullptr) {
    return rastel::test::runCommand(cmd + " 2>/dev/null", status);
}

// RGBA bytes of one page as ImageMagick decodes it, upright; empty when it
// cannot. ImageMagick turns CMYK into RGB by the plain formula, so a CMYK file
// goes through LittleCMS's tificc first, with its own profile or else the
// standard CMYK one, as the reader converts it.
std::vector<std::uint8_t> magickRgba(const std::string& path, int page = 0) {
    int status = 0;
    const std::string at = "[" + std::to_string(page) + "]";
    TempDir dir;
    std::string source = path;
    if (run("identify -format '%[colorspace]' " + shellQuote(path + at)) == "CMYK") {
        // Without an embedded profile tificc would build an RGB one from the
        // white point and primaries ImageMagick writes: -n leaves those out.
        const std::string rgb = shellQuote(dir / "srgb.tif");
        run("tificc " + shellQuote(path) + " " + rgb +
                " || tificc -n -i/usr/share/color/icc/ghostscript/default_cmyk.icc " + shellQuote(path) + " " + rgb,
            &status);
        if (status == 0) source = dir / "srgb.tif";
    }
    std::string out = run("convert " + shellQuote(source + at) + " -auto-orient -depth 8 rgba:-", &status);
    if (status != 0) return {};
    return {out.begin(), out.end()};
}

// A colour picture: gradients, with a blue checkerboard unless `smooth`.
Image picture(int w, int h, bool smooth = false) {
    Image img = rastel::test::makePicture(rastel::test::Picture::Photo, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.row(y)[3 * x + 2] = smooth ? static_cast<std::uint8_t>((x + y) * 255 / std::max(1, w + h - 2))
                                           : static_cast<std::uint8_t>(((x / 8 + y / 8) % 2) ? 200 : 40);
    return img;
}

// At most `n` distinct, scattered colours.
Image fewColours(int w, int h, int n) {
    std::vector<Rgb> colours;
    std::mt19937 rng(static_cast<unsigned>(n));
    for (int i = 0; i < n; ++i)
        colours.push_back(
            Rgb{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())});
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = colours[static_cast<std::size_t>((x * 7 + y * 13 + x * y) % n)];
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
    return img;
}

// Black shapes on white, like a scanned page.
Image bilevel(int w, int h) {
    Image img(w, h, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{0, 0, 0}, Rgb{255, 255, 255}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool ink = ((x / 5) % 3 == 0 && (y / 3) % 4 != 0) || (x + y) % 17 == 0;
            img.row(y)[x] = ink ? 0 : 1;
        }
    return img;
}

Image withAlpha(const Image& src) {
    Image out = toRgba32(src);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            out.row(y)[4 * x + 3] = static_cast<std::uint8_t>((x * 37 + y * 11) % 256);
    return out;
}

// Difference between our page and ImageMagick's RGBA bytes: colour differences
// are weighed by alpha (what shows when composited), alpha compared directly.
int maxDiffToMagick(const Image& ours, const std::vector<std::uint8_t>& rgba) {
    if (rgba.size() != static_cast<std::size_t>(ours.width()) * ours.height() * 4) return 1000;
    const bool hasAlpha = ours.format() == PixelFormat::Rgba32;
    int worst = 0;
    for (int y = 0; y < ours.height(); ++y)
        for (int x = 0; x < ours.width(); ++x) {
            const std::uint8_t* m = rgba.data() + (static_cast<std::size_t>(y) * ours.width() + x) * 4;
            const Rgb p = pixelRgb(ours, x, y);
            const int a = hasAlpha ? ours.row(y)[4 * x + 3] : 255;
            worst = std::max(worst, std::abs(a - m[3]));
            const int c[3] = {p.r, p.g, p.b};
            for (int i = 0; i < 3; ++i) worst = std::max(worst, std::abs(c[i] - m[i]) * std::min(a, int{m[3]}) / 255);
        }
    return worst;
}

// RGBA bytes of one page as libtiff's own tiff2rgba renders it (upright,
// alpha premultiplied; read back through ImageMagick); empty when it cannot.
std::vector<std::uint8_t> tiff2rgba(const std::string& path, int page) {
    TempDir dir;
    const std::string out = dir / "rgba.tif";
    int status = 0;
    run("tiff2rgba -c none " + shellQuote(path) + " " + shellQuote(out), &status);
    if (status != 0) return {};
    return magickRgba(out, page);
}

// The fields of each directory tiffinfo lists.
struct DirInfo {
    std::string compression, photometric, subsampling;
    int bps = 0, spp = 0;
    bool predicted = false;  // horizontal differencing
};

std::vector<DirInfo> tiffinfo(const std::string& path) {
    std::vector<DirInfo> dirs;
    std::istringstream in(run("tiffinfo " + shellQuote(path)));
    std::string line;
    bool inExif = false;
    auto value = [&](const std::string& key) -> std::string {
        const auto at = line.find(key);
        return at == std::string::npos ? std::string() : line.substr(at + key.size());
    };
    while (std::getline(in, line)) {
        if (line.rfind("TIFF Directory at offset", 0) == 0) {
            if (!inExif) dirs.emplace_back();
            continue;
        }
        if (line.rfind("--- EXIF directory", 0) == 0) inExif = true;
        if (line.rfind("=== TIFF directory", 0) == 0) inExif = false;
        if (dirs.empty() || inExif) continue;
        DirInfo& d = dirs.back();
        if (auto v = value("Compression Scheme: "); !v.empty()) d.compression = v;
        if (auto v = value("Photometric Interpretation: "); !v.empty()) d.photometric = v;
        if (auto v = value("YCbCr Subsampling: "); !v.empty()) d.subsampling = v;
        if (auto v = value("Bits/Sample: "); !v.empty()) d.bps = std::stoi(v);
        if (auto v = value("Samples/Pixel: "); !v.empty()) d.spp = std::stoi(v);
        if (auto v = value("Predictor: "); !v.empty()) d.predicted = v.rfind("horizontal differencing", 0) == 0;
    }
    return dirs;
}

const FormatWriter& tiffWriter() {
    const FormatWriter* w = Registry::instance().findWriter(3);
    if (w == nullptr || w->name() != "TIFF") throw std::runtime_error("no TIFF writer");
    return *w;
}

}  // namespace

// Writer: every code at every depth.

struct WriteCase {
    int code, bits;
    const char* compression;
    const char* photometric;
    int bps, spp;
    const char* subsampling;  // "" when tiffinfo shows none
    int tolerance;            // largest channel error read back; -1: lossy, judged by PSNR;
                              // -2: through a press profile, judged against LittleCMS only
    int magickTolerance;      // against ImageMagick's decode; -1: ImageMagick cannot read it
};

static const char* kPal = "palette color (RGB from colormap)";

const std::vector<WriteCase> kWriteCases = [] {
    std::vector<WriteCase> v;
    const std::pair<int, const char*> rgbCodes[] = {{3, "None"}, {17, "LZW"}, {87, "PackBits"}};
    for (auto [code, comp] : rgbCodes) {
        v.push_back({code, 1, comp, "min-is-black", 1, 1, "", 0, 0});
        for (int b = 2; b <= 8; ++b) v.push_back({code, b, comp, kPal, b, 1, "", 0, 0});
        v.push_back({code, 16, comp, "RGB color", 8, 3, "", 0, 0});
        v.push_back({code, 24, comp, "RGB color", 8, 3, "", 0, 0});
        if (code == 17) v.push_back({code, 32, comp, "RGB color", 8, 4, "", 0, 0});
    }
    const std::pair<int, const char*> cmykCodes[] = {{85, "None"}, {86, "LZW"}, {88, "PackBits"}};
    for (auto [code, comp] : cmykCodes) {
        v.push_back({code, 24, comp, "separated", 8, 3, "", 0, -1});
        v.push_back({code, 32, comp, "separated", 8, 4, "", -2, 2});
    }
    const std::pair<int, const char*> ycbcrCodes[] = {{93, "None"}, {94, "LZW"}, {95, "PackBits"}};
    for (auto [code, comp] : ycbcrCodes) v.push_back({code, 24, comp, "YCbCr", 8, 3, "1, 1", 2, 3});
    v.push_back({96, 24, "None", "RGB color", 8, 3, "", 0, 0});
    v.push_back({97, 24, "None", "YCbCr", 8, 3, "1, 1", 2, 3});
    const std::pair<int, const char*> jpegCodes[] = {{11, "1, 1"}, {24, "2, 1"}, {22, "4, 1"}};
    for (auto [code, sub] : jpegCodes) {
        v.push_back({code, 8, "JPEG", "min-is-black", 8, 1, "", -1, 3});
        v.push_back({code, 24, "JPEG", "YCbCr", 8, 3, sub, -1, 3});
    }
    v.push_back({25, 1, "CCITT RLE", "min-is-white", 1, 1, "", 0, 0});
    v.push_back({27, 1, "CCITT Group 3", "min-is-white", 1, 1, "", 0, 0});
    v.push_back({28, 1, "CCITT Group 3", "min-is-white", 1, 1, "", 0, 0});
    v.push_back({29, 1, "CCITT Group 4", "min-is-white", 1, 1, "", 0, 0});
    return v;
}();

// What a page should look like after a lossless round trip at `bits`.
Image expectedAfterWrite(const Image& src, const WriteCase& c) {
    if (c.bits == 16) return toRgb24(toRgb555(src));
    if (c.bits == 8 && c.code == 11) return toGray8(src);
    if (c.bits == 8 && (c.code == 24 || c.code == 22)) return toGray8(src);
    return src;
}

Image sourceFor(const WriteCase& c) {
    if (c.bits == 1) return bilevel(61, 29);
    if (c.bits <= 8 && c.tolerance >= 0) return fewColours(45, 23, 1 << c.bits);
    if (c.bits == 32 && c.spp == 4 && c.photometric == std::string("RGB color")) return withAlpha(picture(45, 23));
    return picture(77, 43, c.tolerance < 0);
}

class TiffWriteAll : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TiffWriteAll, ToolsSeeTheLayoutAndPixelsComeBack) {
    const WriteCase& c = GetParam();
    TempDir dir;
    const std::string path = dir / "out.tif";
    Image src = sourceFor(c);
    src.xDpi = 300;
    src.yDpi = 150;
    savePage(path, src, c.code, c.bits, 2);
    keepFuzzSeed("fuzz_tiff", "code" + std::to_string(c.code) + "_" + std::to_string(c.bits) + ".tif", readBytes(path));

    const auto dirs = tiffinfo(path);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(dirs[0].compression, c.compression);
    EXPECT_EQ(dirs[0].photometric, c.photometric);
    EXPECT_EQ(dirs[0].bps, c.bps);
    EXPECT_EQ(dirs[0].spp, c.spp);
    EXPECT_EQ(dirs[0].subsampling, c.subsampling);
    // LZW samples of 8 bits are stored as differences (small files for photos);
    // palette indices and every other compression are stored as they are.
    const bool predicted = c.compression == std::string("LZW") && c.bps == 8 && c.photometric != std::string(kPal);
    EXPECT_EQ(dirs[0].predicted, predicted);

    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 1u);
    const Image& back = doc.pages[0];
    EXPECT_DOUBLE_EQ(back.xDpi, 300);
    EXPECT_DOUBLE_EQ(back.yDpi, 150);
    const Image expected = expectedAfterWrite(src, c);
    if (c.tolerance >= 0) {
        EXPECT_LE(maxRgbDiff(back, expected), c.tolerance);
    } else if (c.tolerance == -1) {
        EXPECT_GE(psnr(back, expected), 35.0);
    }
    if (c.photometric == std::string(kPal) || c.bits == 1) {
        EXPECT_EQ(back.format(), PixelFormat::Indexed);
        EXPECT_EQ(back.indexBits(), c.bits);
    }
    if (c.bits == 32 && c.spp == 4 && c.photometric == std::string("RGB color")) {
        ASSERT_EQ(back.format(), PixelFormat::Rgba32);
        for (int y = 0; y < src.height(); ++y)
            for (int x = 0; x < src.width(); ++x) ASSERT_EQ(back.row(y)[4 * x + 3], src.row(y)[4 * x + 3]);
    }
    if (c.magickTolerance >= 0) {
        EXPECT_LE(maxDiffToMagick(c.tolerance >= 0 ? expected : back, magickRgba(path)), c.magickTolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, TiffWriteAll, ::testing::ValuesIn(kWriteCases), [](const auto& info) {
    return "code" + std::to_string(info.param.code) + "_" + std::to_string(info.param.bits) + "bit";
});

TEST(TiffWriter, OffersEveryCodeAtItsDepthsAndAppendsAllButExif) {
    const FormatWriter& w = tiffWriter();
    std::map<int, std::vector<int>> expected;
    for (const auto& c : kWriteCases) expected[c.code].push_back(c.bits);
    std::vector<int> codes = w.codes();
    std::sort(codes.begin(), codes.end());
    ASSERT_EQ(codes.size(), expected.size());
    for (int code : codes) {
        EXPECT_EQ(w.depths(code), expected[code]) << code;
        EXPECT_EQ(w.canAppend(code), code != 96 && code != 97) << code;
    }
}

TEST(TiffWriter, ExifCodesCarryAnExifDirectoryPillowReads) {
    for (int code : {96, 97}) {
        TempDir dir;
        const std::string path = dir / "exif.tif";
        savePage(path, picture(33, 17), code, 24, 2);
        const std::string out =
            run("/usr/bin/python3 -c \"from PIL import Image; e=Image.open('" + path +
                "').getexif().get_ifd(0x8769); print(e.get(0x9000), e.get(0xA001), e.get(0xA002), e.get(0xA003))\"");
        EXPECT_EQ(out, "b'0220' 1 33 17\n") << code;
    }
}

TEST(TiffWriter, TwoColourPageAtOneBitKeepsItsColoursInAPalette) {
    Image img(20, 9, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{200, 10, 10}, Rgb{10, 10, 200}};
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 20; ++x) img.row(y)[x] = static_cast<std::uint8_t>((x ^ y) & 1);
    // White-first bilevel becomes min-is-white without touching the indexes.
    Image wb = img;
    wb.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    const std::pair<const Image*, const char*> cases[] = {{&img, kPal}, {&wb, "min-is-white"}};
    for (auto [page, photometric] : cases) {
        TempDir dir;
        const std::string path = dir / "two.tif";
        savePage(path, *page, 17, 1, 2);
        EXPECT_EQ(tiffinfo(path).at(0).photometric, photometric);
        const Image back = loadDocument(path).pages.at(0);
        EXPECT_EQ(maxRgbDiff(back, *page), 0);
        EXPECT_EQ(maxDiffToMagick(*page, magickRgba(path)), 0);
    }
}

TEST(TiffWriter, FaxPrintsTheDarkerColourBlackAndDefaultsTo200Dpi) {
    // A two-colour page whose palette lists the light colour first.
    Image img(40, 8, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{250, 250, 200}, Rgb{30, 0, 60}};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 40; ++x) img.row(y)[x] = static_cast<std::uint8_t>(x < 10 ? 1 : 0);
    TempDir dir;
    const std::string path = dir / "fax.tif";
    savePage(path, img, 29, 1, 2);
    const Image back = loadDocument(path).pages.at(0);
    EXPECT_DOUBLE_EQ(back.xDpi, 200);
    EXPECT_DOUBLE_EQ(back.yDpi, 200);
    for (int x : {0, 9, 10, 39}) EXPECT_EQ(pixelRgb(back, x, 3), (x < 10 ? Rgb{0, 0, 0} : Rgb{255, 255, 255})) << x;
}

TEST(TiffWriter, ResolutionIsOmittedWhenThePageHasNone) {
    TempDir dir;
    const std::string path = dir / "nodpi.tif";
    savePage(path, picture(10, 10), 17, 24, 2);
    EXPECT_EQ(run("tiffinfo " + shellQuote(path)).find("Resolution"), std::string::npos);
    EXPECT_EQ(loadDocument(path).pages.at(0).xDpi, 0);
}

// A disk that fills part-way through a save leaves the earlier file as it was
// and no working file, and says why: TIFF is written to the disk as it is
// encoded, PNG is encoded in memory first.
// The writers that encode straight into the file (TIFF, PNG, JPEG, BMP, GIF)
// write what write() returns, and a disk that fills up in the middle of the
// stream (past their write blocks) leaves the earlier file as it was.
TEST(Writers, StreamedSavesMatchWriteAndADiskFullLeavesThePreviousFile) {
    TempDir dir;
    Image noise(700, 600, PixelFormat::Rgb24);
    std::mt19937 rng(7);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < 3 * noise.width(); ++x) noise.row(y)[x] = static_cast<std::uint8_t>(rng());
    struct Row {
        int code, bits;
    };
    for (const auto [code, bits] : {Row{17, 24}, Row{75, 24}, Row{23, 24}, Row{6, 24}, Row{2, 8}}) {
        SCOPED_TRACE(code);
        const std::string path = dir / ("full" + std::to_string(code));
        savePage(path, noise, code, bits, 2);
        const WriteOptions opt{code, bits, 2, path};
        EXPECT_EQ(rastel::test::readBytes(path), Registry::instance().findWriter(code)->write(noise, opt));
        savePage(path, picture(8, 8), code, bits, 2);
        const auto before = rastel::test::readBytes(path);
        try {
            rastel::test::FileSizeLimit limit(512);
            savePage(path, noise, code, bits, 2);
            ADD_FAILURE() << "saved past the limit";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("File too large"), std::string::npos) << e.what();
        }
        EXPECT_EQ(rastel::test::readBytes(path), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
        fs::remove(path);
    }
}

TEST(TiffWriter, QualityFactorTradesSizeForFidelity) {
    const Image src = picture(128, 96);
    TempDir dir;
    double lastPsnr = 100;
    std::uintmax_t lastSize = SIZE_MAX;
    for (int quality : {2, 60, 150, 255}) {
        const std::string path = dir / ("q" + std::to_string(quality) + ".tif");
        savePage(path, src, 24, 24, quality);
        const double p = psnr(loadDocument(path).pages.at(0), src);
        const auto size = fs::file_size(path);
        EXPECT_LT(p, lastPsnr) << quality;
        EXPECT_LT(size, lastSize) << quality;
        lastPsnr = p;
        lastSize = size;
    }
}

// Append.

struct AppendCase {
    int code, bits;
};

class TiffAppend : public ::testing::TestWithParam<AppendCase> {};

TEST_P(TiffAppend, ThreePagesComeBackInOrder) {
    const auto [code, bits] = GetParam();
    TempDir dir;
    const std::string path = dir / "multi.tif";
    const bool lossy = code == 11 || code == 24 || code == 22;
    const Image pages[3] = {bits == 1 ? bilevel(40, 30) : picture(40, 30, true),
                            bits == 1 ? bilevel(17, 50) : picture(17, 50, lossy),
                            bits == 1 ? bilevel(64, 8) : picture(64, 8, lossy)};
    savePage(path, pages[0], code, bits, 2);
    appendPage(path, pages[1], code, bits, 2);
    appendPage(path, pages[2], code, bits, 2);
    EXPECT_EQ(tiffinfo(path).size(), 3u);
    // Appending in place on a working file gives the very same file.
    const std::string inPlace = dir / "inplace.tif";
    savePage(inPlace, pages[0], code, bits, 2);
    appendPageInPlace(inPlace, pages[1], code, bits, 2);
    appendPageInPlace(inPlace, pages[2], code, bits, 2);
    EXPECT_TRUE(rastel::test::readBytes(inPlace) == rastel::test::readBytes(path));
    EXPECT_EQ(probePageCount(path), 3);
    rastel::test::expectPagesAsRead("TIFF", rastel::test::readBytes(path));
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(doc.pages[static_cast<std::size_t>(i)].width(), pages[i].width()) << i;
        EXPECT_EQ(doc.pages[static_cast<std::size_t>(i)].height(), pages[i].height()) << i;
        const Image want = bits == 8 && code != 3 ? toGray8(pages[i]) : pages[i];
        const Image& got = doc.pages[static_cast<std::size_t>(i)];
        const bool threeInks = bits == 24 && (code == 85 || code == 86 || code == 88);
        const bool press = bits == 32 && (code == 85 || code == 86 || code == 88);  // colours in the CMYK gamut
        if (lossy) {  // 4:1:1 loses more of the steep colour gradients
            EXPECT_GE(psnr(got, want), code == 22 ? 28.0 : 35.0) << i;
        } else if (!press) {
            EXPECT_LE(maxRgbDiff(got, want), 2) << i;
        }
        if (!threeInks) {
            EXPECT_LE(maxDiffToMagick(got, magickRgba(path, i)), 3) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, TiffAppend,
                         ::testing::Values(AppendCase{3, 24}, AppendCase{85, 32}, AppendCase{93, 24},
                                           AppendCase{17, 24}, AppendCase{86, 24}, AppendCase{94, 24},
                                           AppendCase{87, 24}, AppendCase{88, 32}, AppendCase{95, 24},
                                           AppendCase{11, 24}, AppendCase{24, 8}, AppendCase{22, 24}, AppendCase{25, 1},
                                           AppendCase{27, 1}, AppendCase{28, 1}, AppendCase{29, 1}),
                         [](const auto& info) {
                             return "code" + std::to_string(info.param.code) + "_" + std::to_string(info.param.bits) +
                                    "bit";
                         });

TEST(TiffAppend, RefusesExifCodesAndFilesThatAreNotTiff) {
    TempDir dir;
    const std::string path = dir / "exif.tif";
    savePage(path, picture(8, 8), 96, 24, 2);
    EXPECT_THROW(appendPage(path, picture(8, 8), 96, 24, 2), Error);
    EXPECT_THROW(appendPageInPlace(path, picture(8, 8), 96, 24, 2), Error);
    EXPECT_EQ(probePageCount(path), 1);
    EXPECT_THROW(appendPageInPlace(dir / "missing.tif", picture(8, 8), 17, 24, 2), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.tif"));
    const std::string notTiff = dir / "text.tif";
    rastel::test::writeBytes(notTiff, {'n', 'o', 't', ' ', 'a', ' ', 't', 'i', 'f', 'f'});
    EXPECT_THROW(appendPageInPlace(notTiff, picture(8, 8), 17, 24, 2), Error);
    const std::vector<std::uint8_t> junk = {'n', 'o', 't', ' ', 'a', ' ', 't', 'i', 'f', 'f'};
    WriteOptions opt;
    opt.code = 17;
    opt.bits = 24;
    EXPECT_THROW(tiffWriter().append(junk, picture(8, 8), opt), Error);
}

// Reader on files other programs wrote.

struct MagickCase {
    const char* name;
    const char* options;
    bool alphaSource;
    int tolerance;
};

class TiffReadMagick : public ::testing::TestWithParam<MagickCase> {};

TEST_P(TiffReadMagick, DecodesLikeImageMagick) {
    const MagickCase& c = GetParam();
    TempDir dir;
    const std::string src = dir / (c.alphaSource ? "src.pam" : "src.ppm");
    writePnm(src, c.alphaSource ? withAlpha(picture(83, 51)) : picture(83, 51));
    const std::string path = dir / "im.tif";
    int status = 0;
    run("convert " + shellQuote(src) + " " + c.options + " " + shellQuote(path), &status);
    ASSERT_EQ(status, 0) << c.options;
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_LE(maxDiffToMagick(doc.pages[0], magickRgba(path)), c.tolerance) << run("tiffinfo " + shellQuote(path));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffReadMagick,
    ::testing::Values(
        MagickCase{"none", "-compress None", false, 0}, MagickCase{"lzw", "-compress LZW", false, 0},
        MagickCase{"zip", "-compress Zip", false, 0}, MagickCase{"packbits", "-compress RLE", false, 0},
        MagickCase{"jpeg", "-compress JPEG -quality 90", false, 3},
        MagickCase{"group4", "-type Bilevel -compress Group4", false, 0},
        MagickCase{"fax", "-type Bilevel -compress Fax", false, 0}, MagickCase{"cmyk", "-colorspace CMYK", false, 1},
        MagickCase{"cmyk_lzw16", "-colorspace CMYK -depth 16 -compress LZW", false, 2},
        MagickCase{"palette", "-type Palette", false, 1},
        MagickCase{"palette4", "-colors 16 -type Palette -depth 4", false, 1},
        MagickCase{"rgb16", "-depth 16", false, 1}, MagickCase{"rgb16_msb", "-depth 16 -endian MSB", false, 1},
        MagickCase{"gray", "-type Grayscale", false, 0}, MagickCase{"gray16", "-type Grayscale -depth 16", false, 1},
        MagickCase{"gray4", "-type Grayscale -depth 4", false, 0},
        MagickCase{"gray2", "-type Grayscale -depth 2", false, 0},
        MagickCase{"tiles", "-define tiff:tile-geometry=32x32", false, 0},
        MagickCase{"tiles_lzw", "-compress LZW -define tiff:tile-geometry=64x16", false, 0},
        MagickCase{"planar", "-interlace Plane", false, 0},
        MagickCase{"planar_tiles", "-interlace Plane -define tiff:tile-geometry=32x32", false, 0},
        MagickCase{"alpha", "-type TrueColorAlpha", true, 1},
        MagickCase{"alpha_assoc", "-type TrueColorAlpha -define tiff:alpha=associated", true, 2},
        MagickCase{"gray_alpha", "-type GrayscaleAlpha", true, 1}, MagickCase{"orient2", "-orient TopRight", false, 0},
        MagickCase{"orient3", "-orient BottomRight", false, 0}, MagickCase{"orient4", "-orient BottomLeft", false, 0},
        MagickCase{"orient5", "-orient LeftTop", false, 0}, MagickCase{"orient6", "-orient RightTop", false, 0},
        MagickCase{"orient7", "-orient RightBottom", false, 0}, MagickCase{"orient8", "-orient LeftBottom", false, 0},
        MagickCase{"orient6_cmyk", "-colorspace CMYK -orient RightTop", false, 1},
        MagickCase{"bigendian", "-endian MSB", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct TiffcpCase {
    const char* name;
    const char* options;
    int tolerance;
};

class TiffReadTiffcp : public ::testing::TestWithParam<TiffcpCase> {};

TEST_P(TiffReadTiffcp, DecodesLikeImageMagick) {
    const TiffcpCase& c = GetParam();
    TempDir dir;
    const std::string base = dir / "base.tif";
    savePage(base, picture(90, 70), 3, 24, 2);
    const std::string path = dir / "cp.tif";
    int status = 0;
    run(std::string("tiffcp ") + c.options + " " + shellQuote(base) + " " + shellQuote(path), &status);
    ASSERT_EQ(status, 0) << c.options;
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_LE(maxDiffToMagick(doc.pages[0], magickRgba(path)), c.tolerance) << run("tiffinfo " + shellQuote(path));
    if (c.tolerance == 0) {
        EXPECT_EQ(maxRgbDiff(doc.pages[0], picture(90, 70)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Compressions, TiffReadTiffcp,
                         ::testing::Values(TiffcpCase{"lzw", "-c lzw", 0}, TiffcpCase{"lzw_predictor", "-c lzw:2", 0},
                                           TiffcpCase{"zip", "-c zip", 0}, TiffcpCase{"packbits", "-c packbits", 0},
                                           TiffcpCase{"jpeg_ycbcr", "-c jpeg:90 -r 16", 3},
                                           TiffcpCase{"jpeg_rgb", "-c jpeg:r:90 -r 16", 3},
                                           TiffcpCase{"separate", "-p separate", 0},
                                           TiffcpCase{"tiles", "-t -w 32 -l 48", 0},
                                           TiffcpCase{"tiles_jpeg", "-t -w 32 -l 32 -c jpeg:90", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TiffReader, ResolutionInCentimetresBecomesDpi) {
    TempDir dir;
    const std::string src = dir / "src.ppm";
    writePnm(src, picture(8, 8));
    const std::string path = dir / "cm.tif";
    run("convert " + shellQuote(src) + " -units PixelsPerCentimeter -density 100x50 " + shellQuote(path));
    const Image page = loadDocument(path).pages.at(0);
    EXPECT_NEAR(page.xDpi, 254, 0.01);
    EXPECT_NEAR(page.yDpi, 127, 0.01);
}

// Colormaps: 16-bit entries scale by round(v / 257); a map with no entry above
// 255 comes from an old 8-bit writer and is taken as it is.
TEST(TiffReader, ColormapScalingAndOldEightBitMaps) {
    struct Case {
        std::uint16_t stored[4];
        Rgb expected;  // of entry 1 (red = stored, green 0, blue 0)
        std::uint16_t entry;
    };
    const Case cases[] = {
        {{0, 200 * 257, 65535, 0}, Rgb{200, 0, 0}, 1}, {{0, 200, 255, 0}, Rgb{200, 0, 0}, 1},  // old 8-bit map
        {{0, 200, 255, 256}, Rgb{1, 0, 0}, 3},    // 256 makes it 16-bit: round(256 / 257) = 1
        {{0, 32896, 300, 0}, Rgb{128, 0, 0}, 1},  // 32896 / 257 = 128
        {{0, 128, 65535, 0}, Rgb{255, 0, 0}, 2},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir / "map.tif";
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 2);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
        std::uint16_t red[4], zero[4] = {0, 0, 0, 0};
        std::copy(c.stored, c.stored + 4, red);
        TIFFSetField(t, TIFFTAG_COLORMAP, red, zero, zero);
        std::uint8_t row = 0x1B;  // indexes 0, 1, 2, 3
        ASSERT_EQ(TIFFWriteScanline(t, &row, 0, 0), 1);
        TIFFClose(t);
        const Image page = loadDocument(path).pages.at(0);
        ASSERT_EQ(page.format(), PixelFormat::Indexed);
        EXPECT_EQ(page.indexBits(), 2);
        EXPECT_EQ(pixelRgb(page, c.entry, 0), c.expected) << c.stored[c.entry];
    }
}

TEST(TiffReader, SniffsEveryByteOrderAndBigTiff) {
    const FormatReader& r = readerNamed("TIFF");
    const std::pair<std::vector<std::uint8_t>, Sniff> cases[] = {
        {{'I', 'I', 42, 0, 8, 0, 0, 0}, Sniff::Strong},
        {{'M', 'M', 0, 42, 0, 0, 0, 8}, Sniff::Strong},
        {{'I', 'I', 43, 0, 8, 0, 0, 0}, Sniff::Strong},
        {{'M', 'M', 0, 43, 0, 8, 0, 0}, Sniff::Strong},
        {{'I', 'I', 0, 42}, Sniff::No},
        {{'M', 'M', 42, 0}, Sniff::No},
        {{'I', 'I', 42}, Sniff::No},
        {{'B', 'M', 42, 0}, Sniff::No},
    };
    for (const auto& [head, want] : cases) EXPECT_EQ(r.sniff(head), want);
}

// YCbCr written with libtiff from the forward transform of TIFF 6.0 section
// 21: colours are constant over 4 x 4 blocks, so subsampling loses nothing
// and the decoded picture must be the source picture.
struct YcbcrCase {
    const char* name;
    std::uint16_t h, v, compression;
    bool planar;
    float refBW[6];
    float luma[3];  // as stored; all zero is invalid and means BT.601
    int width, height, rowsPerStrip;
    bool predictor = false;  // horizontal differencing along each plane's own rows
};

std::vector<std::uint8_t> ycbcrTiff(const YcbcrCase& c, const Image& rgb) {
    std::vector<std::uint8_t> file;
    const std::string path =
        (fs::temp_directory_path() / ("rastel-ycbcr-" + std::to_string(::getpid()) + ".tif")).string();
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, c.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, c.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, c.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, c.compression);
    TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, c.h, c.v);
    TIFFSetField(tif, TIFFTAG_REFERENCEBLACKWHITE, c.refBW);
    TIFFSetField(tif, TIFFTAG_YCBCRCOEFFICIENTS, c.luma);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, c.rowsPerStrip);
    const bool invalid = c.luma[1] == 0;
    const double kr = invalid ? 0.299 : c.luma[0], kg = invalid ? 0.587 : c.luma[1], kb = invalid ? 0.114 : c.luma[2];
    const float* rb = c.refBW;
    auto code = [](double v, double black, double white, double range) {
        return static_cast<std::uint8_t>(std::lround(std::clamp(black + v * (white - black) / range, 0.0, 255.0)));
    };
    // Planes at their own resolution, sampled at the top left of each block.
    std::vector<std::uint8_t> planes[3];
    for (int p = 0; p < 3; ++p) {
        const int fh = p ? c.h : 1, fv = p ? c.v : 1, pw = (c.width + fh - 1) / fh, ph = (c.height + fv - 1) / fv;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) {
                const Rgb px = pixelRgb(rgb, x * fh, y * fv);
                const double Y = kr * px.r + kg * px.g + kb * px.b;
                planes[p].push_back(p == 0   ? code(Y, rb[0], rb[1], 255)
                                    : p == 1 ? code((px.b - Y) / (2 - 2 * kb), rb[2], rb[3], 127)
                                             : code((px.r - Y) / (2 - 2 * kr), rb[4], rb[5], 127));
            }
    }
    if (c.predictor) {
        // Differenced here, stored with Predictor 1 and the tag set to 2
        // afterwards: libtiff would difference chroma rows at the luma width.
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_NONE);
        for (int p = 0; p < 3; ++p) {
            const int pw = (c.width + (p ? c.h : 1) - 1) / (p ? c.h : 1);
            for (std::size_t r = planes[p].size() / pw; r-- > 0;)
                for (int x = pw - 1; x > 0; --x)
                    planes[p][r * pw + x] =
                        static_cast<std::uint8_t>(planes[p][r * pw + x] - planes[p][r * pw + x - 1]);
        }
    }
    if (c.planar) {
        for (int p = 0; p < 3; ++p) {
            const int fv = p ? c.v : 1, pw = (c.width + (p ? c.h : 1) - 1) / (p ? c.h : 1);
            for (int y = 0, strip = 0; y < c.height; y += c.rowsPerStrip, ++strip) {
                const int rows = (std::min(c.rowsPerStrip, c.height - y) + fv - 1) / fv;
                TIFFWriteEncodedStrip(
                    tif, static_cast<tstrip_t>(p * ((c.height + c.rowsPerStrip - 1) / c.rowsPerStrip) + strip),
                    planes[p].data() + static_cast<std::size_t>(y / fv) * pw, static_cast<tmsize_t>(rows) * pw);
            }
        }
    } else {  // contiguous, not subsampled
        std::vector<std::uint8_t> row(static_cast<std::size_t>(c.width) * 3);
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x)
                for (int p = 0; p < 3; ++p)
                    row[static_cast<std::size_t>(x) * 3 + p] = planes[p][static_cast<std::size_t>(y) * c.width + x];
            TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0);
        }
    }
    TIFFClose(tif);
    file = readBytes(path);
    fs::remove(path);
    if (c.predictor) {
        const std::size_t ifd =
            file.at(4) | file.at(5) << 8 | file.at(6) << 16 | static_cast<std::size_t>(file.at(7)) << 24;
        for (std::size_t e = ifd + 2; e + 12 <= file.size() && e < ifd + 2 + 12 * file.at(ifd); e += 12)
            if (file[e] == 0x3D && file[e + 1] == 0x01) file[e + 8] = PREDICTOR_HORIZONTAL;
    }
    return file;
}

TEST(TiffReader, YcbcrPlanesAndCoefficientsDecodeToTheSourceColours) {
    const YcbcrCase cases[] = {
        {"planar 4:2:0 lzw",
         2,
         2,
         COMPRESSION_LZW,
         true,
         {0, 255, 128, 255, 128, 255},
         {0.299f, 0.587f, 0.114f},
         64,
         32,
         32},
        {"planar 4:2:2 bt601 range",
         2,
         1,
         COMPRESSION_NONE,
         true,
         {16, 235, 128, 240, 128, 240},
         {0.299f, 0.587f, 0.114f},
         40,
         24,
         24},
        {"planar 4:2:0 lzw, predictor",
         2,
         2,
         COMPRESSION_LZW,
         true,
         {0, 255, 128, 255, 128, 255},
         {0.299f, 0.587f, 0.114f},
         36,
         20,
         8,
         true},
        {"planar 4:1:0 odd size, strips",
         4,
         4,
         COMPRESSION_LZW,
         true,
         {0, 255, 128, 255, 128, 255},
         {0.2126f, 0.7152f, 0.0722f},
         37,
         23,
         8},
        {"planar 4:4:4",
         1,
         1,
         COMPRESSION_ADOBE_DEFLATE,
         true,
         {0, 255, 128, 255, 128, 255},
         {0.299f, 0.587f, 0.114f},
         17,
         9,
         4},
        {"contiguous, invalid coefficients",
         1,
         1,
         COMPRESSION_NONE,
         false,
         {0, 255, 128, 255, 128, 255},
         {0, 0, 0},
         20,
         12,
         12},
        {"planar, invalid coefficients",
         2,
         2,
         COMPRESSION_NONE,
         true,
         {0, 255, 128, 255, 128, 255},
         {0, 0, 0},
         20,
         12,
         12},
    };
    for (const YcbcrCase& c : cases) {
        SCOPED_TRACE(c.name);
        Image src(c.width, c.height, PixelFormat::Rgb24);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const int b = (x / 4) * 7 + (y / 4) * 13;
                std::uint8_t* p = src.row(y) + 3 * x;
                p[0] = static_cast<std::uint8_t>(b * 37), p[1] = static_cast<std::uint8_t>(b * 91 + 40),
                p[2] = static_cast<std::uint8_t>(255 - b * 23);
            }
        const auto bytes = ycbcrTiff(c, src);
        StderrCapture capture;
        Document doc;
        ASSERT_NO_THROW(doc = readerNamed("TIFF").read(bytes, ReadContext{"ycbcr.tif"}));
        EXPECT_EQ(capture.finish(), "");
        ASSERT_EQ(doc.pages.size(), 1u);
        // Quantising Y, Cb and Cr to 8 bits moves a channel by a few levels.
        EXPECT_LE(maxRgbDiff(doc.pages[0], src), 3);
    }
}

// A directory chain that loops back, or whose last link points at nothing:
// the pages read so far, each once, no endless loop.
TEST(TiffReader, BrokenDirectoryChainKeepsThePagesBeforeIt) {
    TempDir dir;
    const std::string path = dir / "chain.tif";
    savePage(path, picture(8, 8), 3, 24, 2);
    appendPage(path, picture(9, 9), 3, 24, 2);
    const std::vector<std::uint8_t> good = readBytes(path);
    ASSERT_GE(good.size(), 8u);
    // Follow the little-endian chain to the last directory.
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t{good.at(at)} | std::uint32_t{good.at(at + 1)} << 8 | std::uint32_t{good.at(at + 2)} << 16 |
               std::uint32_t{good.at(at + 3)} << 24;
    };
    std::uint32_t first = u32(4), ifd = first, next = 0;
    std::size_t nextAt = 0;
    for (;;) {
        const std::size_t count = good.at(ifd) | good.at(ifd + 1) << 8;
        nextAt = ifd + 2 + count * 12;
        next = u32(nextAt);
        if (next == 0) break;
        ifd = next;
    }
    for (const std::uint32_t link : {first, 0xFFFFFF00u, static_cast<std::uint32_t>(good.size() - 1)}) {
        SCOPED_TRACE(link);
        std::vector<std::uint8_t> bytes = good;
        for (int i = 0; i < 4; ++i)
            bytes[nextAt + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(link >> (8 * i));
        StderrCapture capture;
        int pages = -1;
        std::size_t read = 0;
        try {
            pages = readerNamed("TIFF").pageCount(bytes, ReadContext{path});
            read = readerNamed("TIFF").read(bytes, ReadContext{path}).pages.size();
        } catch (const Error& e) {
            ADD_FAILURE() << e.what();
        }
        EXPECT_EQ(capture.finish(), "");
        EXPECT_EQ(pages, 2);
        EXPECT_EQ(read, 2u);
    }
}

// Cut and damaged files: a clean result or an Error, never a crash, never console output.
TEST(TiffReader, DamagedFilesFailCleanly) {
    struct Source {
        int code, bits;
    };
    const Source sources[] = {{3, 24}, {17, 8}, {87, 4}, {86, 32}, {94, 24}, {22, 24}, {28, 1}, {29, 1}};
    std::mt19937 rng(7);
    int errors = 0, decoded = 0;
    StderrCapture capture;
    for (const Source& s : sources) {
        WriteOptions opt;
        opt.code = s.code;
        opt.bits = s.bits;
        const std::vector<std::uint8_t> good = tiffWriter().write(s.bits == 1 ? bilevel(70, 40) : picture(70, 40), opt);
        std::vector<std::vector<std::uint8_t>> variants;
        for (std::size_t cut = 0; cut < good.size(); cut += 1 + good.size() / 41)
            variants.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        for (int i = 0; i < 120; ++i) {
            std::vector<std::uint8_t> bad = good;
            for (int k = 0; k < 1 + i % 4; ++k) bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
            variants.push_back(std::move(bad));
        }
        for (const auto& v : variants) {
            try {
                (void)readerNamed("TIFF").pageCount(v, ReadContext{"damaged.tif"});
                const Document doc = readerNamed("TIFF").read(v, ReadContext{"damaged.tif"});
                for (const Image& p : doc.pages)
                    ASSERT_EQ(p.byteSize(), p.stride() * static_cast<std::size_t>(p.height()));
                ++decoded;
            } catch (const Error& e) {
                ASSERT_EQ(std::string(e.what()).rfind("TIFF: ", 0), 0u) << e.what();
                ++errors;
            }
        }
    }
    EXPECT_EQ(capture.finish(), "");
    EXPECT_GT(errors, 0);
    EXPECT_GT(decoded, 0);
}

TEST(TiffReader, MessagesShowNegativeCountsAsSuch) {
    const std::pair<const char*, const char*> rows[] = {
        {"got 18446744073709550928 bytes", "got -688 bytes"},
        {"9223372036854775808 and 9223372036854775807", "-9223372036854775808 and 9223372036854775807"},
        {"strip 12, 99999999999999999999 bytes", "strip 12, 99999999999999999999 bytes"},  // beyond 64 bits: as printed
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(rastel::imaging::tiffio::signedCounts(in), out);
}

TEST(TiffReader, ImageLargerThanThePixelLimitIsRefusedBeforeDecoding) {
    TempDir dir;
    const std::string path = dir / "big.tif";
    savePage(path, picture(300, 200), 17, 24, 2);
    const auto saved = pixelLimit();
    setPixelLimit(300 * 199);
    EXPECT_THROW(loadDocument(path), Error);
    setPixelLimit(saved);
    EXPECT_NO_THROW(loadDocument(path));
}

// The shared sample files.

// Samples whose decoding differs from ImageMagick's on purpose, and why.
const std::map<std::string, std::string>& knownDifferences() {
    static const std::string malformed = "malformed on purpose; the decoders produce different things";
    static const std::string signedSamples =
        "8/32-bit signed samples: we offset them so the most negative value is black, as ImageMagick does for "
        "16-bit; ImageMagick and libtiff do something else at these depths";
    static const std::string im24 =
        "24-bit samples: ImageMagick shifts values across channels, libtiff cannot read them";
    static const std::map<std::string, std::string> known = {
        {"commonsimaging--images__tiff__oss-fuzz-53669__clusterfuzz-testcase-minimized-ImagingTiffFuzzer-"
         "5965016805539840.tif",
         malformed},
        {"pillow--tiff_wrong_bits_per_sample_3.tif", malformed},
        {"imagers--bad__tiff__TODO_hpredict_cmyk.tif", malformed},
        {"pillow--tiff_strip_cmyk_jpeg.tif",
         "JPEG-compressed CMYK: tificc cannot read it and ImageMagick uses the plain formula, not the CMYK profile"},
        {"libgd--tiff__tiff-conformance__valid__cmyk-3c-32b-float.tif",
         "floating-point 3-ink separated is not decoded"},
        {"libgd--tiff__tiff-conformance__valid__int8.tif", signedSamples},
        {"libgd--tiff__tiff-conformance__valid__minisblack-1c-i8b.tif", signedSamples},
        {"twelvemonkeys--tiff__signed-integral-8bit.tif", signedSamples},
        {"pillow--16_bit_binary_pgm.tif", signedSamples},
        {"pillow--hopper.Lab.tif",
         "CIE L*a*b*: out-of-gamut colours clip slightly differently (ImageMagick and Pillow also differ)"},
        {"twelvemonkeys--tiff__cmyk_jpeg.tif", "ImageMagick adds the Photoshop layer as a second image"},
        {"twelvemonkeys--tiff__depth__flower-rgb-contig-24.tif", im24},
        {"twelvemonkeys--tiff__depth__flower-rgb-planar-24.tif", im24},
        {"twelvemonkeys--tiff__lzw-rgba-4444.tif",
         "2-bit gray with associated alpha: ImageMagick drops the alpha, libtiff cannot read it"},
    };
    return known;
}

TEST(TiffReader, CorpusDecodesLikeImageMagick) {
    const fs::path dir = rastel::test::corpusDir() / "tif";
    if (!fs::is_directory(dir)) RASTEL_MISSING("no corpus at " << dir);
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    int agreed = 0, refusedBoth = 0, agreedWithLibtiff = 0;
    std::string report;
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        const auto bytes = readBytes(file.string());
        Document doc;
        std::string error;
        {
            StderrCapture capture;
            try {
                doc = readerNamed("TIFF").read(bytes, ReadContext{file.string()});
                EXPECT_EQ(readerNamed("TIFF").pageCount(bytes, ReadContext{file.string()}),
                          static_cast<int>(doc.pages.size()))
                    << name;
            } catch (const Error& e) {
                error = e.what();
            }
            EXPECT_EQ(capture.finish(), "") << name;
        }
        int imPages = 0;
        {
            std::istringstream in(run("identify -format '%w\\n' " + shellQuote(file.string())));
            std::string line;
            while (std::getline(in, line)) ++imPages;
        }
        std::string outcome;
        if (!error.empty()) {
            outcome = magickRgba(file.string()).empty() ? "" : "refused (ImageMagick decodes it): " + error;
            if (outcome.empty()) ++refusedBoth;
        } else {
            for (std::size_t i = 0; i < doc.pages.size() && outcome.empty(); ++i) {
                const auto im = magickRgba(file.string(), static_cast<int>(i));
                if (im.empty()) continue;  // ImageMagick gives up where libtiff reads on
                const int diff = maxDiffToMagick(doc.pages[i], im);
                if (diff > 2 && maxDiffToMagick(doc.pages[i], tiff2rgba(file.string(), static_cast<int>(i))) <= 2) {
                    ++agreedWithLibtiff;  // ImageMagick is the odd one out
                    continue;
                }
                if (diff > 2)
                    outcome = "page " + std::to_string(i) + " differs by " + std::to_string(diff) + " (" +
                              formatName(doc.pages[i].format()) + ")";
            }
            if (outcome.empty() && imPages > 0 && imPages != static_cast<int>(doc.pages.size()))
                outcome = std::to_string(doc.pages.size()) + " pages, ImageMagick " + std::to_string(imPages);
            if (outcome.empty()) ++agreed;
        }
        if (outcome.empty()) continue;
        const auto known = knownDifferences().find(name);
        if (known == knownDifferences().end()) {
            ADD_FAILURE() << name << ": " << outcome;
        }
        report += name + ": " + outcome + "\n";
    }
    std::printf("corpus: %d agree with ImageMagick (%d pages only with tiff2rgba), %d refused by both\n%s", agreed,
                agreedWithLibtiff, refusedBoth, report.c_str());
}
