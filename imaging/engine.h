#pragma once

#include <string>

#include "imaging/image.h"

namespace rastel::imaging {

// Entry points over the registry. Every Error they throw starts with the path:
// "<path>: <format>: <cause>".

// Number of pages of a file, decoding as little as the format allows.
int probePageCount(const std::string& path);
// Every page of a file.
Document loadDocument(const std::string& path);
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
