#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// Layout conversions used by writers and operations. None of them changes the
// picture beyond what the target layout forces; resolution is kept. An Rgba32
// source converted to a layout without alpha shows its pixels composited onto
// white: c' = (c a + 255 (255 - a)) / 255, rounded; opaque pixels are copied.

Image toRgb24(const Image& src);
Image toRgba32(const Image& src);  // alpha 255 where the source has none
Image toRgb555(const Image& src);
// BT.601 luma: (299 R + 587 G + 114 B) / 1000, rounded.
Image toGray8(const Image& src);
// Indexed at `bits` (1..8). Exact when the picture has at most 2^bits distinct
// colours (an indexed source keeps its palette order when it fits); otherwise
// the colours are quantised to an optimised palette without dithering.
Image toIndexed(const Image& src, int bits);
// The layout a file of `bits` bits per pixel holds: 1..8 Indexed, 16 Rgb555,
// 24 Rgb24, 32 Rgba32.
Image toBitsPerPixel(const Image& src, int bits);

// `src` itself when it already has `format` (Gray8, Rgb555, Rgb24 or Rgba32),
// else its conversion kept in `scratch`: a writer reads a page that is ready
// without copying it. The result refers to `src` or `scratch`, so both must
// outlive it.
const Image& inFormat(const Image& src, PixelFormat format, Image& scratch);
// The same for the layout of toBitsPerPixel(src, bits); indexed depths are
// always converted, since their palette may be reordered.
const Image& atBitsPerPixel(const Image& src, int bits, Image& scratch);

// Whether every palette entry is gray (r == g == b).
bool isGrayPalette(const std::vector<Rgb>& palette);
// The colour of pixel x of row y as RGB (any layout); the colour samples of an
// Rgba32 pixel as stored, whatever its alpha.
Rgb pixelRgb(const Image& img, int x, int y);
// The colour pixel x of row y shows without alpha: an Rgba32 pixel composited
// onto white, any other as pixelRgb.
Rgb pixelOnWhite(const Image& img, int x, int y);

}  // namespace rastel::imaging
