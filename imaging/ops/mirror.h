#pragma once

#include "imaging/image.h"

namespace rastel::imaging {

// Mirrors the picture left to right in place, any layout (the palette of an
// indexed image is untouched).
void mirrorInPlace(Image& img);

}  // namespace rastel::imaging
