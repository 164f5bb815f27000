// ICC profile, Exif, XMP and IPTC tags of a TIFF directory, read into a page's
// metadata record and written back from it.

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "imaging/codecs/tiff_handle.h"
#include "imaging/codecs/tiff_internal.h"
#include "imaging/image.h"
#include "imaging/metadata.h"

namespace rastel::imaging {

namespace {

std::vector<std::uint8_t> bytesOf(TIFF* tif, ttag_t tag) {
    std::uint32_t count = 0;
    void* data = nullptr;
    if (!TIFFGetField(tif, tag, &count, &data) || !data) return {};
    const auto* p = static_cast<const std::uint8_t*>(data);
    return {p, p + count};
}

// Tags of IFD0 that say where a picture comes from, all ASCII.
constexpr ttag_t kOriginTags[] = {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,   TIFFTAG_MODEL,        TIFFTAG_SOFTWARE,
                                  TIFFTAG_DATETIME,         TIFFTAG_ARTIST, TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT};

// Copies `n` elements of `e` into an array of the element type libtiff
// keeps for field `f`.
std::vector<std::uint8_t> fieldArray(const TIFFField* f, const ExifEntry& e) {
    const int size = TIFFFieldSetGetSize(f);
    const TIFFDataType type = TIFFFieldDataType(f);
    const bool real = type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT || type == TIFF_DOUBLE;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size) * e.count);
    for (std::uint32_t i = 0; i < e.count; ++i) {
        std::uint8_t* p = out.data() + static_cast<std::size_t>(size) * i;
        const double v = e.number(i);
        if (real && size == 4) {
            const float x = static_cast<float>(v);
            std::memcpy(p, &x, 4);
        } else if (real) {
            std::memcpy(p, &v, 8);
        } else {
            // Integers of 1..8 bytes, two's complement for the signed types.
            const auto x = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
            std::memcpy(p, &x, static_cast<std::size_t>(size));  // little-endian host
        }
    }
    return out;
}

// Sets one entry of a carried Exif or GPS directory on the directory being
// written, in the form libtiff expects for that field. Entries libtiff does
// not know, or whose count does not fit its definition, are left out.
void setExifField(TIFF* tif, const ExifEntry& e) {
    const TIFFField* f = TIFFFindField(tif, e.tag, TIFF_ANY);
    if (f == nullptr || TIFFFieldSetGetSize(f) <= 0) return;
    const TIFFDataType type = TIFFFieldDataType(f);
    const int writeCount = TIFFFieldWriteCount(f);
    const bool passCount = TIFFFieldPassCount(f) != 0;
    if (type == TIFF_ASCII) {
        if (e.type != TIFF_ASCII) return;
        const std::string text = e.text();
        if (passCount)
            TIFFSetField(tif, e.tag, static_cast<std::uint32_t>(text.size() + 1), text.c_str());
        else
            TIFFSetField(tif, e.tag, text.c_str());
        return;
    }
    if (e.type == TIFF_ASCII) return;
    if (!passCount && writeCount == 1) {
        if (e.count != 1) return;
        const double v = e.number(0);
        switch (type) {
        case TIFF_RATIONAL:
        case TIFF_SRATIONAL:
        case TIFF_FLOAT:
        case TIFF_DOUBLE: TIFFSetField(tif, e.tag, v); break;
        case TIFF_LONG:
        case TIFF_IFD: TIFFSetField(tif, e.tag, static_cast<std::uint32_t>(v)); break;
        case TIFF_SLONG: TIFFSetField(tif, e.tag, static_cast<std::int32_t>(v)); break;
        default: TIFFSetField(tif, e.tag, static_cast<int>(v)); break;
        }
        return;
    }
    if (!passCount && (writeCount <= 0 || static_cast<std::uint32_t>(writeCount) != e.count)) return;
    if (passCount && TIFFFieldSetGetCountSize(f) == 2 && e.count > 0xFFFF) return;
    const std::vector<std::uint8_t> values = fieldArray(f, e);
    if (passCount)
        TIFFSetField(tif, e.tag, e.count, values.data());
    else
        TIFFSetField(tif, e.tag, values.data());
}

}  // namespace

namespace {

const std::vector<ExifEntry>& entriesOf(const ExifTree& tree, ExifDirectory which) {
    return which == ExifDirectory::Exif ? tree.exif : tree.gps;
}

}  // namespace

bool hasExifDirectory(const Image& page, ExifDirectory which) {
    return page.metadata && !entriesOf(exifTree(page.metadata->exif), which).empty();
}

void writeExifFields(TIFF* tif, const Image& page, ExifDirectory which) {
    if (!page.metadata) return;
    const ExifTree tree = exifTree(page.metadata->exif);
    for (const ExifEntry& e : entriesOf(tree, which)) {
        // The makernote's inner offsets would not hold at a new place; the
        // picture's size is set from the page written.
        if (which == ExifDirectory::Exif &&
            (e.tag == EXIFTAG_MAKERNOTE || e.tag == EXIFTAG_PIXELXDIMENSION || e.tag == EXIFTAG_PIXELYDIMENSION))
            continue;
        setExifField(tif, e);
    }
}

std::shared_ptr<const Metadata> readTiffMetadata(const tiffio::Handle& h) {
    TIFF* tif = h.get();
    Metadata m;
    const std::uint64_t dir = TIFFCurrentDirOffset(tif);
    if (dir <= 0xFFFFFFFFu && h.inMemory())
        m.exif = exifFromTiff(h.input(), static_cast<std::uint32_t>(dir));
    else if (dir <= 0xFFFFFFFFu)
        m.exif = exifFromTiff([&h](std::uint64_t offset, std::span<std::uint8_t> out) { return h.readAt(offset, out); },
                              h.inputSize(), static_cast<std::uint32_t>(dir));
    m.icc = bytesOf(tif, TIFFTAG_ICCPROFILE);
    // CMYK and Lab pages are turned into RGB, which such a profile no longer describes.
    const std::string space = iccColourSpace(m.icc);
    if (space == "CMYK" || space == "Lab ") m.icc.clear();
    m.xmp = bytesOf(tif, TIFFTAG_XMLPACKET);
    m.iptc = bytesOf(tif, TIFFTAG_RICHTIFFIPTC);
    return shareMetadata(std::move(m));
}

void writeTiffMetadata(TIFF* tif, const Image& page) {
    if (!page.metadata) return;
    const Metadata& m = *page.metadata;
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    const bool gray = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
    const bool rgb =
        photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_PALETTE || photometric == PHOTOMETRIC_YCBCR;
    if (gray || rgb) {
        const auto icc = profileFor(page, gray);
        if (!icc.empty()) TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
    }
    for (const ExifEntry& e : exifTree(m.exif).ifd0)
        if (e.type == TIFF_ASCII &&
            std::find(std::begin(kOriginTags), std::end(kOriginTags), e.tag) != std::end(kOriginTags))
            TIFFSetField(tif, e.tag, e.text().c_str());
    if (!m.xmp.empty()) {
        const auto xmp = xmpForOutput(m.xmp);
        TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(xmp.size()), xmp.data());
    }
    if (!m.iptc.empty()) {
        // Readers take the IPTC tag as whole 32-bit words.
        std::vector<std::uint8_t> iptc = m.iptc;
        iptc.resize((iptc.size() + 3) & ~std::size_t{3}, 0);
        TIFFSetField(tif, TIFFTAG_RICHTIFFIPTC, static_cast<std::uint32_t>(iptc.size()), iptc.data());
    }
}

}  // namespace rastel::imaging
