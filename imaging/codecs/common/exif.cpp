#include "imaging/codecs/common/exif.h"

#include <algorithm>
#include <cstring>

#include "imaging/codecs/common/byte_io.h"
#include "imaging/error.h"

namespace rastel::imaging {

namespace {

constexpr std::uint16_t kExifIfdPointer = 0x8769;
constexpr std::uint16_t kXResolution = 0x011A;
constexpr std::uint16_t kYResolution = 0x011B;
constexpr std::uint16_t kResolutionUnit = 0x0128;

std::size_t ifdSize(const TiffIfd& ifd) {
    std::size_t size = 2 + 12 * ifd.entries().size() + 4;
    for (const auto& e : ifd.entries())
        if (e.value.size() > 4) size += (e.value.size() + 1) & ~std::size_t{1};
    return size;
}

// Appends `ifd` to `out`, which must already be `start` bytes long; values
// larger than four bytes follow the directory at even offsets.
void writeIfd(std::vector<std::uint8_t>& out, const TiffIfd& ifd) {
    const std::size_t start = out.size();
    appendU16le(out, static_cast<std::uint16_t>(ifd.entries().size()));
    std::size_t overflow = start + 2 + 12 * ifd.entries().size() + 4;
    std::vector<std::uint8_t> tail;
    for (const auto& e : ifd.entries()) {
        appendU16le(out, e.tag);
        appendU16le(out, static_cast<std::uint16_t>(e.type));
        appendU32le(out, e.count);
        if (e.value.size() <= 4) {
            out.insert(out.end(), e.value.begin(), e.value.end());
            out.insert(out.end(), 4 - e.value.size(), 0);
        } else {
            appendU32le(out, static_cast<std::uint32_t>(overflow + tail.size()));
            tail.insert(tail.end(), e.value.begin(), e.value.end());
            if (tail.size() & 1) tail.push_back(0);
        }
    }
    appendU32le(out, 0);  // no further IFD
    out.insert(out.end(), tail.begin(), tail.end());
}

}  // namespace

void TiffIfd::put(Entry e) {
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), e.tag,
                                     [](const Entry& x, std::uint16_t tag) { return x.tag < tag; });
    if (at != entries_.end() && at->tag == e.tag)
        *at = std::move(e);
    else
        entries_.insert(at, std::move(e));
}

void TiffIfd::addShort(std::uint16_t tag, std::vector<std::uint16_t> values) {
    Entry e{tag, TiffType::Short, static_cast<std::uint32_t>(values.size()), {}};
    for (auto v : values) appendU16le(e.value, v);
    put(std::move(e));
}

void TiffIfd::addLong(std::uint16_t tag, std::vector<std::uint32_t> values) {
    Entry e{tag, TiffType::Long, static_cast<std::uint32_t>(values.size()), {}};
    for (auto v : values) appendU32le(e.value, v);
    put(std::move(e));
}

void TiffIfd::addRational(std::uint16_t tag, std::uint32_t numerator, std::uint32_t denominator) {
    Entry e{tag, TiffType::Rational, 1, {}};
    appendU32le(e.value, numerator);
    appendU32le(e.value, denominator);
    put(std::move(e));
}

void TiffIfd::addAscii(std::uint16_t tag, const std::string& text) {
    Entry e{tag, TiffType::Ascii, 0, {text.begin(), text.end()}};
    e.value.push_back(0);
    e.count = static_cast<std::uint32_t>(e.value.size());
    put(std::move(e));
}

void TiffIfd::addUndefined(std::uint16_t tag, std::vector<std::uint8_t> bytes) {
    Entry e{tag, TiffType::Undefined, static_cast<std::uint32_t>(bytes.size()), std::move(bytes)};
    put(std::move(e));
}

std::vector<std::uint8_t> buildExifTiff(const TiffIfd& ifd0In, const TiffIfd& exif) {
    TiffIfd ifd0 = ifd0In;
    if (!exif.empty()) ifd0.addLong(kExifIfdPointer, {0});  // patched below once its size is known
    const std::size_t exifOffset = 8 + ifdSize(ifd0);
    if (!exif.empty()) ifd0.addLong(kExifIfdPointer, {static_cast<std::uint32_t>(exifOffset)});

    std::vector<std::uint8_t> out = {'I', 'I', 42, 0};
    appendU32le(out, 8);
    writeIfd(out, ifd0);
    if (!exif.empty()) writeIfd(out, exif);
    return out;
}

std::vector<std::uint8_t> buildExifApp1(const TiffIfd& ifd0, const TiffIfd& exif) {
    std::vector<std::uint8_t> out = {'E', 'x', 'i', 'f', 0, 0};
    const auto tiff = buildExifTiff(ifd0, exif);
    out.insert(out.end(), tiff.begin(), tiff.end());
    return out;
}

std::optional<Resolution> readExifResolution(std::span<const std::uint8_t> data) {
    static const std::uint8_t exifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (data.size() >= 6 && std::memcmp(data.data(), exifId, 6) == 0) data = data.subspan(6);
    try {
        ByteReader r(data, "Exif");
        const std::uint16_t order = r.u16le();
        bool little;
        if (order == 0x4949)
            little = true;
        else if (order == 0x4D4D)
            little = false;
        else
            return std::nullopt;
        auto u16 = [&] { return little ? r.u16le() : r.u16be(); };
        auto u32 = [&] { return little ? r.u32le() : r.u32be(); };
        if (u16() != 42) return std::nullopt;
        r.seek(u32());
        const std::uint16_t count = u16();
        r.require(std::uint64_t{count} * 12, "IFD0 entries");
        double xRes = 0, yRes = 0;
        int unit = 2;
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::size_t entry = r.pos();
            const std::uint16_t tag = u16();
            const std::uint16_t type = u16();
            const std::uint32_t n = u32();
            if ((tag == kXResolution || tag == kYResolution) && type == 5 && n >= 1) {
                const std::uint32_t offset = u32();
                r.seek(offset);
                const std::uint32_t num = u32();
                const std::uint32_t den = u32();
                const double v = den ? static_cast<double>(num) / den : 0.0;
                (tag == kXResolution ? xRes : yRes) = v;
            } else if (tag == kResolutionUnit && n >= 1 && (type == 3 || type == 4)) {
                unit = type == 3 ? u16() : static_cast<int>(u32());
            }
            r.seek(entry + 12);
        }
        if (xRes <= 0 || yRes <= 0) return std::nullopt;
        if (unit == 2) return Resolution{xRes, yRes};
        if (unit == 3) return Resolution{xRes * 2.54, yRes * 2.54};
        return std::nullopt;
    } catch (const Error&) {
        return std::nullopt;
    }
}

}  // namespace rastel::imaging
