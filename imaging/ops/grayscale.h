#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// The picture as Gray8 by BT.601 luma, any source layout (RGBA composited onto
// white first); resolution kept.
Image convertToGrayscale(const Image& src);

}  // namespace rastel::imaging
