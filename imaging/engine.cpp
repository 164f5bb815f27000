#include "imaging/engine.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <new>

#include "fileio/file_io.h"
#include "imaging/codec.h"
#include "imaging/document_budget.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "imaging/unrecognised.h"

namespace rastel::imaging {

namespace {

using fileio::readWholeFile;
using fileio::writeFileAtomic;
using fileio::writeFileAtomicWith;

// Runs `f`, turning every failure into an Error that names the file.
template <typename F>
auto withPath(const std::string& path, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error& e) {
        if (!e.path().empty()) throw;
        throw e.at(path);
    } catch (const fileio::Error& e) {
        // File errors name their own path (a working file's, say); they reach callers as engine errors.
        throw Error(Error::Kind::Io, std::string(), e.cause(), e.path());
    } catch (const std::bad_alloc&) {
        throw Error(Error::Kind::TooLarge, std::string(), "out of memory", path);
    } catch (const std::exception& e) {
        throw Error(Error::Kind::Malformed, std::string(), e.what(), path);
    }
}

const FormatReader& readerFor(const std::vector<std::uint8_t>& data, const std::string& path) {
    const FormatReader* r = Registry::instance().findReader(data, path);
    if (!r) {
        if (data.empty()) throw Error(Error::Kind::Unsupported, std::string(), "empty file", path);
        throw Error(
            Error::Kind::Unsupported, std::string(),
            "unrecognised or unsupported image format: " + describeUnrecognised(Registry::instance(), data, path),
            path);
    }
    return *r;
}

const FormatWriter& writerFor(const std::string& path, int code) {
    const FormatWriter* w = Registry::instance().findWriter(code);
    if (!w)
        throw Error(Error::Kind::Unsupported, std::string(), "no writer for file-format code " + std::to_string(code),
                    path);
    return *w;
}

}  // namespace

int probePageCount(const std::string& path) { return probePageCount(readInput(path)); }

InputFile readInput(const std::string& path) {
    return withPath(path, [&] {
        InputFile file{path, {}, {}, {}, nullptr};
        fileio::InputFd fd(path, file.stamp);
        // As much of the head as the registry looks at to choose a reader.
        std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(file.stamp.size, kSniffBytes)));
        head.resize(fd.readAt(0, head));
        const FormatReader* reader = Registry::instance().findReader(head, path);
        if (reader != nullptr && reader->readsInPieces()) {
            file.fd = std::move(fd);
            file.reader = reader;
        } else {
            file.bytes = fd.readAll();
        }
        return file;
    });
}

bool unchangedOnDisk(const InputFile& file) {
    fileio::FileStamp now;
    return fileio::currentStamp(file.path, now) && now == file.stamp;
}

int probePageCount(const InputFile& file) {
    return withPath(file.path, [&] {
        if (file.fd) return file.reader->pageCountOfFile(file.fd.get(), file.stamp.size, ReadContext{file.path});
        return readerFor(file.bytes, file.path).pageCount(file.bytes, ReadContext{file.path});
    });
}

PagedDocument::PagedDocument(InputFile file, const FormatReader& reader) : file_(std::move(file)), reader_(reader) {
    source_ = file_.fd ? reader_.openFile(file_.fd.get(), file_.stamp.size, ReadContext{file_.path})
                       : reader_.open(file_.bytes, ReadContext{file_.path});
    pageCount_ = source_->pageCount();
    if (pageCount_ <= 0) fail(reader_.name(), "file holds no image");
    decodedPixels_.assign(static_cast<std::size_t>(pageCount_), 0);
}

PagedDocument::~PagedDocument() = default;

Image PagedDocument::page(int index) {
    return withPath(file_.path, [&] {
        if (index < 0 || index >= pageCount_) fail(reader_.name(), "page " + std::to_string(index) + " does not exist");
        std::uint64_t others = 0;
        for (std::size_t i = 0; i < decodedPixels_.size(); ++i)
            if (i != static_cast<std::size_t>(index)) others += decodedPixels_[i];
        const DocumentPixelBudget budget(others);
        Image img = source_->page(index);
        const std::uint64_t pixels = static_cast<std::uint64_t>(img.width()) * static_cast<std::uint64_t>(img.height());
        // Pages copied rather than allocated escape the running count; the total is exact.
        checkDocumentPixels(others + pixels);
        decodedPixels_[static_cast<std::size_t>(index)] = pixels;
        return img;
    });
}

std::unique_ptr<PagedDocument> openDocument(InputFile file) {
    const std::string path = file.path;
    return withPath(path, [&] {
        const FormatReader& reader = file.fd ? *file.reader : readerFor(file.bytes, path);
        return std::make_unique<PagedDocument>(std::move(file), reader);
    });
}

std::unique_ptr<PagedDocument> openDocument(const std::string& path) { return openDocument(readInput(path)); }

Document loadDocument(const std::string& path) {
    const std::unique_ptr<PagedDocument> source = openDocument(path);
    Document doc;
    doc.pages.reserve(static_cast<std::size_t>(source->pageCount()));
    for (int i = 0; i < source->pageCount(); ++i) doc.pages.push_back(source->page(i));
    return doc;
}

void savePage(const std::string& path, const Image& page, int code, int bits, int quality,
              const std::string& finalPath) {
    withPath(path, [&] {
        if (page.empty()) fail("save", "there is no image to save");
        const FormatWriter& w = writerFor(path, code);
        const WriteOptions opt{code, bits, quality, finalPath.empty() ? path : finalPath};
        writeFileAtomicWith(path, [&](int fd) { w.writeTo(fd, page, opt); });
    });
}

namespace {

// The writer that adds pages to files of `code`; fails for an empty page or a
// code whose files hold one page. Runs inside withPath.
const FormatWriter& appendingWriter(const std::string& path, const Image& page, int code, int bits) {
    if (page.empty()) fail("save", "there is no image to save");
    const FormatWriter& w = writerFor(path, code);
    w.checkCapability(code, bits);
    if (!w.canAppend(code))
        fail(w.name(),
             "a file of code " + std::to_string(code) + " holds one page; a further page cannot be added to it");
    return w;
}

}  // namespace

void appendPage(const std::string& path, const Image& page, int code, int bits, int quality) {
    withPath(path, [&] {
        const FormatWriter& w = appendingWriter(path, page, code, bits);
        const auto existing = readWholeFile(path);
        const auto bytes = w.append(existing, page, WriteOptions{code, bits, quality, path});
        writeFileAtomic(path, bytes);
    });
}

void appendPageInPlace(const std::string& path, const Image& page, int code, int bits, int quality) {
    bool done = false;
    withPath(path, [&] {
        const FormatWriter& w = appendingWriter(path, page, code, bits);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) fail("save", "there is no file to add a page to");
        done = w.appendInPlace(path, page, WriteOptions{code, bits, quality, path});
    });
    if (!done) appendPage(path, page, code, bits, quality);
}

bool codeCanAppend(int code) {
    const FormatWriter* w = Registry::instance().findWriter(code);
    return w && w->canAppend(code);
}

}  // namespace rastel::imaging
