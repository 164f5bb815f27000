#include "imaging/codecs/tiff_handle.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include <unistd.h>

#include "imaging/error.h"
#include "imaging/image.h"

namespace rastel::imaging::tiffio {
namespace {

// The name libtiff knows an in-memory file by; it prefixes messages with it,
// which tells a user nothing, so it is left out of them.
constexpr const char* kMemoryName = "memory";

// Messages libtiff reports without a handle (or before one exists) land here.
thread_local std::string lastGlobalError;

}  // namespace

std::string signedCounts(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        const std::string digits = text.substr(i, end - i);
        // 2^63 has 19 digits; 2^64 - 1 has 20.
        // Equal lengths compare as numbers.
        const bool huge = (digits.size() == 19 && digits >= "9223372036854775808") ||
                          (digits.size() == 20 && digits <= "18446744073709551615");
        if (huge)
            out += std::to_string(static_cast<std::int64_t>(std::stoull(digits)));
        else
            out += digits;
        i = end;
    }
    return out;
}

namespace {

std::string formatMessage(const char* module, const char* fmt, va_list ap) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::string msg = signedCounts(buf);
    if (module != nullptr && *module != '\0' && std::strcmp(module, kMemoryName) != 0)
        msg = std::string(module) + ": " + msg;
    return msg;
}

void globalError(const char* module, const char* fmt, va_list ap) { lastGlobalError = formatMessage(module, fmt, ap); }

// Installed once: nothing libtiff says may reach the console.
void silenceGlobalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(globalError);
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandlerExt(nullptr);
        TIFFSetWarningHandlerExt(nullptr);
    });
}

int onError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* diag = static_cast<Diagnostics*>(user);
    if (diag->firstError.empty()) diag->firstError = formatMessage(module, fmt, ap);
    return 1;  // handled: the global handlers are not called
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

MemoryFile* fileOf(thandle_t h) { return static_cast<MemoryFile*>(h); }

std::uint64_t currentSize(const MemoryFile& f) { return f.growable != nullptr ? f.growable->size() : f.size; }

// Files past 4 GiB are not written; the cap also keeps a runaway writer bounded.
constexpr std::uint64_t kMaxWriteSize = std::uint64_t{1} << 32;

// The same operations on a file descriptor, at the handle's own position.
tmsize_t fdRead(MemoryFile& f, void* buf, tmsize_t n) {
    if (n <= 0 || f.pos >= f.size) return 0;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(n), f.size - f.pos));
    std::size_t done = 0;
    while (done < want) {
        const ssize_t got =
            ::pread(f.fd, static_cast<char*>(buf) + done, want - done, static_cast<off_t>(f.pos + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    f.pos += done;
    return static_cast<tmsize_t>(done);
}

tmsize_t fdWrite(MemoryFile& f, const void* buf, tmsize_t n) {
    const auto count = static_cast<std::uint64_t>(n);
    if (f.pos > kMaxWriteSize || count > kMaxWriteSize - f.pos) return -1;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put =
            ::pwrite(f.fd, static_cast<const char*>(buf) + done, count - done, static_cast<off_t>(f.pos + done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            if (f.writeErrno == 0) f.writeErrno = errno;
            return -1;
        }
        done += static_cast<std::size_t>(put);
    }
    f.pos += count;
    f.size = std::max(f.size, f.pos);
    return n;
}

tmsize_t readProc(thandle_t h, void* buf, tmsize_t n) {
    MemoryFile& f = *fileOf(h);
    if (f.fd >= 0) return fdRead(f, buf, n);
    const std::uint64_t size = currentSize(f);
    if (n <= 0 || f.pos >= size) return 0;
    const std::uint64_t count = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), size - f.pos);
    const std::uint8_t* src = f.growable != nullptr ? f.growable->data() : f.readOnly;
    std::memcpy(buf, src + f.pos, count);
    f.pos += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeProc(thandle_t h, void* buf, tmsize_t n) {
    MemoryFile& f = *fileOf(h);
    if (f.fd >= 0 && !f.fdReadOnly && n >= 0) return fdWrite(f, buf, n);
    if (f.growable == nullptr || n < 0) return -1;
    const auto count = static_cast<std::uint64_t>(n);
    if (f.pos > kMaxWriteSize || count > kMaxWriteSize - f.pos) return -1;
    auto& v = *f.growable;
    if (f.pos + count > v.size()) v.resize(f.pos + count);
    if (count > 0) std::memcpy(v.data() + f.pos, buf, count);
    f.pos += count;
    return n;
}

toff_t seekProc(thandle_t h, toff_t off, int whence) {
    MemoryFile& f = *fileOf(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = f.pos;
    else if (whence == SEEK_END)
        base = currentSize(f);
    else if (whence != SEEK_SET)
        return static_cast<toff_t>(-1);
    if (off > std::numeric_limits<std::uint64_t>::max() - base) return static_cast<toff_t>(-1);
    f.pos = base + off;
    return f.pos;
}

int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t h) { return currentSize(*fileOf(h)); }

int mapProc(thandle_t h, void** base, toff_t* size) {
    MemoryFile& f = *fileOf(h);
    if (f.readOnly == nullptr) return 0;
    *base = const_cast<std::uint8_t*>(f.readOnly);
    *size = f.size;
    return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

}  // namespace

Handle::Handle(std::span<const std::uint8_t> data) {
    file_.readOnly = data.data();
    file_.size = data.size();
    open("r");
}

Handle::Handle(std::vector<std::uint8_t>& buffer, const char* mode) {
    file_.growable = &buffer;
    open(mode);
}

Handle::Handle(int fd, std::uint64_t size) {
    file_.fd = fd;
    file_.fdReadOnly = true;
    file_.size = size;
    open("r");
}

bool Handle::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > file_.size || file_.size - offset < out.size()) return false;
    if (file_.readOnly != nullptr) {
        std::memcpy(out.data(), file_.readOnly + offset, out.size());
        return true;
    }
    MemoryFile f = file_;
    f.pos = offset;
    return fdRead(f, out.data(), static_cast<tmsize_t>(out.size())) == static_cast<tmsize_t>(out.size());
}

