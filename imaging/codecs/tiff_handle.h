#pragma once

// libtiff over memory buffers, shared by the TIFF reader and writer.
// Every handle routes libtiff's errors and warnings into a Diagnostics record
// instead of the console; a failed libtiff call becomes an imaging Error that
// carries libtiff's own message.

#include <tiffio.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging::tiffio {

inline constexpr const char* kFormat = "TIFF";

// libtiff prints some signed quantities (a byte count gone negative) through
// unsigned formats, which shows them as numbers near 2^64. Runs of digits at
// or above 2^63 in `text` become the signed value they stand for.
std::string signedCounts(const std::string& text);

// What libtiff reported while a handle was open.
struct Diagnostics {
    std::string firstError;
};

// Memory "file" behind a libtiff handle: either a read-only view of the input or
// a growable vector (writing and appending need read access too, because
// libtiff re-reads directories when it links a new one into the chain).
// Or an open file descriptor: a file read in pieces, or a new file written to
// as it goes.
struct MemoryFile {
    const std::uint8_t* readOnly = nullptr;
    std::vector<std::uint8_t>* growable = nullptr;
    std::uint64_t size = 0;  // read-only size; the vector's or the file's size otherwise
    std::uint64_t pos = 0;
    int fd = -1;
    bool fdReadOnly = false;  // `fd` is an input file, read up to `size` and never written
    int writeErrno = 0;       // why writing to `fd` failed, if it did
};

// An open libtiff handle with its memory file and diagnostics; closes on scope exit.
class Handle {
public:
    // Opens `data` for reading. Throws Error when libtiff refuses the header or
    // the first directory.
    explicit Handle(std::span<const std::uint8_t> data);
    // Opens `buffer` for writing ("w", a new file) or appending ("a", buffer holds
    // an existing file).
    Handle(std::vector<std::uint8_t>& buffer, const char* mode);
    // Opens the file at `path` itself for appending ("a"): libtiff adds the new
    // directory at the end and links it into the chain in place.
    Handle(const std::string& path, const char* mode);
    // Opens the file `fd` (left open) for reading its first `size` bytes in
    // pieces, as libtiff asks for them; a file shorter than that fails where
    // the missing bytes are needed. Throws Error like the constructor above.
    Handle(int fd, std::uint64_t size);
    // Opens the empty file `fd` (readable and writable, left open) for writing
    // a new file ("w") straight into it.
    Handle(int fd, const char* mode);
    ~Handle();
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    TIFF* get() const { return tif_; }
    // Whether a reading handle was opened on bytes in memory, and those bytes.
    bool inMemory() const { return file_.readOnly != nullptr; }
    std::span<const std::uint8_t> input() const { return {file_.readOnly, static_cast<std::size_t>(file_.size)}; }
    // Size of the file a reading handle was opened on.
    std::uint64_t inputSize() const { return file_.size; }
    // Reads `out.size()` bytes of that file at `offset`; false when they are
    // not all there (past its size, or the file has become shorter).
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;
    // Flushes and closes; throws Error when libtiff reported a failure on the way.
    void close();
    // Forgets what libtiff reported so far (a complaint while counting
    // directories must not stand in for a later, unrelated failure).
    void clearErrors() { diag_.firstError.clear(); }
    // Throws Error("TIFF: <what>: <libtiff's message>").
    [[noreturn]] void fail(const std::string& what) const;

private:
    void open(const char* mode);
    TIFFOpenOptions* options();

    MemoryFile file_;
    bool onDisk_ = false;
    Diagnostics diag_;
    TIFF* tif_ = nullptr;
};

}  // namespace rastel::imaging::tiffio
