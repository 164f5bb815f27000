#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "imaging/image.h"

namespace rastel::imaging {

// Palette choice for colour reduction. Nothing here converts layouts, so the
// layout conversions can build on it.

// An Indexed image of `bits` bits with the size and resolution of `src`,
// pixels not yet set.
Image blankIndexed(const Image& src, int bits);

// The picture with its own colours when it has at most 2^bits of them (an
// Indexed or Gray8 source is read directly, any other from `rgb`, its Rgb24
// form); nothing when it has more.
std::optional<Image> exactIndexed(const Image& src, int bits, const Image* rgb);

// Whether a reduction of `src` to `bits` bits uses gray levels: at 1 bit, and
// for gray sources.
bool reducesToGray(const Image& src, int bits);

// The gray levels of a gray reduction: black and white at 1 bit, otherwise
// 2^bits evenly spaced grays.
std::vector<Rgb> grayLevels(int bits);

// At most `colours` entries for an Rgb24 picture: variance-minimising box
// splitting over a 32x32x32 histogram spanning the picture's own channel
// ranges, refined by k-means on the histogram cells.
std::vector<Rgb> optimisedPalette(const Image& rgb, std::size_t colours);

}  // namespace rastel::imaging
