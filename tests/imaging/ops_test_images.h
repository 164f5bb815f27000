#pragma once

// Deterministic test pictures in every layout the engine holds, shared by the
// pixel-operation tests.

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/image.h"

namespace ops_test {

using rastel::imaging::Image;
using rastel::imaging::PixelFormat;
using rastel::imaging::Rgb;

struct Layout {
    PixelFormat format;
    int bits;  // index depth for Indexed, else 8
    std::string name() const {
        return std::string(rastel::imaging::formatName(format)) + (format == PixelFormat::Indexed ? " " + std::to_string(bits) : "");
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
            for (int x = 0; x < w; ++x) img.row(y)[x] = static_cast<std::uint8_t>(rng.next() % static_cast<unsigned>(n));
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
    const int n = rastel::imaging::bytesPerPixel(img.format());
    const std::uint8_t* p = img.row(y) + static_cast<std::size_t>(x) * n;
    return {p, p + n};
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

inline int luma(Rgb c) { return (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000; }

}  // namespace ops_test
