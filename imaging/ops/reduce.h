#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// Dithering codes of the colour reduction.
enum DitherCode {
    kDitherNone = 0,
    kDitherFloydSteinberg = 1,
    kDitherBurkes = 2,
    kDitherStucki = 3,
    kDitherSierra = 4,
    kDitherStevensonArce = 5,
    kDitherJarvis = 6,
    kDitherOrdered = 7,
    kDitherCluster = 8,
};

// Reduces `src` to an Indexed image of `bits` (1..8) bits with an optimised
// palette of at most 2^bits colours (black and white for 1 bit, grays for a
// gray source), dithered with `dither`. Throws Error for bits or codes out of range.
Image reduceColors(const Image& src, int bits, int dither);

}  // namespace rastel::imaging
