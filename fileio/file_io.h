#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rastel::fileio {

// A failed file operation; the message starts with the path.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The whole file in memory. Throws Error("<path>: cannot read: <reason>").
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// Replaces `path` by `bytes` atomically: the data goes to a temporary file in
// the same folder, is flushed to disk, and is renamed over `path` only when
// complete. On any failure the temporary is removed and `path` is untouched.
// Throws Error("<path>: cannot write: <reason>").
void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace rastel::fileio
