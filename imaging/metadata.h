#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace rastel::imaging {

class Image;

// What a file says about its picture besides the pixels. Resolution lives on
// the image itself (xDpi, yDpi). Pages share one immutable record through a
// shared_ptr, so copying a page costs a reference count.
struct Metadata {
    std::vector<std::uint8_t> icc;   // ICC profile
    std::vector<std::uint8_t> exif;  // TIFF structure (II/MM header first, no "Exif\0\0")
    std::vector<std::uint8_t> xmp;   // XMP packet, UTF-8
    std::vector<std::uint8_t> iptc;  // IPTC-IIM records (1C tag dataset ...)

    bool empty() const { return icc.empty() && exif.empty() && xmp.empty() && iptc.empty(); }
};

using MetadataPtr = std::shared_ptr<const Metadata>;

// Null when `m` holds nothing, so pages without metadata carry no record.
MetadataPtr shareMetadata(Metadata m);

// Colour space of an ICC profile's header ("RGB ", "GRAY", "CMYK", "Lab "), or
// an empty string when `icc` is too short to be a profile.
std::string iccColourSpace(std::span<const std::uint8_t> icc);
// The profile's description tag (ASCII part of 'desc', or the first 'mluc'
// record folded to ASCII); empty when it has none that can be read.
std::string iccDescription(std::span<const std::uint8_t> icc);

// Exif Orientation (1..8) from IFD0 of a TIFF structure; 1 when absent or invalid.
int exifOrientation(std::span<const std::uint8_t> exif);
// A copy of an Exif TIFF structure that describes a written picture of
// width x height: Orientation 1, PixelXDimension/PixelYDimension updated, and
// no IFD1 (its thumbnail would show the picture before the batch's changes).
// Values are patched in place, so makernotes and every offset stay valid.
// Empty when `exif` is not a structure that can be patched safely.
std::vector<std::uint8_t> exifForOutput(std::span<const std::uint8_t> exif, int width, int height);
// A copy of an XMP packet whose tiff:Orientation, when present, says 1.
std::vector<std::uint8_t> xmpForOutput(std::span<const std::uint8_t> xmp);

// One entry of an Exif directory, its value bytes in little-endian order.
struct ExifEntry {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::vector<std::uint8_t> value;

    // Element `i` as a number (a RATIONAL as its quotient); 0 when out of range.
    double number(std::size_t i) const;
    // An ASCII value up to its first NUL.
    std::string text() const;
};
// The directories of an Exif structure: IFD0 and the Exif and GPS
// directories it points to. Entries whose values lie outside the data are
// left out.
struct ExifTree {
    std::vector<ExifEntry> ifd0, exif, gps;
};
// `ifd0`: where IFD0 starts; 0 for the offset the header names.
ExifTree exifTree(std::span<const std::uint8_t> exif, std::uint32_t ifd0 = 0);
// A little-endian TIFF structure holding `tree`; empty when it holds nothing.
std::vector<std::uint8_t> serializeExif(const ExifTree& tree);
// The Exif record of the TIFF directory at `ifdOffset` of a whole TIFF
// file: its Exif and GPS directories and the IFD0 tags that say where the
// picture comes from (Make, Model, DateTime, Artist, Copyright, ...). The
// makernote, whose inner offsets would no longer hold, is left out, and so
// is Orientation: readers turn the pixels upright. Empty when there is none.
std::vector<std::uint8_t> exifFromTiff(std::span<const std::uint8_t> file, std::uint32_t ifdOffset);
// Reads the bytes of a file at `offset` into `out`; false when they are not all there.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;
// The same record from a TIFF file of `size` bytes that is not in memory:
// only the directories and the values the record is made of are read.
std::vector<std::uint8_t> exifFromTiff(const ReadAt& readAt, std::uint64_t size, std::uint32_t ifdOffset);

// One readable line per tag of note (Make, Model, DateTimeOriginal, ...), "Name: value".
std::vector<std::string> exifSummary(std::span<const std::uint8_t> exif);

// Turns `img` so that it shows upright, for an Exif/TIFF orientation 2..8
// (1 and out-of-range values leave it as it is).
void applyOrientation(Image& img, int orientation);

// The record without an ICC profile unless that profile is a gray one: what a
// page keeps once its colours have been turned to gray.
MetadataPtr grayMetadata(const MetadataPtr& m);

// The page's ICC profile when it describes pixels written as gray (`gray`) or
// as RGB/palette colours; empty otherwise.
std::span<const std::uint8_t> profileFor(const Image& page, bool gray);

// A readable list of what loading `path` gives: pages, size, depth,
// resolution and each page's metadata (ICC description and size, Exif tags
// of note, XMP and IPTC sizes). Throws Error when the file cannot be loaded.
std::string metadataReport(const std::string& path);

// IPTC-IIM records from a block of Photoshop image resources ("8BIM" blocks),
// and such a block holding one resource.
std::vector<std::uint8_t> photoshopResource(std::span<const std::uint8_t> resources, std::uint16_t id);
std::vector<std::uint8_t> photoshopResourceBlock(std::uint16_t id, std::span<const std::uint8_t> data);

}  // namespace rastel::imaging
