#pragma once

#include <stdexcept>
#include <string>

namespace rastel::imaging {

// The one error type of the engine. The message names the format and the cause
// ("GIF: writer accepts 1 to 8 bits, got 24"); the engine entry points prefix the
// file name, so what reaches the user reads "x.gif: GIF: ...".
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Throws Error("<format>: <cause>").
[[noreturn]] void fail(const std::string& format, const std::string& cause);

}  // namespace rastel::imaging
