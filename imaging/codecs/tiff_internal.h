#pragma once

#include <memory>

#include "imaging/codec.h"

namespace rastel::imaging {

std::unique_ptr<FormatReader> makeTiffReader();
std::unique_ptr<FormatWriter> makeTiffWriter();

}  // namespace rastel::imaging
