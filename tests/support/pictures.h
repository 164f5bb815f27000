#pragma once

// Deterministic test pictures, made at run time, and comparisons between
// pictures. Each picture has some structure (edges, runs, gradients, noise)
// so that run-length coding, bit packing and row order all get exercised.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/image.h"

namespace rastel::test {

using imaging::Image;
using imaging::PixelFormat;
using imaging::Rgb;

enum class Picture { Photo, TwoColours, SixteenColours, ManyColours, Gray };

// An Rgb24 picture of the given kind.
inline Image makePicture(Picture kind, int w, int h) {
    Image img(w, h, PixelFormat::Rgb24);
    static const Rgb sixteen[16] = {{0, 0, 0},     {255, 255, 255}, {255, 0, 0},     {0, 255, 0},
                                    {0, 0, 255},   {255, 255, 0},   {0, 255, 255},   {255, 0, 255},
                                    {128, 0, 0},   {0, 128, 0},     {0, 0, 128},     {128, 128, 0},
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
                c = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                     static_cast<std::uint8_t>(i * 5)};
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

// A colourful picture with smooth areas, edges and an odd width, in layout
// `f` (Rgba32, Rgb24 or 8-bit indexed); alpha varies when the layout has it.
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
    Image out = imaging::toRgb24(img);
    return f == PixelFormat::Rgb24 ? out : imaging::toBitsPerPixel(out, 8);
}

// The picture a writer at `bits` is expected to store: the source reduced to
// that depth with the engine's own conversions.
inline Image expectedAt(const Image& src, int bits) { return imaging::toBitsPerPixel(src, bits); }

// The picture mirrored left to right.
inline Image mirrored(const Image& src) {
    Image out = src;
    const int bpp = imaging::bytesPerPixel(src.format());
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x)
            std::copy_n(src.row(y) + (src.width() - 1 - x) * bpp, bpp, out.row(y) + x * bpp);
    return out;
}

// A 1-bit page with long runs, short runs, isolated pixels and full black
// lines, so that every kind of fax code (make-up, terminating, pass,
// vertical, horizontal) turns up. Index 1 is black, index 0 white, as the fax
// decoders produce.
inline Image bilevelPage(int width, int height, std::uint32_t seed = 1) {
    Image img(width, height, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    std::uint32_t s = seed * 2654435761u + 12345u;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = img.row(y);
        for (int x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            bool black = ((x / 9 + y / 5) % 4 == 0);
            if (y % 17 == 3) black = true;
            if (x % 101 == 50) black = !black;
            if ((s >> 24) < 6) black = !black;
            row[x] = black ? 1 : 0;
        }
    }
    return img;
}

// A 1-bit page of dense noise, for data larger than one IOCA or MO:DCA piece.
inline Image noisePage(int width, int height) {
    Image img(width, height, PixelFormat::Indexed, 1);
    img.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
    std::uint32_t s = 77;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            img.row(y)[x] = (s >> 28) < 5 ? 1 : 0;
        }
    return img;
}

inline int luma(Rgb c) { return (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000; }

inline bool isBlack(const Image& img, int x, int y) { return luma(imaging::pixelRgb(img, x, y)) < 128; }

// Whether two pages show the same black pixels (any layouts).
inline bool sameBlackPixels(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (isBlack(a, x, y) != isBlack(b, x, y)) return false;
    return true;
}

// Whether `big` shows `page` at its top left and only white elsewhere (fax
// tools pad lines to a fax width and count end-of-page marks as extra white
// lines).
inline bool showsPageThenWhite(const Image& big, const Image& page) {
    if (big.width() < page.width() || big.height() < page.height()) return false;
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x) {
            const bool inside = x < page.width() && y < page.height();
            if (isBlack(big, x, y) != (inside && isBlack(page, x, y))) return false;
        }
    return true;
}

// `row` repeated `times` times: the expected colours of identical rows.
inline std::vector<Rgb> repeatRow(const std::vector<Rgb>& row, int times) {
    std::vector<Rgb> out;
    for (int i = 0; i < times; ++i) out.insert(out.end(), row.begin(), row.end());
    return out;
}

// Every layout the engine holds pictures in.
struct Layout {
    PixelFormat format;
    int bits;  // index depth for Indexed, else 8
    std::string name() const {
        return std::string(imaging::formatName(format)) +
               (format == PixelFormat::Indexed ? " " + std::to_string(bits) : "");
    }
};

