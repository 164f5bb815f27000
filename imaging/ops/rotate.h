#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// Turns the picture by hundredthsOfDegree (positive = clockwise, any sign and
// any number of turns). With grow the canvas is enlarged to hold the whole
// turned picture; without it the canvas keeps the source size and the turned
// picture is centred on it, cut where it overhangs. Uncovered canvas is `fill`.
//
// Multiples of 90 degrees move pixels exactly (no resampling). Other angles
// sample the source by inverse mapping: bilinear for gray and RGB layouts
// (RGBA with alpha-weighted colours; its uncovered canvas is `fill`, opaque),
// nearest neighbour on the index for indexed images so the palette stays
// valid. An indexed result gets `fill` as a palette entry when the canvas shows
// it: the existing entry when one matches, a new entry when the palette has
// room for the index depth, else the nearest existing entry.
// Resolution is kept (x and y swap for quarter and three-quarter turns).
Image rotate(const Image& src, int hundredthsOfDegree, bool grow, Rgb fill);

}  // namespace rastel::imaging
