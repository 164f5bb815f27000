#pragma once

// Helpers shared by the PCX, TGA, Sun Raster, MSP, GEM and WPG tests: test
// pictures, temporary folders, external decoders and pixel comparison.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"
#include "tests/support/test_support.h"

namespace legacyb {

using namespace rastel::imaging;
namespace fs = std::filesystem;
using rastel::test::haveTool;
using rastel::test::parsePnm;
using rastel::test::readBytes;
using rastel::test::TempDir;
using rastel::test::writeBytes;

// Standard output of a shell command (stderr dropped); ok is false when it failed.
inline std::vector<std::uint8_t> capture(const std::string& cmd, bool* ok = nullptr) {
    std::vector<std::uint8_t> out;
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) {
        if (ok) *ok = false;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
    const int rc = pclose(p);
    if (ok) *ok = rc == 0;
    return out;
}

inline int run(const std::string& cmd) { return std::system(("{ " + cmd + " ; } >/dev/null 2>&1").c_str()); }

// Runs `command` with %s replaced by a PPM file of `rgb` (Rgb24) and %o by an
// output file named with `outExt`; returns what the command wrote there (empty when it failed).
inline std::vector<std::uint8_t> convertWithTool(std::string command, const Image& rgb, const std::string& outExt) {
    TempDir dir;
    const std::string in = dir.file("src.ppm"), out = dir.file("out" + outExt);
    const std::string head = "P6\n" + std::to_string(rgb.width()) + " " + std::to_string(rgb.height()) + "\n255\n";
    std::vector<std::uint8_t> ppm(head.begin(), head.end());
    ppm.insert(ppm.end(), rgb.data(), rgb.data() + rgb.byteSize());
    writeBytes(in, ppm);
    command.replace(command.find("%s"), 2, "'" + in + "'");
    command.replace(command.find("%o"), 2, "'" + out + "'");
    if (run(command) != 0) return {};
    return readBytes(out);
}


// Decodes with Pillow: returns RGBA pixels (alpha 255 where the file has none)
// and the mode Pillow reports in `mode`.
inline Image pillowRgba(const std::string& path, std::string* mode = nullptr) {
    const std::string py =
        "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1])\nim.load()\n"
        "sys.stdout.write(im.mode+' %d %d\\n'%im.size)\nsys.stdout.flush()\n"
        "sys.stdout.buffer.write(im.convert('RGBA').tobytes())\n";
    bool ok = false;
    const auto out = capture("/usr/bin/python3 -c \"" + py + "\" '" + path + "'", &ok);
    if (!ok) throw std::runtime_error("Pillow could not read " + path);
    std::size_t nl = 0;
    while (nl < out.size() && out[nl] != '\n') ++nl;
    const std::string head(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(nl));
    char m[16] = {};
    int w = 0, h = 0;
    std::sscanf(head.c_str(), "%15s %d %d", m, &w, &h);
    if (mode) *mode = m;
    Image img(w, h, PixelFormat::Rgba32);
    if (out.size() < nl + 1 + img.byteSize()) throw std::runtime_error("short Pillow output");
    std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(nl + 1), img.byteSize(), img.data());
    return img;
}

// Decodes with ImageMagick (or GraphicsMagick when `gm` is set) into RGBA.
inline Image magickRgba(const std::string& path, bool gm = false) {
    bool ok = false;
    const std::string identify = gm ? "gm identify" : "/usr/bin/identify";
    const std::string convert = gm ? "gm convert" : "/usr/bin/convert";
    const auto dims = capture(identify + " -format '%w %h\\n' '" + path + "[0]'", &ok);
    if (!ok) throw std::runtime_error("identify could not read " + path);
    int w = 0, h = 0;
    std::sscanf(std::string(dims.begin(), dims.end()).c_str(), "%d %d", &w, &h);
    const auto px = capture(convert + " '" + path + "[0]' -depth 8 rgba:-", &ok);
    Image img(w, h, PixelFormat::Rgba32);
    if (!ok || px.size() != img.byteSize()) throw std::runtime_error("convert could not read " + path);
    std::copy(px.begin(), px.end(), img.data());
    return img;
}

// Number of pixels whose colours differ. With `compareAlpha`, alpha must agree
// too and the colour of pixels transparent in both does not count (decoders
// differ in what they put there).
inline int pixelDifferences(const Image& a, const Image& b, bool compareAlpha = false) {
    if (a.width() != b.width() || a.height() != b.height()) return -1;
    int diff = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            bool same = pixelRgb(a, x, y) == pixelRgb(b, x, y);
            if (compareAlpha) {
                const int aa = a.format() == PixelFormat::Rgba32 ? a.row(y)[4 * x + 3] : 255;
                const int ba = b.format() == PixelFormat::Rgba32 ? b.row(y)[4 * x + 3] : 255;
                same = aa == ba && (same || aa == 0);
            }
            diff += !same;
        }
    return diff;
}

