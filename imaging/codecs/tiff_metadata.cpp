// ICC profile, XMP and IPTC tags of a TIFF directory, read into a page's
// metadata record and written back from it.

#include <tiffio.h>

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

}  // namespace

std::shared_ptr<const Metadata> readTiffMetadata(TIFF* tif) {
    Metadata m;
    m.icc = bytesOf(tif, TIFFTAG_ICCPROFILE);
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
    const bool rgb = photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_PALETTE ||
                     photometric == PHOTOMETRIC_YCBCR;
    if (gray || rgb) {
        const auto icc = profileFor(page, gray);
        if (!icc.empty()) TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
    }
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
