#pragma once

// Independent decoders the interop tests compare against (ImageMagick,
// GraphicsMagick, Pillow, netpbm), run as separate programs, and pixel
// comparisons between their results and ours.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/image.h"
#include "tests/support/test_support.h"

namespace rastel::test {

// A decoded picture as 8-bit RGB samples.
struct Rgb8 {
    int width = 0, height = 0;
    Bytes pixels;
};

// An Rgba32 picture's colour samples, its alpha dropped.
inline Rgb8 withoutAlpha(const imaging::Image& rgba) {
    Rgb8 r{rgba.width(), rgba.height(), {}};
    r.pixels.reserve(static_cast<std::size_t>(rgba.width()) * static_cast<std::size_t>(rgba.height()) * 3);
    for (int y = 0; y < rgba.height(); ++y)
        for (int x = 0; x < rgba.width(); ++x)
            r.pixels.insert(r.pixels.end(), rgba.row(y) + 4 * x, rgba.row(y) + 4 * x + 3);
    return r;
}

// Our picture as 8-bit RGB; an Rgba32 picture gives its colour samples as
// stored (alpha dropped, not composited), like the references below.
inline Rgb8 rgbOf(const imaging::Image& img) {
    if (img.format() == imaging::PixelFormat::Rgba32) return withoutAlpha(img);
    const imaging::Image rgb = imaging::toRgb24(img);
    return {rgb.width(), rgb.height(), Bytes(rgb.data(), rgb.data() + rgb.byteSize())};
}

// Splits a tool's "header line\n" + raw RGBA samples into the header and an
// Rgba32 picture of the size the header gives after its first `skip` words.
inline std::optional<imaging::Image> rgbaAfterHeader(const Bytes& out, int skip, std::string* firstWord) {
    const auto nl = std::find(out.begin(), out.end(), '\n');
    if (nl == out.end()) return std::nullopt;
    std::istringstream head(std::string(out.begin(), nl));
    std::string word;
    for (int i = 0; i < skip; ++i) head >> word;
    if (firstWord) *firstWord = word;
    int w = 0, h = 0;
    if (!(head >> w >> h) || w <= 0 || h <= 0) return std::nullopt;
    imaging::Image img(w, h, imaging::PixelFormat::Rgba32);
    if (static_cast<std::size_t>(out.end() - nl - 1) != img.byteSize()) return std::nullopt;
    std::copy(nl + 1, out.end(), img.data());
    return img;
}

enum class Magick { Image, Graphics };

// ImageMagick's (or GraphicsMagick's) decoding of the first frame of `source`,
// a path optionally behind a coder prefix such as "pict:", as Rgba32.
inline std::optional<imaging::Image> magickDecode(const std::string& source, Magick which = Magick::Image) {
    const std::string tool = which == Magick::Image ? "/usr/bin/" : "/usr/bin/gm ";
    const std::string frame = shellQuote(source + "[0]");
    const auto size = output(tool + "identify -format '%w %h' " + frame);
    const auto pixels = output(tool + "convert " + frame + " -depth 8 rgba:-");
    if (!size || !pixels) return std::nullopt;
    Bytes out(size->begin(), std::find(size->begin(), size->end(), '\n'));
    out.push_back('\n');
    out.insert(out.end(), pixels->begin(), pixels->end());
    return rgbaAfterHeader(out, 0, nullptr);
}

// Pillow's decoding of `path` as Rgba32 (alpha 255 where the file has none);
// `mode` gets the mode Pillow reports.
inline std::optional<imaging::Image> pillowDecode(const std::string& path, std::string* mode = nullptr) {
    const std::string script =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim.load()\n"
        "sys.stdout.buffer.write((\"%s %d %d\\n\" % (im.mode, im.size[0], im.size[1])).encode())\n"
        "alpha = im.mode in (\"RGBA\", \"LA\", \"PA\", \"P\", \"RGBa\", \"La\")\n"
        "sys.stdout.buffer.write((im if alpha else im.convert(\"RGB\")).convert(\"RGBA\").tobytes())\n";
    const auto out = output("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(path));
    if (!out) return std::nullopt;
    return rgbaAfterHeader(*out, 1, mode);
}

// The decoders above as 8-bit RGB, nothing when the tool failed.
inline std::optional<Rgb8> magickRgb(const std::string& path, const std::string& coder = "",
                                     Magick which = Magick::Image) {
    const auto img = magickDecode(coder + path, which);
    if (!img) return std::nullopt;
    return withoutAlpha(*img);
}

struct PillowResult {
    std::string mode;
    Rgb8 rgb;
};

inline std::optional<PillowResult> pillowRgb(const std::string& path) {
    PillowResult r;
    const auto img = pillowDecode(path, &r.mode);
    if (!img) return std::nullopt;
    r.rgb = withoutAlpha(*img);
    return r;
}

// The decoders above as Rgba32; throw when the tool failed.
inline imaging::Image pillowRgba(const std::string& path, std::string* mode = nullptr) {
    auto img = pillowDecode(path, mode);
    if (!img) throw std::runtime_error("Pillow could not read " + path);
    return std::move(*img);
}

inline imaging::Image magickRgba(const std::string& path, bool gm = false) {
    auto img = magickDecode(path, gm ? Magick::Graphics : Magick::Image);
    if (!img)
        throw std::runtime_error((gm ? "GraphicsMagick" : "ImageMagick") + std::string(" could not read ") + path);
    return std::move(*img);
}

// Runs `command` with %s replaced by a PPM file of `rgb` (Rgb24) and %o by an
// output file named with `outExt`; returns what the command wrote there
// (empty when it failed).
inline Bytes convertWithTool(std::string command, const imaging::Image& rgb, const std::string& outExt) {
    TempDir dir;
    const std::string in = dir.file("src.ppm"), out = dir.file("out" + outExt);
    writePnm(in, rgb);
    command.replace(command.find("%s"), 2, shellQuote(in));
    command.replace(command.find("%o"), 2, shellQuote(out));
    if (!runQuiet(command)) return {};
    return readBytes(out);
}

// A netpbm converter's (such as "pcxtoppm") decoding of the file at `path`,
// as Rgb24; nothing when the tool failed.
inline std::optional<imaging::Image> netpbmRead(const std::string& tool, const std::string& path) {
    const auto pnm = output(tool + " " + shellQuote(path));
    if (!pnm) return std::nullopt;
    return parsePnm(*pnm);
}

// A binary PBM/PGM/PPM file as Rgb24; an empty image when it is not one.
inline imaging::Image readPnmFile(const std::string& path) {
    try {
        return parsePnm(readBytes(path));
    } catch (const std::exception&) {
        return imaging::Image();
    }
}

// Largest difference of any sample, or -1 when the sizes differ.
inline int maxDiff(const Rgb8& a, const Rgb8& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return -1;
    int m = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) m = std::max(m, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    return m;
}

// Number of pixels whose colours differ. With `compareAlpha`, alpha must agree
// too and the colour of pixels transparent in both does not count (decoders
// differ in what they put there).
inline int pixelDifferences(const imaging::Image& a, const imaging::Image& b, bool compareAlpha = false) {
    using imaging::PixelFormat;
    if (a.width() != b.width() || a.height() != b.height()) return -1;
    int diff = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            bool same = imaging::pixelRgb(a, x, y) == imaging::pixelRgb(b, x, y);
            if (compareAlpha) {
                const int aa = a.format() == PixelFormat::Rgba32 ? a.row(y)[4 * x + 3] : 255;
                const int ba = b.format() == PixelFormat::Rgba32 ? b.row(y)[4 * x + 3] : 255;
                same = aa == ba && (same || aa == 0);
            }
            diff += !same;
        }
    return diff;
}

}  // namespace rastel::test
