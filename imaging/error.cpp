#include "imaging/error.h"

#include <utility>

namespace rastel::imaging {

namespace {

std::string joined(const std::string& path, const std::string& format, const std::string& cause) {
    std::string text;
    if (!path.empty()) text += path + ": ";
    if (!format.empty()) text += format + ": ";
    return text + cause;
}

}  // namespace

Error::Error(Kind kind, std::string format, std::string cause, std::string path)
    : std::runtime_error(joined(path, format, cause)),
      kind_(kind),
      format_(std::move(format)),
      cause_(std::move(cause)),
      path_(std::move(path)) {}

std::string Error::reason() const { return joined(std::string(), format_, cause_); }

void fail(const std::string& format, const std::string& cause) { throw Error(Error::Kind::Malformed, format, cause); }

void fail(Error::Kind kind, const std::string& format, const std::string& cause) { throw Error(kind, format, cause); }

}  // namespace rastel::imaging
