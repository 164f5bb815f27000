#include "fileio/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

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
    throw Error(path, std::string(what) + ": " + std::strerror(err));
}

[[noreturn]] void writeRefused(const std::string& path, const std::string& reason) {
    throw Error(path, "cannot write: " + reason);
}

const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// Permission bits (and, for root, owner and group) of the file being replaced,
// applied to the file that replaces it; 0 or an errno value. Owner first:
// chown clears set-id bits.
int keepAttributes(int fd, const struct stat& old) {
    if (::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) return errno;
    if (::fchmod(fd, old.st_mode & 07777) != 0) return errno;
    return 0;
}

constexpr const char* kStagingTag = ".rastel-";

// Working files a signal handler removes. A slot is 0 free, 1 being filled, 2 live.
struct Slot {
    std::atomic<int> state{0};
    char path[PATH_MAX]{};
};
std::array<Slot, 64> g_slots;

void onSignal(int sig) {
    const int savedErrno = errno;  // unlink may change it under the interrupted code
    for (auto& s : g_slots)
        if (s.state.load() == 2) ::unlink(s.path);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = savedErrno;
}

}  // namespace

namespace {

FileStamp stampOf(const struct stat& st) {
    FileStamp s;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modified = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    s.changed = std::int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

}  // namespace

bool currentStamp(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    stamp = stampOf(st);
    return true;
}

InputFd::InputFd(const std::string& path, FileStamp& stamp) : path_(path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer before its type is checked.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) ioFail(path, "cannot open", errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) ioFail(path, "cannot read", errno);
    if (!S_ISREG(st.st_mode))
        throw Error(path, std::string("cannot read: ") + fileKind(st.st_mode) + ", not a regular file");
    stamp = stampOf(st);
    fd_ = fd.release();
}

InputFd::~InputFd() {
    if (fd_ >= 0) ::close(fd_);
}

InputFd::InputFd(InputFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

InputFd& InputFd::operator=(InputFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

std::size_t InputFd::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) break;
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            ioFail(path_, "cannot read", errno);
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::vector<std::uint8_t> InputFd::readAll(std::uint64_t maxBytes) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) ioFail(path_, "cannot read", errno);
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        throw Error(path_, "cannot read: larger than " + std::to_string(maxBytes) + " bytes");
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buf[1 << 16];
    for (;;) {
        const std::size_t n = readAt(data.size(), buf);
        if (n == 0) break;
        if (data.size() + n > maxBytes)
            throw Error(path_, "cannot read: larger than " + std::to_string(maxBytes) + " bytes");
        data.insert(data.end(), buf, buf + n);
    }
    return data;
}

std::vector<std::uint8_t> readWholeFile(const std::string& path, std::uint64_t maxBytes, FileStamp* stamp) {
    FileStamp opened;
    const InputFd fd(path, opened);
    if (stamp) *stamp = opened;
    return fd.readAll(maxBytes);
}

std::string replaceTarget(const std::string& path) {
    std::filesystem::path current(path);
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT) return current.string();
            ioFail(path, "cannot write", errno);
        }
        if (S_ISLNK(st.st_mode)) {
            if (hops >= 40) ioFail(path, "cannot write", ELOOP);
            std::error_code ec;
            const std::filesystem::path next = std::filesystem::read_symlink(current, ec);
            if (ec) ioFail(path, "cannot write", ec.value());
            current = next.is_absolute() ? next : current.parent_path() / next;
            continue;
        }
        if (!S_ISREG(st.st_mode)) writeRefused(path, std::string(fileKind(st.st_mode)) + " is never replaced");
        const bool readOnly =
            ::geteuid() == 0 ? (st.st_mode & 0222) == 0 : ::faccessat(AT_FDCWD, current.c_str(), W_OK, AT_EACCESS) != 0;
        if (readOnly) writeRefused(path, "the file is read-only");
        return current.string();
    }
}

std::string stagingPathFor(const std::string& path) {
    const std::filesystem::path p(path);
    // Built by appending: g++ 12 at -O3 gives a false -Wrestrict on "." + string&&.
    std::string name = ".";
    name += p.filename().string();
    name += kStagingTag;
    name += std::to_string(::getpid());
    return (p.parent_path() / name).string();
}