Handle::Handle(int fd, const char* mode) {
    file_.fd = fd;
    open(mode);
}

Handle::Handle(const std::string& path, const char* mode) : onDisk_(true) {
    TIFFOpenOptions* opts = options();
    tif_ = TIFFOpenExt(path.c_str(), mode, opts);
    TIFFOpenOptionsFree(opts);
    if (tif_ == nullptr) fail(mode[0] == 'a' ? "cannot append to this file" : "cannot open this file");
}

TIFFOpenOptions* Handle::options() {
    silenceGlobalHandlers();
    lastGlobalError.clear();
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (opts == nullptr) imaging::fail(kFormat, "out of memory");
    TIFFOpenOptionsSetErrorHandlerExtR(opts, onError, &diag_);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, onWarning, nullptr);
    // One allocation inside libtiff may hold a strip or tile of the largest
    // image the engine accepts, with room for 16-bit samples and extra channels.
    const std::uint64_t cap =
        std::min<std::uint64_t>(pixelLimit() * 16 + (std::uint64_t{1} << 20), std::uint64_t{1} << 31);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(cap));
    return opts;
}

void Handle::open(const char* mode) {
    TIFFOpenOptions* opts = options();
    tif_ = TIFFClientOpenExt(kMemoryName, mode, &file_, readProc, writeProc, seekProc, closeProc, sizeProc, mapProc,
                             unmapProc, opts);
    TIFFOpenOptionsFree(opts);
    if (tif_ == nullptr)
        fail(file_.growable != nullptr && mode[0] == 'a' ? "cannot append to this file" : "not a readable TIFF file");
}

Handle::~Handle() {
    if (tif_ != nullptr) TIFFClose(tif_);
}

void Handle::close() {
    if (tif_ == nullptr) return;
    TIFF* t = tif_;
    tif_ = nullptr;
    const bool reading = file_.growable == nullptr && (file_.fd < 0 || file_.fdReadOnly) && !onDisk_;
    const bool flushed = reading || TIFFFlush(t) == 1;
    TIFFClose(t);
    if (!flushed) fail("cannot finish the file");
}

void Handle::fail(const std::string& what) const {
    // A failed write to the output file says why in the system's words.
    std::string cause = file_.writeErrno != 0      ? std::strerror(file_.writeErrno)
                        : diag_.firstError.empty() ? lastGlobalError
                                                   : diag_.firstError;
    imaging::fail(kFormat, cause.empty() ? what : what + ": " + cause);
}

}  // namespace rastel::imaging::tiffio
