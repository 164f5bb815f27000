#pragma once

#include <memory>

#include "imaging/codec.h"

typedef struct tiff TIFF;

namespace rastel::imaging {

std::unique_ptr<FormatReader> makeTiffReader();
std::unique_ptr<FormatWriter> makeTiffWriter();

struct Metadata;
// ICC profile, XMP and IPTC of the current directory; null when it has none.
std::shared_ptr<const Metadata> readTiffMetadata(TIFF* tif);
// Sets those tags for `page` on the directory being written, after its
// photometric interpretation: a profile goes only where it describes the colours.
void writeTiffMetadata(TIFF* tif, const Image& page);

}  // namespace rastel::imaging