void writeAll(int fd, std::span<const std::uint8_t> bytes, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ioFail(path, "cannot write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

FdWriter::FdWriter(int fd, std::string path, std::size_t blockSize) : fd_(fd), path_(std::move(path)) {
    buffer_.reserve(blockSize);
}

void FdWriter::write(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (buffer_.size() + size > buffer_.capacity()) {
        flush();
        // A piece as large as a block goes out as it is.
        if (size >= buffer_.capacity()) return writeAll(fd_, {p, size}, path_);
    }
    buffer_.insert(buffer_.end(), p, p + size);
}

void FdWriter::flush() {
    writeAll(fd_, buffer_, path_);
    buffer_.clear();
}

void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes) {
    writeFileAtomicWith(path, [&](int fd) { writeAll(fd, bytes, path); });
}

void writeFileAtomicWith(const std::string& path, const std::function<void(int fd)>& fill) {
    const std::string target = replaceTarget(path);
    std::string tmpl = stagingPathFor(target) + "-XXXXXX";
    // The cleanup signals wait until the new file is registered for removal.
    sigset_t cleanup, previous;
    sigemptyset(&cleanup);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&cleanup, sig);
    ::pthread_sigmask(SIG_BLOCK, &cleanup, &previous);
    const int raw = ::mkstemp(tmpl.data());
    const int mkstempErr = errno;
    StagingRegistration registered(raw >= 0 ? tmpl : std::string());
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (raw < 0) ioFail(path, "cannot write", mkstempErr);
    Fd fd(raw);
    const std::string tmp = tmpl;
    auto abandon = [&](int err) {
        if (fd.get() >= 0) ::close(fd.release());
        ::unlink(tmp.c_str());
        ioFail(path, "cannot write", err);
    };
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        if (const int err = keepAttributes(fd.get(), old)) abandon(err);
    } else {
        // New files get the usual permissions, not mkstemp's 0600.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(fd.get(), 0666 & ~mask) != 0) abandon(errno);
    }
    try {
        fill(fd.get());
    } catch (...) {
        ::close(fd.release());
        ::unlink(tmp.c_str());
        throw;
    }
    if (::fsync(fd.get()) != 0) abandon(errno);
    if (::close(fd.release()) != 0) abandon(errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0) abandon(errno);
}

void replaceWithStaged(const std::string& staged, const std::string& path) {
    const std::string target = replaceTarget(path);
    Fd fd(::open(staged.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) ioFail(path, "cannot write", errno);
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0)
        if (const int err = keepAttributes(fd.get(), old)) ioFail(path, "cannot write", err);
    if (::fsync(fd.get()) != 0) ioFail(path, "cannot write", errno);
    if (::rename(staged.c_str(), target.c_str()) != 0) ioFail(path, "cannot write", errno);
}

void removeStaleStaging(const std::string& folder) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    const int dfd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 2 || name[0] != '.') continue;
        const std::size_t tag = name.rfind(kStagingTag);
        if (tag == std::string::npos || tag == 0) continue;
        std::size_t i = tag + std::strlen(kStagingTag);
        const std::size_t digits = i;
        long long pid = 0;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < INT_MAX) pid = pid * 10 + (name[i++] - '0');
        if (i == digits || pid <= 0 || pid >= INT_MAX) continue;
        // The whole name is ours: nothing after the id but mkstemp's "-XXXXXX".
        if (i != name.size() && !(name[i] == '-' && name.size() - i == 7)) continue;
        if (pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        ::unlinkat(dfd, name.c_str(), 0);
    }
    ::closedir(dir);
}

void removeStagingOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller chose to ignore (nohup, a shell's trap '') stays ignored.
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

StagingRegistration::StagingRegistration(const std::string& path) {
    if (path.empty() || path.size() >= PATH_MAX) return;
    for (std::size_t i = 0; i < g_slots.size(); ++i) {
        int expected = 0;
        if (!g_slots[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
        g_slots[i].state.store(2);
        slot_ = static_cast<int>(i);
        return;
    }
}

StagingRegistration::~StagingRegistration() {
    if (slot_ >= 0) g_slots[static_cast<std::size_t>(slot_)].state.store(0);
}

}  // namespace rastel::fileio