// The picture mirrored left to right.
inline Image mirrored(const Image& src) {
    Image out = src;
    const int bpp = bytesPerPixel(src.format());
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x)
            std::copy_n(src.row(y) + (src.width() - 1 - x) * bpp, bpp, out.row(y) + x * bpp);
    return out;
}

// A colourful test picture with smooth areas, edges and an odd width; alpha
// varies when the layout has it.
inline Image testPicture(int w = 37, int h = 23, PixelFormat f = PixelFormat::Rgb24) {
    Image img(w, h, PixelFormat::Rgba32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, w - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, h - 1));
            p[2] = static_cast<std::uint8_t>((x / 4 + y / 3) % 2 ? 200 : 30);
            p[3] = static_cast<std::uint8_t>(x < w / 2 ? 255 : (x * 7 + y * 3) % 256);
        }
    if (f == PixelFormat::Rgba32) return img;
    Image out = toRgb24(img);
    return f == PixelFormat::Rgb24 ? out : toBitsPerPixel(out, 8);
}

// The picture a writer at `bits` is expected to store: the source reduced to
// that depth with the engine's own conversions.
inline Image expectedAt(const Image& src, int bits) { return toBitsPerPixel(src, bits); }

using rastel::test::readerNamed;

inline const FormatWriter& writerFor(int code) {
    const FormatWriter* w = Registry::instance().findWriter(code);
    if (!w) throw std::runtime_error("no writer for code " + std::to_string(code));
    return *w;
}

inline Document decode(const std::string& reader, const std::vector<std::uint8_t>& bytes) {
    return readerNamed(reader).read(bytes, ReadContext{"test"});
}

// Feeds prefixes of `file` shorter than `end` (about a hundred lengths) to the
// reader: each must throw Error, never crash. Returns the first length that
// was accepted, or -1 when every cut was refused.
inline long acceptedCut(const std::string& reader, const std::vector<std::uint8_t>& file, std::size_t end) {
    const std::size_t step = std::max<std::size_t>(1, end / 97);
    for (std::size_t n = 0; n < end; n += step) {
        try {
            (void)decode(reader, std::vector<std::uint8_t>(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
            return static_cast<long>(n);
        } catch (const Error&) {
        }
    }
    return -1;
}

// Saves `src` through the engine with every depth the writer offers for
// `code` and loads it back by file name: the reader must be found from the
// bytes and the extension, and give back the picture reduced to that depth.
inline void expectEngineRoundTrips(int code, const std::string& ext, const Image& src) {
    TempDir dir;
    for (int bits : writerFor(code).depths(code)) {
        const std::string path = dir.file("page" + std::to_string(bits) + ext);
        savePage(path, src, code, bits, 2);
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u) << path;
        EXPECT_EQ(pixelDifferences(doc.pages[0], toBitsPerPixel(src, bits), bits == 32), 0) << path;
        EXPECT_EQ(probePageCount(path), 1) << path;
    }
}

// Keeps a small generated file as a seed for fuzz target `target`
// (fuzz/seeds.sh picks up build/fuzz-seeds/<target>/).
inline void saveFuzzSeed(const std::string& target, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() > 64 * 1024) return;
    std::error_code ec;
    const fs::path dir = fs::path(RASTEL_BIN_DIR) / ".." / "fuzz-seeds" / target;
    fs::create_directories(dir, ec);
    if (!ec) writeBytes((dir / name).string(), bytes);
}

// Flips, zeroes and maximises bytes of a valid file (more often in the header,
// where the lengths live): every variant must decode or throw Error. Returns
// how many variants were decoded.
inline int survivesCorruption(const std::string& reader, const std::vector<std::uint8_t>& file, int variants = 400) {
    std::mt19937 rng(12345);
    int decoded = 0;
    for (int i = 0; i < variants; ++i) {
        std::vector<std::uint8_t> bad = file;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t limit = (rng() % 2) ? std::min<std::size_t>(bad.size(), 64) : bad.size();
            const std::size_t at = rng() % limit;
            switch (rng() % 4) {
            case 0: bad[at] = static_cast<std::uint8_t>(bad[at] ^ (1u << (rng() % 8))); break;
            case 1: bad[at] = 0; break;
            case 2: bad[at] = 0xFF; break;
            default: bad[at] = static_cast<std::uint8_t>(bad[at] + 1 + rng() % 3); break;
            }
        }
        try {
            (void)readerNamed(reader).pageCount(bad, ReadContext{"corrupt"});
        } catch (const Error&) {
        }
        try {
            const Document d = decode(reader, bad);
            decoded += !d.pages.empty();
        } catch (const Error&) {
        }
    }
    return decoded;
}

// Files of the shared corpus folder `ext`, by name.
inline std::vector<std::string> corpusFiles(const std::string& ext) {
    std::vector<std::string> out;
    const fs::path dir = fs::path(RASTEL_CORPUS_DIR) / ext;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace legacyb
