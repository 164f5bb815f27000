#pragma once

#include <stdexcept>
#include <string>

namespace rastel::imaging {

// The one error type of the engine. It names the file, the format and the
// cause ("x.gif: GIF: writer accepts 1 to 8 bits, got 24"); codecs give the
// format and the cause, and the engine entry points add the file.
class Error : public std::runtime_error {
public:
    enum class Kind {
        Malformed,    // the data break the format's rules (the default of fail())
        Unsupported,  // no reader knows the data, or no writer takes the code and depth
        TooLarge,     // past the pixel limit, or out of memory
        Io,           // the file itself could not be read or written
    };

    // `format` or `path` may be empty; what() leaves such a part out.
    Error(Kind kind, std::string format, std::string cause, std::string path = {});

    Kind kind() const { return kind_; }
    const std::string& format() const { return format_; }
    const std::string& cause() const { return cause_; }
    const std::string& path() const { return path_; }
    // The text without the file: "<format>: <cause>".
    std::string reason() const;
    // The same error, naming `path`.
    Error at(const std::string& path) const { return Error(kind_, format_, cause_, path); }

private:
    Kind kind_;
    std::string format_;
    std::string cause_;
    std::string path_;
};

// Throws Error(Malformed, format, cause): "<format>: <cause>".
[[noreturn]] void fail(const std::string& format, const std::string& cause);
[[noreturn]] void fail(Error::Kind kind, const std::string& format, const std::string& cause);

}  // namespace rastel::imaging
