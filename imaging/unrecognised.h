#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "imaging/registry.h"

namespace rastel::imaging {

// Why no reader of `registry` takes `data` (the file at `path`): the format
// its content resembles and why it was not taken, or that no known signature
// matched, with its first bytes.
std::string describeUnrecognised(const Registry& registry, std::span<const std::uint8_t> data, const std::string& path);

}  // namespace rastel::imaging
