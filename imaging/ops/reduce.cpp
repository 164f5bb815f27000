#include "imaging/ops/reduce.h"

#include <algorithm>
#include <string>

#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/ops/dither.h"
#include "imaging/ops/quantise.h"

namespace rastel::imaging {

Image reduceColors(const Image& src, int bits, int dither) {
    if (bits < 1 || bits > 8) fail("reduce", "depth must be 1 to 8 bits, got " + std::to_string(bits));
    if (dither < kDitherNone || dither > kDitherCluster)
        fail("reduce", "unknown dithering code " + std::to_string(dither) + " (0 to 8)");
    if (src.empty()) fail("reduce", "empty image");
    Image rgbCopy;
    const Image* rgb = &src;
    const bool oneByte = src.format() == PixelFormat::Indexed || src.format() == PixelFormat::Gray8;
    if (!oneByte && src.format() != PixelFormat::Rgb24) {
        rgbCopy = toRgb24(src);
        rgb = &rgbCopy;
    }
    // A picture that already fits keeps its colours; at 1 bit only when those
    // are black and white, since one bit per pixel means a bilevel page.
    if (auto exact = exactIndexed(src, bits, rgb)) {
        const bool bilevel = std::all_of(exact->palette().begin(), exact->palette().end(), [](const Rgb& c) {
            return c == Rgb{0, 0, 0} || c == Rgb{255, 255, 255};
        });
        if (bits > 1 || bilevel) return std::move(*exact);
    }
    if (reducesToGray(src, bits)) {
        if (src.format() == PixelFormat::Gray8) return ditherGray(src, bits, dither);
        return ditherGray(toGray8(src), bits, dither);
    }
    if (oneByte) {
        rgbCopy = toRgb24(src);
        rgb = &rgbCopy;
    }
    return ditherColour(*rgb, optimisedPalette(*rgb, std::size_t{1} << bits), bits, dither);
}

}  // namespace rastel::imaging
