#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileio/file_io.h"
#include "imaging/image.h"

namespace rastel::imaging {

class FormatReader;
class PageSource;

// Entry points over the registry. Every Error they throw starts with the path:
// "<path>: <format>: <cause>".

// Number of pages of a file, decoding as little as the format allows.
int probePageCount(const std::string& path);
// Every page of a file.
Document loadDocument(const std::string& path);

// A file opened once, with the stamp of the version opened, so that counting
// its pages and then loading it read the file a single time. A file whose
// reader reads in pieces (FormatReader::readsInPieces) stays open in `fd`
// and is read from there as its pages are decoded; any other is read whole
// into `bytes`.
struct InputFile {
    std::string path;
    fileio::FileStamp stamp;
    std::vector<std::uint8_t> bytes;
    fileio::InputFd fd;                    // open when the file is read in pieces
    const FormatReader* reader = nullptr;  // the reader chosen for `fd`
};
// Opens the file at `path` and reads its head to choose its reader; reads it
// whole unless that reader reads files in pieces.
InputFile readInput(const std::string& path);
// Whether the file at file.path is still the version that was opened.
bool unchangedOnDisk(const InputFile& file);
// probePageCount over a file already opened.
int probePageCount(const InputFile& file);

// A file opened for decoding page by page: its bytes stay in memory (or the
// file stays open) and each page() call decodes one page, so that going
// through a document holds one decoded page at a time. The pixel limit holds
// per page and for the pages decoded together.
class PagedDocument {
public:
    PagedDocument(InputFile file, const FormatReader& reader);
    ~PagedDocument();
    PagedDocument(const PagedDocument&) = delete;
    PagedDocument& operator=(const PagedDocument&) = delete;

    int pageCount() const { return pageCount_; }
    // Decodes page `index` (0-based). A damaged page throws Error("<path>: <format>: <cause>")
    // here, when it is asked for.
    Image page(int index);

private:
    InputFile file_;
    const FormatReader& reader_;
    std::unique_ptr<PageSource> source_;
    int pageCount_ = 0;
    // Pixels of each page decoded so far (0: not yet), counted once per page.
    std::vector<std::uint64_t> decodedPixels_;
};
// Opens a file read before (readInput), or the file at `path`, for decoding
// page by page. Fails when the file is not recognised, holds no page, or its
// structure cannot be read.
std::unique_ptr<PagedDocument> openDocument(InputFile file);
std::unique_ptr<PagedDocument> openDocument(const std::string& path);
// Writes `page` as a new one-page file with format `code` at `bits` bits per
// pixel, replacing any file of that name atomically. `finalPath`, when given,
// is the name a working file `path` will be renamed to: a format that records
// its file's name records that one.
void savePage(const std::string& path, const Image& page, int code, int bits, int quality,
              const std::string& finalPath = {});
// Appends `page` to a file written by savePage with the same code; the file is
// either left as it was or replaced by the complete file with the new page.
void appendPage(const std::string& path, const Image& page, int code, int bits, int quality);
// Appends `page` to a private working file by writing into it where the
// format allows (TIFF), so that an n-page file costs n page writes instead of
// n whole-file rewrites; otherwise the same as appendPage. A failure can leave
// that file damaged, so it is only for files that are renamed into place once
// complete.
void appendPageInPlace(const std::string& path, const Image& page, int code, int bits, int quality);
// Whether the writer of `code` can hold further pages.
bool codeCanAppend(int code);

}  // namespace rastel::imaging
