#include "fileio/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace rastel::fileio {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

[[noreturn]] void ioFail(const std::string& path, const char* what, int err) {
    throw Error(path + ": " + what + ": " + std::strerror(err));
}

}  // namespace

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ioFail(path, "cannot open", errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) ioFail(path, "cannot read", errno);
    if (!S_ISREG(st.st_mode)) throw Error(path + ": cannot read: not a regular file");
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ioFail(path, "cannot read", errno);
        }
        if (n == 0) break;
        data.insert(data.end(), buf, buf + n);
    }
    return data;
}

void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes) {
    const std::filesystem::path target(path);
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    std::string name = ".";
    name += target.filename().string();
    name += ".rastel-XXXXXX";
    std::string tmpl = (dir / name).string();
    const int raw = ::mkstemp(tmpl.data());
    if (raw < 0) ioFail(path, "cannot write", errno);
    Fd fd(raw);
    const std::string tmp = tmpl;
    auto abandon = [&](int err) {
        ::close(fd.release());
        ::unlink(tmp.c_str());
        ioFail(path, "cannot write", err);
    };
    // New files get the usual permissions, not mkstemp's 0600; a replaced file keeps its own.
    struct stat st {};
    mode_t mode = 0666;
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    if (::fchmod(fd.get(), mode) != 0) abandon(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            abandon(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) abandon(errno);
    if (::close(fd.release()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        ioFail(path, "cannot write", err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        ioFail(path, "cannot write", err);
    }
}

}  // namespace rastel::fileio
