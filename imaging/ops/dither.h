#pragma once

#include <vector>

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

// A Gray8 picture as an Indexed image of `bits` bits over grayLevels(bits),
// dithered with `code` (0..8).
Image ditherGray(const Image& gray, int bits, int code);

// An Rgb24 picture as an Indexed image of `bits` bits over `palette` (at most
// 2^bits entries), dithered with `code` (0..8).
Image ditherColour(const Image& rgb, const std::vector<Rgb>& palette, int bits, int code);

}  // namespace rastel::imaging
