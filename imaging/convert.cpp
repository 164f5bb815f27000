#include "imaging/convert.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "imaging/error.h"
#include "imaging/ops/dither.h"
#include "imaging/ops/quantise.h"

namespace rastel::imaging {

namespace {

inline std::uint8_t luma(int r, int g, int b) {
    return static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

inline Rgb from555(const std::uint8_t* p) {
    const unsigned v = p[0] | (p[1] << 8);
    const unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
    return {static_cast<std::uint8_t>((r << 3) | (r >> 2)), static_cast<std::uint8_t>((g << 3) | (g >> 2)),
            static_cast<std::uint8_t>((b << 3) | (b >> 2))};
}

// A colour sample of alpha `a` composited onto white, exactly rounded:
// (c a + 255 (255 - a)) / 255. 255 is odd, so no quotient ends in one half.
inline std::uint8_t onWhite(unsigned c, unsigned a) {
    return static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
}

inline Rgb rgbaOnWhite(const std::uint8_t* p) {
    const unsigned a = p[3];
    if (a == 255) return {p[0], p[1], p[2]};
    return {onWhite(p[0], a), onWhite(p[1], a), onWhite(p[2], a)};
}

Image sameShape(const Image& src, PixelFormat f, int bits = 8) {
    Image out(src.width(), src.height(), f, bits);
    out.xDpi = src.xDpi;
    out.yDpi = src.yDpi;
    out.metadata = src.metadata;
    return out;
}

// Calls f(x, rgb) for every pixel of row y; an Rgba32 pixel gives its colour
// composited onto white, as every layout without alpha shows it.
template <typename F>
void forEachRgb(const Image& src, int y, F&& f) {
    const std::uint8_t* s = src.row(y);
    const int w = src.width();
    switch (src.format()) {
    case PixelFormat::Indexed: {
        const auto& pal = src.palette();
        for (int x = 0; x < w; ++x) f(x, s[x] < pal.size() ? pal[s[x]] : Rgb{0, 0, 0});
        break;
    }
    case PixelFormat::Gray8:
        for (int x = 0; x < w; ++x) f(x, Rgb{s[x], s[x], s[x]});
        break;
    case PixelFormat::Rgb555:
        for (int x = 0; x < w; ++x) f(x, from555(s + 2 * x));
        break;
    case PixelFormat::Rgb24:
        for (int x = 0; x < w; ++x) f(x, Rgb{s[3 * x], s[3 * x + 1], s[3 * x + 2]});
        break;
    case PixelFormat::Rgba32:
        for (int x = 0; x < w; ++x) f(x, rgbaOnWhite(s + 4 * x));
        break;
    }
}

}  // namespace

bool isGrayPalette(const std::vector<Rgb>& palette) {
    return std::all_of(palette.begin(), palette.end(), [](const Rgb& c) { return c.r == c.g && c.g == c.b; });
}

Rgb pixelRgb(const Image& img, int x, int y) {
    const std::uint8_t* s = img.row(y);
    switch (img.format()) {
    case PixelFormat::Indexed: return s[x] < img.palette().size() ? img.palette()[s[x]] : Rgb{};
    case PixelFormat::Gray8: return {s[x], s[x], s[x]};
    case PixelFormat::Rgb555: return from555(s + 2 * x);
    case PixelFormat::Rgb24: return {s[3 * x], s[3 * x + 1], s[3 * x + 2]};
    case PixelFormat::Rgba32: return {s[4 * x], s[4 * x + 1], s[4 * x + 2]};
    }
    return {};
}

Rgb pixelOnWhite(const Image& img, int x, int y) {
    if (img.format() == PixelFormat::Rgba32) return rgbaOnWhite(img.row(y) + 4 * x);
    return pixelRgb(img, x, y);
}

Image toRgb24(const Image& src) {
    if (src.format() == PixelFormat::Rgb24) return src;
    Image out = sameShape(src, PixelFormat::Rgb24);
    for (int y = 0; y < src.height(); ++y) {
        std::uint8_t* d = out.row(y);
        forEachRgb(src, y, [d](int x, Rgb c) {
            d[3 * x] = c.r;
            d[3 * x + 1] = c.g;
            d[3 * x + 2] = c.b;
        });
    }
    return out;
}

Image toRgba32(const Image& src) {
    if (src.format() == PixelFormat::Rgba32) return src;
    Image out = sameShape(src, PixelFormat::Rgba32);
    for (int y = 0; y < src.height(); ++y) {
        std::uint8_t* d = out.row(y);
        forEachRgb(src, y, [d](int x, Rgb c) {
            d[4 * x] = c.r;
            d[4 * x + 1] = c.g;
            d[4 * x + 2] = c.b;
            d[4 * x + 3] = 255;
        });
    }
    return out;
}

Image toRgb555(const Image& src) {
    if (src.format() == PixelFormat::Rgb555) return src;
    Image out = sameShape(src, PixelFormat::Rgb555);
    for (int y = 0; y < src.height(); ++y) {
        std::uint8_t* d = out.row(y);
        forEachRgb(src, y, [d](int x, Rgb c) {
            const unsigned v = ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3);
            d[2 * x] = static_cast<std::uint8_t>(v);
            d[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
        });
    }
    return out;
}

Image toGray8(const Image& src) {
    if (src.format() == PixelFormat::Gray8) return src;
    Image out = sameShape(src, PixelFormat::Gray8);
    if (src.format() == PixelFormat::Indexed) {
        std::uint8_t lut[256] = {};
        const auto& pal = src.palette();
        for (std::size_t i = 0; i < pal.size() && i < 256; ++i) lut[i] = luma(pal[i].r, pal[i].g, pal[i].b);
        for (int y = 0; y < src.height(); ++y) {
            const std::uint8_t* s = src.row(y);
            std::uint8_t* d = out.row(y);
            for (int x = 0; x < src.width(); ++x) d[x] = lut[s[x]];
        }
        return out;
    }
    for (int y = 0; y < src.height(); ++y) {
        std::uint8_t* d = out.row(y);
        forEachRgb(src, y, [d](int x, Rgb c) { d[x] = luma(c.r, c.g, c.b); });
    }
    return out;
}

Image toIndexed(const Image& src, int bits) {
    if (bits < 1 || bits > 8) fail("convert", "indexed depth must be 1 to 8 bits, got " + std::to_string(bits));
    const std::size_t maxColours = std::size_t{1} << bits;
    if (src.format() == PixelFormat::Indexed) {
        // Keep the palette when every index in use fits the new depth.
        std::uint8_t maxIndex = 0;
        for (int y = 0; y < src.height(); ++y) {
            const std::uint8_t* s = src.row(y);
            maxIndex = std::max(maxIndex, *std::max_element(s, s + src.width()));
        }
        if (maxIndex < maxColours && src.palette().size() > maxIndex) {
            Image out = src;
            out.setIndexBits(bits);
            if (out.palette().size() > maxColours) out.palette().resize(maxColours);
            return out;
        }
    }
    if (src.format() == PixelFormat::Gray8 && bits == 8) {
        Image out = sameShape(src, PixelFormat::Indexed, 8);
        std::memcpy(out.data(), src.data(), src.byteSize());
        out.palette() = grayPalette(8);
        return out;
    }
    // Exact palette when the picture has few enough distinct colours.
    std::unordered_map<std::uint32_t, std::uint8_t> index;
    std::vector<Rgb> palette;
    bool fits = true;
    Image out = sameShape(src, PixelFormat::Indexed, bits);
    for (int y = 0; y < src.height() && fits; ++y) {
        std::uint8_t* d = out.row(y);
        forEachRgb(src, y, [&](int x, Rgb c) {
            if (!fits) return;
            const std::uint32_t key = (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b;
            auto it = index.find(key);
            if (it == index.end()) {
                if (palette.size() == maxColours) {
                    fits = false;
                    return;
                }
                it = index.emplace(key, static_cast<std::uint8_t>(palette.size())).first;
                palette.push_back(c);
            }
            d[x] = it->second;
        });
    }
    if (fits) {
        out.palette() = std::move(palette);
        return out;
    }
    // Too many colours: nearest entries of gray levels or an optimised palette.
    if (reducesToGray(src, bits)) {
        if (src.format() == PixelFormat::Gray8) return ditherGray(src, bits, kDitherNone);
        return ditherGray(toGray8(src), bits, kDitherNone);
    }
    if (src.format() == PixelFormat::Rgb24)
        return ditherColour(src, optimisedPalette(src, maxColours), bits, kDitherNone);
    const Image rgb = toRgb24(src);
    return ditherColour(rgb, optimisedPalette(rgb, maxColours), bits, kDitherNone);
}

Image toBitsPerPixel(const Image& src, int bits) {
    switch (bits) {
    case 16: return toRgb555(src);
    case 24: return toRgb24(src);
    case 32: return toRgba32(src);
    default:
        if (bits >= 1 && bits <= 8) return toIndexed(src, bits);
        fail("convert", "unsupported depth of " + std::to_string(bits) + " bits per pixel");
    }
}

const Image& inFormat(const Image& src, PixelFormat format, Image& scratch) {
    if (src.format() == format) return src;
    switch (format) {
    case PixelFormat::Gray8: scratch = toGray8(src); break;
    case PixelFormat::Rgb555: scratch = toRgb555(src); break;
    case PixelFormat::Rgb24: scratch = toRgb24(src); break;
    case PixelFormat::Rgba32: scratch = toRgba32(src); break;
    case PixelFormat::Indexed: fail("convert", "an indexed layout needs a depth");
    }
    return scratch;
}

const Image& atBitsPerPixel(const Image& src, int bits, Image& scratch) {
    switch (bits) {
    case 16: return inFormat(src, PixelFormat::Rgb555, scratch);
    case 24: return inFormat(src, PixelFormat::Rgb24, scratch);
    case 32: return inFormat(src, PixelFormat::Rgba32, scratch);
    default: scratch = toBitsPerPixel(src, bits); return scratch;
    }
}

}  // namespace rastel::imaging
