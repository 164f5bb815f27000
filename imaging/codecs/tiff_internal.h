#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "imaging/codec.h"

typedef struct tiff TIFF;

namespace rastel::imaging {

std::unique_ptr<FormatReader> makeTiffReader();
std::unique_ptr<FormatWriter> makeTiffWriter();

struct Metadata;
// ICC profile, Exif, XMP and IPTC of the current directory of `file`; null
// when it has none.
std::shared_ptr<const Metadata> readTiffMetadata(TIFF* tif, std::span<const std::uint8_t> file);
// Sets those tags for `page` on the directory being written, after its
// photometric interpretation: a profile goes only where it describes the colours.
// The Exif record's Make, Model, DateTime, Artist, Copyright ... go to IFD0.
void writeTiffMetadata(TIFF* tif, const Image& page);
// Whether the page's Exif record has an Exif directory to write.
bool hasExifDirectory(const Image& page);
// Sets the entries of the page's Exif directory that libtiff knows on the
// Exif directory being written (after TIFFCreateEXIFDirectory), except the
// makernote and the pixel dimensions.
void writeExifFields(TIFF* tif, const Image& page);

}  // namespace rastel::imaging
