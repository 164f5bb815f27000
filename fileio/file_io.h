#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rastel::fileio {

// A failed file operation: "<path>: <cause>".
class Error : public std::runtime_error {
public:
    Error(const std::string& path, const std::string& cause)
        : std::runtime_error(path + ": " + cause), path_(path), cause_(cause) {}
    const std::string& path() const { return path_; }
    const std::string& cause() const { return cause_; }

private:
    std::string path_;
    std::string cause_;
};

// What tells one version of a file from another: the file itself (device and
// inode), its size and its modification and change times. A write, a
// truncation, a rename over it or a touch gives a different stamp.
struct FileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0, changed = 0;  // nanoseconds since the epoch
    bool operator==(const FileStamp&) const = default;
};

// The whole file in memory. The file is opened without blocking and must be a
// regular file (a FIFO or device is refused, never waited on); one larger than
// `maxBytes` is refused too. Throws Error("<path>: cannot read: <reason>").
// `stamp`, when given, receives the stamp of the file read, taken before
// reading, so that a change while it is read shows as a different stamp later.
std::vector<std::uint8_t> readWholeFile(const std::string& path,
                                        std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max(),
                                        FileStamp* stamp = nullptr);

// A file open for reading, closed when this goes; move-only. Opening checks
// what readWholeFile checks (no blocking, regular files only), and the open
// file keeps the version that was opened even when another one is renamed
// over its name.
class InputFd {
public:
    InputFd() = default;
    // Opens `path` and stores the stamp of the version opened in `stamp`.
    // Throws Error("<path>: cannot open: <reason>") or ("<path>: cannot read: <reason>").
    InputFd(const std::string& path, FileStamp& stamp);
    ~InputFd();
    InputFd(InputFd&& other) noexcept;
    InputFd& operator=(InputFd&& other) noexcept;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Reads into `out` from `offset` on; the number of bytes read, fewer than
    // asked only at the end of the file. Throws Error("<path>: cannot read: <reason>").
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;
    // The whole file, as readWholeFile reads it.
    std::vector<std::uint8_t> readAll(std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max()) const;

private:
    int fd_ = -1;
    std::string path_;
};

// The stamp of the file at `path` now (links followed); false when it cannot be examined.
bool currentStamp(const std::string& path, FileStamp& stamp);

// The file that replacing `path` writes: where its chain of symbolic links
// ends (`path` itself when it is no link). A missing file is fine. Throws
// Error("<path>: cannot write: <reason>") when it exists and is not a regular
// file, or is read-only (no write access for this user; for root, no write
// bit at all).
std::string replaceTarget(const std::string& path);

// Replaces `path` by `bytes` atomically: the data goes to a temporary file in
// the folder of replaceTarget(path), is flushed to disk, and is renamed over
// it only when complete. A symbolic link stays a link; the replaced file's
// permission bits (and, for root, owner and group) are kept. On any failure
// the temporary is removed and the file is untouched.
// Throws Error("<path>: cannot write: <reason>").
void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes);

// The same, with the new content written by `fill` into the open temporary
// file (`fd`, at offset 0) as it is produced, so a large file needs no copy in
// memory. When `fill` throws, the temporary is removed and the exception
// passes on unchanged.
void writeFileAtomicWith(const std::string& path, const std::function<void(int fd)>& fill);

// Writes all of `bytes` to `fd`, retrying short writes. Throws
// Error("<path>: cannot write: <reason>").
void writeAll(int fd, std::span<const std::uint8_t> bytes, const std::string& path);

// Gathers an encoder's output into blocks written to `fd` with writeAll, so a
// large file goes to disk as it is produced without many small system calls.
// What is still buffered is written by flush(), never by the destructor: an
// encoder that fails leaves its file to be removed.
class FdWriter {
public:
    FdWriter(int fd, std::string path, std::size_t blockSize = std::size_t{1} << 20);
    FdWriter(const FdWriter&) = delete;
    FdWriter& operator=(const FdWriter&) = delete;

    void write(const void* data, std::size_t size);
    void write(std::span<const std::uint8_t> bytes) { write(bytes.data(), bytes.size()); }
    void flush();

private:
    int fd_;
    std::string path_;
    std::vector<std::uint8_t> buffer_;
};

// Renames the complete working file `staged` (made by this process beside
// replaceTarget(path)) over that target, with the same checks and the same
// kept permissions, owner and group as writeFileAtomic. On failure `staged`
// is left for the caller. Throws Error("<path>: cannot write: <reason>").
void replaceWithStaged(const std::string& staged, const std::string& path);

// A hidden working name beside `path` that carries this process's id:
// "<folder>/.<name>.rastel-<pid>".
std::string stagingPathFor(const std::string& path);

// Removes the hidden working files in `folder` that processes which no
// longer exist left behind (a kill -9, a power cut); those of live processes
// stay. Failures are ignored.
void removeStaleStaging(const std::string& folder);

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove the working
// files registered below, then end the process by the same signal.
void removeStagingOnSignals();

// Registers a working file for removal on those signals while it lives.
class StagingRegistration {
public:
    explicit StagingRegistration(const std::string& path);
    ~StagingRegistration();
    StagingRegistration(const StagingRegistration&) = delete;
    StagingRegistration& operator=(const StagingRegistration&) = delete;

private:
    int slot_ = -1;
};

}  // namespace rastel::fileio
