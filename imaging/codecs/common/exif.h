#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

// TIFF field types used by the Exif builder.
enum class TiffType : std::uint16_t {
    Byte = 1,
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    Undefined = 7,
};

// One directory of TIFF fields. Entries are kept sorted by tag and a tag added
// twice replaces the earlier value, so the result is always a well-formed IFD.
class TiffIfd {
public:
    void addShort(std::uint16_t tag, std::vector<std::uint16_t> values);
    void addLong(std::uint16_t tag, std::vector<std::uint32_t> values);
    void addRational(std::uint16_t tag, std::uint32_t numerator, std::uint32_t denominator);
    // Stores the text with its terminating NUL.
    void addAscii(std::uint16_t tag, const std::string& text);
    void addUndefined(std::uint16_t tag, std::vector<std::uint8_t> bytes);

    struct Entry {
        std::uint16_t tag = 0;
        TiffType type = TiffType::Byte;
        std::uint32_t count = 0;
        std::vector<std::uint8_t> value;  // little-endian bytes of every element
    };
    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

private:
    void put(Entry e);
    std::vector<Entry> entries_;
};

// A little-endian ("II") TIFF structure holding IFD0 and, when `exif` is not
// empty, an Exif sub-IFD that IFD0 points at through tag 0x8769 (added here).
std::vector<std::uint8_t> buildExifTiff(const TiffIfd& ifd0, const TiffIfd& exif);
// The payload of a JPEG APP1 Exif segment: "Exif\0\0" followed by the TIFF structure.
std::vector<std::uint8_t> buildExifApp1(const TiffIfd& ifd0, const TiffIfd& exif);

// Horizontal and vertical resolution in dots per inch.
struct Resolution {
    double xDpi = 0;
    double yDpi = 0;
};

// Resolution from IFD0 of an Exif APP1 payload (starting with "Exif\0\0") or of a
// bare TIFF structure: XResolution, YResolution and ResolutionUnit (2 inch,
// the default; 3 centimetre). Returns nothing when the data is not such a
// structure, the fields are missing or zero, or the unit says "no absolute unit".
// Never reads outside `data`.
std::optional<Resolution> readExifResolution(std::span<const std::uint8_t> data);

}  // namespace rastel::imaging
