#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

// The whole file in memory. Throws Error("<path>: cannot read: <reason>").
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// Replaces `path` by `bytes` atomically: the data goes to a temporary file in
// the same folder, is flushed to disk, and is renamed over `path` only when
// complete. On any failure the temporary is removed and `path` is untouched.
// Throws Error("<path>: cannot write: <reason>").
void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace rastel::imaging
