#pragma once

#include "imaging/image.h"
#include "imaging/ops/dither.h"

namespace rastel::imaging {

// Reduces `src` to an Indexed image of `bits` (1..8) bits, dithered with
// `dither`; resolution kept. Throws Error for bits or codes out of range.
//
// Palette: a picture that already has at most 2^bits distinct colours keeps
// exactly those colours (nothing to dither, whatever the code). Otherwise
// 1 bit gives black and white, a gray source evenly spaced grays, and a colour
// source an optimised palette (variance-minimising box splitting over a
// 32x32x32 histogram spanning the picture's own channel ranges, refined by
// k-means on the histogram cells).
//
// Error diffusion (codes 1..6) scans serpentine: even rows left to right, odd
// rows right to left with the kernel mirrored. Ordered (7, 8x8 Bayer) and
// clustered dot (8, 8x8 clustered-dot screen) add the threshold offset to
// every channel before the nearest-colour lookup. An RGBA source is reduced
// as it shows composited onto white.
Image reduceColors(const Image& src, int bits, int dither);

}  // namespace rastel::imaging
