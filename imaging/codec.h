#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace rastel::imaging {

// How strongly a reader recognises a file from its first bytes.
enum class Sniff {
    No,      // not this format
    Weak,    // plausible header but no signature (TGA, raw fax): chosen only when the extension agrees
    Strong,  // signature matched
};

struct ReadContext {
    std::string path;  // the file being read, for messages and for external delegates
};

// The pages of one file, decoded one at a time when asked for, so that a
// caller going through a document page by page holds one decoded page at a
// time. It reads the bytes it was opened on, which must outlive it unchanged
// (or the file it was opened on, which must stay open).
class PageSource {
public:
    virtual ~PageSource() = default;
    // Number of pages; fixed once the source is open.
    virtual int pageCount() const = 0;
    // Decodes page `index` (0 <= index < pageCount()). Pages may be asked for
    // in any order and more than once; each call returns a page of its own.
    // Throws Error on malformed or unsupported input, as read() does for it.
    virtual Image page(int index) = 0;
};

// Decodes one format family. Readers work on the whole file in memory (or read
// it in pieces, see readsInPieces()) and must check every length, offset and
// dimension against the data before using it.
class FormatReader {
public:
    virtual ~FormatReader() = default;
    // Short format name used in messages ("BMP", "TIFF").
    virtual std::string name() const = 0;
    // Lower-case extensions with their dot that this reader claims (".bmp", ".dib").
    virtual std::vector<std::string> extensions() const = 0;
    // `head` holds the first bytes of the file (up to 4096, fewer for short files).
    virtual Sniff sniff(std::span<const std::uint8_t> head) const = 0;
    // Number of pages without decoding pixel data where the format allows it.
    // Throws Error, with read()'s message, where the structure it reads is bad.
    virtual int pageCount(std::span<const std::uint8_t> data, const ReadContext& ctx) const = 0;
    // Decodes every page. Throws Error on any malformed or unsupported input.
    virtual Document read(std::span<const std::uint8_t> data, const ReadContext& ctx) const = 0;
    // Opens `data` for decoding page by page; `data` must outlive the source.
    // Throws Error when the file's structure (or the page count) cannot be
    // read; a damaged page fails only when it is asked for. The default
    // decodes the whole document with read() here, checks the document's
    // pixels together, and hands the decoded pages out; a multi-page format
    // whose pages can be reached one by one overrides it.
    virtual std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext& ctx) const;

    // Reading a file in pieces. A reader that answers true here reads its
    // files through an open descriptor, a strip or a tile at a time, so that
    // the engine never holds such a file whole; the others get the whole file
    // in memory. `fd` is a regular file open for reading, `size` the size it
    // had when it was opened: nothing past it is read, and a file that has
    // become shorter since fails with Error like a damaged one. Both calls
    // check what pageCount() and open() check.
    virtual bool readsInPieces() const { return false; }
    // pageCount() of the file behind `fd`; only called when readsInPieces().
    virtual int pageCountOfFile(int fd, std::uint64_t size, const ReadContext& ctx) const;
    // open() of the file behind `fd`, which must stay open as long as the
    // source; only called when readsInPieces(). Never null.
    virtual std::unique_ptr<PageSource> openFile(int fd, std::uint64_t size, const ReadContext& ctx) const;
};

// A reader of a format that holds one image a file. Its pageCount() checks
// the header with the reader's checkHeader() and answers 1; read() hands the
// reader's one page back as a document.
class SinglePageReader : public FormatReader {
public:
    int pageCount(std::span<const std::uint8_t> data, const ReadContext& ctx) const final;
    Document read(std::span<const std::uint8_t> data, const ReadContext& ctx) const final;

protected:
    // Throws Error, with the message readPage() gives for it, when the header
    // of `data` is malformed or unsupported; decodes no pixel data. A reader
    // that leaves every check to readPage() (a raw fax has no header at all)
    // gives it an empty body.
    virtual void checkHeader(std::span<const std::uint8_t> data, const ReadContext& ctx) const = 0;
    // Decodes the file's one image. Throws Error on any malformed or unsupported input.
    virtual Image readPage(std::span<const std::uint8_t> data, const ReadContext& ctx) const = 0;
};

struct WriteOptions {
    int code = 0;      // file-format code of the catalogue
    int bits = 24;     // bits per pixel asked for
    int quality = 2;   // 2 (least compression) .. 255 (most)
    std::string path;  // target, for messages
};

// What a writer saves under one file-format code: the depths in bits per pixel
// it accepts, and whether a file of that code can take further pages.
struct WriteCapability {
    int code = 0;
    std::vector<int> depths;
    bool appends = false;
};

// Encodes one or more file-format codes, declared once in capabilities().
// write() checks the code and depth against that table before encode() runs,
// so no writer restates it; the writer converts the page to that depth itself
// (through imaging/convert.h), because what a depth means is the format's
// business (8 bits is a palette in BMP but grayscale in JPEG).
class FormatWriter {
public:
    virtual ~FormatWriter() = default;
    virtual std::string name() const = 0;
    virtual std::vector<WriteCapability> capabilities() const = 0;

    std::vector<int> codes() const;
    // Depths in bits per pixel that `code` can be saved with (empty for a code
    // this writer does not handle).
    std::vector<int> depths(int code) const;
    // Whether `code` can hold further pages.
    bool canAppend(int code) const;
    // Throws Error unless `code` is one of this writer's and `bits` one of its depths.
    void checkCapability(int code, int bits) const;
    // A complete one-page file, after checkCapability().
    std::vector<std::uint8_t> write(const Image& page, const WriteOptions& opt) const;
    // The same file written to `fd` (open for reading and writing, empty, at
    // offset 0) as it is encoded, after checkCapability(). opt.path names the
    // file in messages.
    void writeTo(int fd, const Image& page, const WriteOptions& opt) const;
    // The complete new file: `existing` (a file this writer made) plus one more page.
    virtual std::vector<std::uint8_t> append(std::span<const std::uint8_t> existing, const Image& page,
                                             const WriteOptions& opt) const;
    // Adds one more page to the file at `path` by writing into it directly,
    // without rewriting what is there. Only for files nobody else sees yet (the
    // batch's private staging file): a failure leaves the file damaged. Returns
    // false when the writer has no such path; the caller then uses append().
    virtual bool appendInPlace(const std::string& /*path*/, const Image& /*page*/, const WriteOptions& /*opt*/) const {
        return false;
    }

protected:
    // Encodes `page` at opt.bits for opt.code, both already checked.
    virtual std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const = 0;
    // Encodes straight into `fd`; by default writes what encode() returns. A
    // writer whose library can write to a file as it goes overrides this, so
    // the file is never held whole in memory.
    virtual void encodeTo(int fd, const Image& page, const WriteOptions& opt) const;
};

}  // namespace rastel::imaging
