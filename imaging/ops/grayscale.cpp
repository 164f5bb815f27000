#include "imaging/ops/grayscale.h"

#include "imaging/convert.h"

namespace rastel::imaging {

// toGray8 already holds the luma arithmetic (and a per-palette table for
// indexed sources), so the operation is that conversion under its own name.
Image convertToGrayscale(const Image& src) { return toGray8(src); }

}  // namespace rastel::imaging
