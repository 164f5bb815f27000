#pragma once

// Helpers shared by the PackBits, PSD, PICT and MacPaint tests: temporary
// folders, running the independent decoders installed on the machine, and
// test pictures.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/image.h"
#include "tests/support/test_support.h"

namespace legacya {

namespace fs = std::filesystem;
using rastel::imaging::Image;
using rastel::imaging::PixelFormat;
using rastel::imaging::Rgb;
using Bytes = std::vector<std::uint8_t>;
using rastel::test::TempDir;
inline Bytes readFile(const std::string& path) { return rastel::test::readBytes(path); }
inline void writeFile(const std::string& path, const Bytes& data) { rastel::test::writeBytes(path, data); }
inline std::string quote(const std::string& s) { return rastel::test::shellQuote(s); }

// Runs a shell command and returns its standard output, or nothing when it failed.
inline std::optional<Bytes> run(const std::string& cmd) {
    FILE* p = popen(("(" + cmd + ") 2>/dev/null").c_str(), "r");
    if (!p) return std::nullopt;
    Bytes out;
    std::array<char, 65536> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.insert(out.end(), buf.data(), buf.data() + n);
    const int status = pclose(p);
    if (status != 0) return std::nullopt;
    return out;
}

// Leaves a small generated file where fuzz/seeds.sh picks up seeds for `target`.
inline void saveFuzzSeed(const std::string& target, const std::string& name, const Bytes& data) {
    rastel::test::keepFuzzSeed(target, name, data);
}

// A decoded picture as 8-bit RGB.
struct Rgb8 {
    int width = 0, height = 0;
    Bytes pixels;
};

inline Rgb8 rgbOf(const Image& img) {
    const Image rgb = rastel::imaging::toRgb24(img);
    return {rgb.width(), rgb.height(), Bytes(rgb.data(), rgb.data() + rgb.byteSize())};
}

enum class Magick { Image, Graphics };

// ImageMagick's (or GraphicsMagick's) decoding of `path`, with an optional
// coder prefix such as "pict:".
inline std::optional<Rgb8> magickRgb(const std::string& path, const std::string& coder = "",
                                     Magick which = Magick::Image) {
    const std::string identify = which == Magick::Image ? "/usr/bin/identify" : "/usr/bin/gm identify";
    const std::string convert = which == Magick::Image ? "/usr/bin/convert" : "/usr/bin/gm convert";
    const auto size = run(identify + " -format '%w %h\\n' " + quote(coder + path + "[0]"));
    if (!size) return std::nullopt;
    Rgb8 r;
    std::istringstream(std::string(size->begin(), size->end())) >> r.width >> r.height;
    auto px = run(convert + " " + quote(coder + path + "[0]") + " -depth 8 rgb:-");
    if (!px || px->size() != std::size_t(r.width) * std::size_t(r.height) * 3) return std::nullopt;
    r.pixels = std::move(*px);
    return r;
}

// Pillow's decoding of `path`: its mode and the pixels converted to RGB.
struct PillowResult {
    std::string mode;
    Rgb8 rgb;
};

inline std::optional<PillowResult> pillowRgb(const std::string& path) {
    const std::string script =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim.load()\n"
        "sys.stdout.buffer.write((\"%s %d %d\\n\" % (im.mode, im.size[0], im.size[1])).encode())\n"
        "sys.stdout.buffer.write(im.convert(\"RGB\").tobytes())\n";
    const auto out = run("/usr/bin/python3 -c " + quote(script) + " " + quote(path));
    if (!out) return std::nullopt;
    const auto nl = std::find(out->begin(), out->end(), '\n');
    if (nl == out->end()) return std::nullopt;
    PillowResult r;
    std::istringstream(std::string(out->begin(), nl)) >> r.mode >> r.rgb.width >> r.rgb.height;
    r.rgb.pixels.assign(nl + 1, out->end());
    if (r.rgb.pixels.size() != std::size_t(r.rgb.width) * std::size_t(r.rgb.height) * 3) return std::nullopt;
    return r;
}

// Largest difference of any sample, or -1 when the sizes differ.
inline int maxDiff(const Rgb8& a, const Rgb8& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return -1;
    int m = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) m = std::max(m, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    return m;
}

// Test pictures. Each has some structure (edges, runs, gradients) so that
// run-length coding, bit packing and row order all get exercised.
enum class Picture { Photo, TwoColours, SixteenColours, ManyColours, Gray };

inline Image makePicture(Picture kind, int w, int h) {
    Image img(w, h, PixelFormat::Rgb24);
    static const Rgb sixteen[16] = {{0, 0, 0},     {255, 255, 255}, {255, 0, 0},   {0, 255, 0},
                                    {0, 0, 255},   {255, 255, 0},   {0, 255, 255}, {255, 0, 255},
                                    {128, 0, 0},   {0, 128, 0},     {0, 0, 128},   {128, 128, 0},
                                    {0, 128, 128}, {128, 0, 128},   {192, 192, 192}, {64, 64, 64}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            Rgb c;
            switch (kind) {
            case Picture::Photo:
                c = {static_cast<std::uint8_t>(x * 255 / std::max(1, w - 1)),
                     static_cast<std::uint8_t>(y * 255 / std::max(1, h - 1)),
                     static_cast<std::uint8_t>((x * 7 + y * 13) % 256)};
                break;
            case Picture::TwoColours:
                c = ((x / 5 + y / 3) % 3 == 0 || x == y) ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
                break;
            case Picture::SixteenColours: c = sixteen[(x / 4 + y / 2 + (x > w / 2 ? 5 : 0)) % 16]; break;
            case Picture::ManyColours: {
                const int i = (x / 2 + y * 3) % 200;
                c = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 5)};
                break;
            }
            case Picture::Gray: {
                const auto v = static_cast<std::uint8_t>((x * 3 + y * 5) % 256);
                c = {v, v, v};
                break;
            }
            }
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    return img;
}

}  // namespace legacya
