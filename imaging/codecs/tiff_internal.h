#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "imaging/codec.h"

typedef struct tiff TIFF;

namespace rastel::imaging {

std::unique_ptr<FormatReader> makeTiffReader();
std::unique_ptr<FormatWriter> makeTiffWriter();

namespace tiffio {
class Handle;
}
struct Metadata;
// ICC profile, Exif, XMP and IPTC of the current directory of the file `h`
// reads; null when it has none.
std::shared_ptr<const Metadata> readTiffMetadata(const tiffio::Handle& h);
// Sets those tags for `page` on the directory being written, after its
// photometric interpretation: a profile goes only where it describes the colours.
// The Exif record's Make, Model, DateTime, Artist, Copyright ... go to IFD0.
void writeTiffMetadata(TIFF* tif, const Image& page);
// The directories of a page's Exif record that a TIFF page carries as
// directories of their own, linked from its image directory.
enum class ExifDirectory { Exif, Gps };
// Whether the page's Exif record has that directory.
bool hasExifDirectory(const Image& page, ExifDirectory which);
// Sets the entries of that directory of the page's Exif record that libtiff
// knows on the directory being written (after TIFFCreateEXIFDirectory or
// TIFFCreateGPSDirectory); the others are left out. The Exif directory's
// makernote and pixel dimensions are left out too.
void writeExifFields(TIFF* tif, const Image& page, ExifDirectory which);

}  // namespace rastel::imaging
