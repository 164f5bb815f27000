#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// The page as a 1-bit Indexed image whose value 1 means ink (black) and 0 paper
// (white), with the palette {white, black}: the bit sense of MacPaint, QuickDraw
// bitmaps and Photoshop bitmap mode. A page of more than two colours is first
// reduced to two (convert.h); of two colours the darker becomes ink, a single
// colour is ink when it is darker than mid-gray.
Image toInkBits(const Image& page);

}  // namespace rastel::imaging