inline std::vector<Layout> allLayouts() {
    std::vector<Layout> v;
    for (int b = 1; b <= 8; ++b) v.push_back({PixelFormat::Indexed, b});
    v.push_back({PixelFormat::Gray8, 8});
    v.push_back({PixelFormat::Rgb555, 8});
    v.push_back({PixelFormat::Rgb24, 8});
    v.push_back({PixelFormat::Rgba32, 8});
    return v;
}

// Small linear congruential generator: same numbers on every platform.
struct Lcg {
    std::uint32_t s;
    std::uint32_t next() {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    }
};

// Noise-like content: every pixel differs from its neighbours so any moved,
// dropped or duplicated pixel shows. Indexed images get a full palette of
// distinct colours; Rgb555 keeps its unused top bit clear.
inline Image noiseImage(const Layout& l, int w, int h, std::uint32_t seed = 7) {
    Image img(w, h, l.format, l.bits);
    Lcg rng{seed};
    if (l.format == PixelFormat::Indexed) {
        const int n = 1 << l.bits;
        for (int i = 0; i < n; ++i)
            img.palette().push_back({static_cast<std::uint8_t>(i * 37 + 11), static_cast<std::uint8_t>(255 - i),
                                     static_cast<std::uint8_t>(i * 91)});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                img.row(y)[x] = static_cast<std::uint8_t>(rng.next() % static_cast<unsigned>(n));
    } else {
        for (int y = 0; y < h; ++y)
            for (std::size_t i = 0; i < img.stride(); ++i) img.row(y)[i] = static_cast<std::uint8_t>(rng.next());
        if (l.format == PixelFormat::Rgb555)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) img.row(y)[2 * x + 1] &= 0x7F;
    }
    img.xDpi = 300;
    img.yDpi = 150;
    return img;
}

// The bytes of pixel (x, y).
inline std::vector<std::uint8_t> pixelBytes(const Image& img, int x, int y) {
    const int n = imaging::bytesPerPixel(img.format());
    const std::uint8_t* p = img.row(y) + static_cast<std::size_t>(x) * n;
    return {p, p + n};
}

// The samples of `img` as Rgb24, row after row.
inline std::vector<std::uint8_t> rgb24Bytes(const Image& img) {
    const Image rgb = imaging::toRgb24(img);
    return {rgb.data(), rgb.data() + rgb.byteSize()};
}

// Calls `f` with the colour differences (red, green, blue) of every pixel of
// two pictures of the same size, in any layouts.
template <typename F>
void forEachRgbDifference(const Image& a, const Image& b, F f) {
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const Rgb p = imaging::pixelRgb(a, x, y), r = imaging::pixelRgb(b, x, y);
            f(p.r - r.r, p.g - r.g, p.b - r.b);
        }
}

inline bool sameSize(const Image& a, const Image& b) { return a.width() == b.width() && a.height() == b.height(); }

// The largest difference of any colour channel; 1000 when the sizes differ.
inline int maxRgbDiff(const Image& a, const Image& b) {
    if (!sameSize(a, b)) return 1000;
    int worst = 0;
    forEachRgbDifference(a, b, [&](int r, int g, int bl) {
        worst = std::max({worst, std::abs(r), std::abs(g), std::abs(bl)});
    });
    return worst;
}

// The mean difference of the colour channels; 1000 when the sizes differ.
inline double meanRgbDiff(const Image& a, const Image& b) {
    if (!sameSize(a, b)) return 1000;
    long sum = 0;
    forEachRgbDifference(a, b, [&](int r, int g, int bl) { sum += std::abs(r) + std::abs(g) + std::abs(bl); });
    return double(sum) / (3.0 * a.width() * a.height());
}

// Peak signal-to-noise ratio of the colours in dB: 99 for equal pictures, 0
// when their sizes differ.
inline double psnr(const Image& a, const Image& b) {
    if (!sameSize(a, b)) return 0;
    double sum = 0;
    forEachRgbDifference(a, b, [&](int r, int g, int bl) { sum += r * r + g * g + bl * bl; });
    const double mse = sum / (3.0 * a.width() * a.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Same size, layout, depth, palette and pixels.
inline bool identical(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.format() != b.format() ||
        a.indexBits() != b.indexBits() || a.palette() != b.palette())
        return false;
    for (int y = 0; y < a.height(); ++y)
        if (!std::equal(a.row(y), a.row(y) + a.stride(), b.row(y))) return false;
    return true;
}

}  // namespace rastel::test
