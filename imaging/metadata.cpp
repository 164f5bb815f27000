#include "imaging/metadata.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "imaging/codecs/common/byte_io.h"
#include "imaging/engine.h"
#include "imaging/image.h"

namespace rastel::imaging {

namespace {

constexpr std::uint16_t kOrientation = 0x0112;
constexpr std::uint16_t kExifIfd = 0x8769;
constexpr std::uint16_t kPixelXDimension = 0xA002;
constexpr std::uint16_t kPixelYDimension = 0xA003;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;

// Bounds-checked access to a TIFF structure in either byte order. Every read
// returns nothing past the end instead of throwing, because damaged metadata
// is dropped, never a reason to refuse the picture.
class TiffView {
public:
    explicit TiffView(std::span<std::uint8_t> d) : d_(d), w_(d.data()) {}
    explicit TiffView(std::span<const std::uint8_t> d) : d_(d) {}

    bool open() {
        if (d_.size() < 8) return false;
        if (d_[0] == 'I' && d_[1] == 'I')
            little_ = true;
        else if (d_[0] == 'M' && d_[1] == 'M')
            little_ = false;
        else
            return false;
        return u16(2) == 42;
    }
    std::optional<std::uint32_t> u16(std::size_t at) const {
        if (at > d_.size() || d_.size() - at < 2) return std::nullopt;
        return little_ ? loadU16le(d_.data() + at) : loadU16be(d_.data() + at);
    }
    std::optional<std::uint32_t> u32(std::size_t at) const {
        if (at > d_.size() || d_.size() - at < 4) return std::nullopt;
        return little_ ? loadU32le(d_.data() + at) : loadU32be(d_.data() + at);
    }
    // Writes only through a view made over writable bytes.
    void put16(std::size_t at, std::uint16_t v) { little_ ? storeU16le(w_ + at, v) : storeU16be(w_ + at, v); }
    void put32(std::size_t at, std::uint32_t v) { little_ ? storeU32le(w_ + at, v) : storeU32be(w_ + at, v); }
    bool little() const { return little_; }
    std::uint8_t byte(std::size_t at) const { return d_[at]; }
    std::size_t size() const { return d_.size(); }

    struct Entry {
        std::size_t at;  // offset of the 12-byte entry
        std::uint16_t tag, type;
        std::uint32_t count;
    };
    // Entries of the IFD at `offset` and the offset of its next-IFD field;
    // nothing when the directory does not fit.
    std::optional<std::pair<std::vector<Entry>, std::size_t>> ifd(std::uint32_t offset) const {
        const auto n = u16(offset);
        if (!n || d_.size() - offset < 2 + 12ull * *n + 4) return std::nullopt;
        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < *n; ++i) {
            const std::size_t at = offset + 2 + 12 * i;
            entries.push_back({at, std::uint16_t(*u16(at)), std::uint16_t(*u16(at + 2)), *u32(at + 4)});
        }
        return std::make_pair(std::move(entries), offset + 2 + 12 * std::size_t{*n});
    }
    // Value of a one-element SHORT or LONG entry.
    std::optional<std::uint32_t> number(const Entry& e) const {
        if (e.count != 1) return std::nullopt;
        if (e.type == kTypeShort) return u16(e.at + 8);
        if (e.type == kTypeLong || e.type == 13) return u32(e.at + 8);
        return std::nullopt;
    }
    // Bytes of an ASCII or UNDEFINED entry.
    std::optional<std::span<const std::uint8_t>> bytes(const Entry& e) const {
        if (e.type != 2 && e.type != 7 && e.type != 1) return std::nullopt;
        if (e.count <= 4) return std::span<const std::uint8_t>(d_.data() + e.at + 8, e.count);
        const auto off = u32(e.at + 8);
        if (!off || *off > d_.size() || d_.size() - *off < e.count) return std::nullopt;
        return std::span<const std::uint8_t>(d_.data() + *off, e.count);
    }

private:
    std::span<const std::uint8_t> d_;
    std::uint8_t* w_ = nullptr;
    bool little_ = true;
};

// Bytes of one element of a TIFF field type, and of the unit whose byte
// order is swapped (a RATIONAL is two LONGs); 0 for types not copied.
std::size_t typeSize(std::uint16_t type) {
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1;
    case 3:
    case 8: return 2;
    case 4:
    case 9:
    case 11:
    case 13: return 4;
    case 5:
    case 10:
    case 12: return 8;
    default: return 0;
    }
}
std::size_t swapUnit(std::uint16_t type) { return type == 5 || type == 10 ? 4 : typeSize(type); }

constexpr std::uint16_t kGpsIfd = 0x8825;
constexpr std::uint16_t kMakerNote = 0x927C;
constexpr std::uint16_t kInteropIfd = 0xA005;

// Entries of the directory at `offset` with their values in little-endian
// order; entries whose values do not fit the data are left out.
std::vector<ExifEntry> readEntries(const TiffView& t, std::uint32_t offset) {
    std::vector<ExifEntry> out;
    const auto ifd = t.ifd(offset);
    if (!ifd) return out;
    for (const auto& e : ifd->first) {
        const std::size_t size = typeSize(e.type);
        if (size == 0 || e.count == 0 || e.count > t.size() / size) continue;
        const std::size_t bytes = size * e.count;
        std::size_t at = e.at + 8;
        if (bytes > 4) {
            const auto off = t.u32(e.at + 8);
            if (!off || *off > t.size() || t.size() - *off < bytes) continue;
            at = *off;
        }
        ExifEntry x{e.tag, e.type, e.count, {}};
        x.value.reserve(bytes);
        const std::size_t unit = swapUnit(e.type);
        for (std::size_t u = 0; u < bytes; u += unit)
            for (std::size_t k = 0; k < unit; ++k) x.value.push_back(t.byte(at + u + (t.little() ? k : unit - 1 - k)));
        out.push_back(std::move(x));
    }
    return out;
}

}  // namespace

ExifTree exifTree(std::span<const std::uint8_t> exif, std::uint32_t ifd0) {
    ExifTree tree;
    TiffView t(exif);
    if (!t.open()) return tree;
    if (ifd0 == 0) ifd0 = *t.u32(4);
    tree.ifd0 = readEntries(t, ifd0);
    for (const auto& e : tree.ifd0) {
        if ((e.tag != kExifIfd && e.tag != kGpsIfd) || e.count != 1 || (e.type != kTypeLong && e.type != 13)) continue;
        const std::uint32_t sub = e.number(0);
        if (sub == ifd0) continue;
        (e.tag == kExifIfd ? tree.exif : tree.gps) = readEntries(t, sub);
    }
    return tree;
}

double ExifEntry::number(std::size_t i) const {
    const std::size_t size = typeSize(type);
    if (i >= count || value.size() < (i + 1) * size) return 0;
    const std::uint8_t* p = value.data() + i * size;
    switch (type) {
    case 1:
    case 2:
    case 7: return p[0];
    case 6: return std::int8_t(p[0]);
    case 3: return loadU16le(p);
    case 8: return std::int16_t(loadU16le(p));
    case 4:
    case 13: return loadU32le(p);
    case 9: return std::int32_t(loadU32le(p));
    case 5: return loadU32le(p + 4) ? double(loadU32le(p)) / loadU32le(p + 4) : 0;
    case 10:
        return std::int32_t(loadU32le(p + 4)) ? double(std::int32_t(loadU32le(p))) / std::int32_t(loadU32le(p + 4)) : 0;
    case 11: {
        float f;
        const std::uint32_t b = loadU32le(p);
        std::memcpy(&f, &b, 4);
        return f;
    }
    case 12: {
        double d;
        std::memcpy(&d, p, 8);
        return d;
    }
    default: return 0;
    }
}

std::string ExifEntry::text() const {
    std::string out;
    for (auto c : value) {
        if (!c) break;
        out += char(c);
    }
    return out;
}

std::vector<std::uint8_t> serializeExif(const ExifTree& tree) {
    std::vector<std::uint8_t> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
    auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out[at + i] = std::uint8_t(v >> (8 * i));
    };
    // Writes a directory, its values after it, and returns its offset.
    auto write = [&](std::vector<ExifEntry> entries) {
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
        if (out.size() & 1) out.push_back(0);
        const std::size_t at = out.size();
        out.resize(at + 2 + 12 * entries.size() + 4, 0);
        put(at, std::uint32_t(entries.size()), 2);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const ExifEntry& e = entries[i];
            const std::size_t p = at + 2 + 12 * i;
            put(p, e.tag, 2);
            put(p + 2, e.type, 2);
            put(p + 4, e.count, 4);
            if (e.value.size() <= 4) {
                std::copy(e.value.begin(), e.value.end(), out.begin() + std::ptrdiff_t(p + 8));
            } else {
                if (out.size() & 1) out.push_back(0);
                put(p + 8, std::uint32_t(out.size()), 4);
                out.insert(out.end(), e.value.begin(), e.value.end());
            }
        }
        return std::uint32_t(at);
    };
    auto pointer = [](std::uint16_t tag, std::uint32_t offset) {
        return ExifEntry{
            tag,
            kTypeLong,
            1,
            {std::uint8_t(offset), std::uint8_t(offset >> 8), std::uint8_t(offset >> 16), std::uint8_t(offset >> 24)}};
    };
    std::vector<ExifEntry> ifd0;
    for (const auto& e : tree.ifd0)
        if (e.tag != kExifIfd && e.tag != kGpsIfd) ifd0.push_back(e);
    if (!tree.exif.empty()) ifd0.push_back(pointer(kExifIfd, write(tree.exif)));
    if (!tree.gps.empty()) ifd0.push_back(pointer(kGpsIfd, write(tree.gps)));
    if (ifd0.empty()) return {};
    put(4, write(ifd0), 4);
    return out;
}

namespace {

// IFD0 tags that describe the picture's origin; the others describe how
// that file stored its pixels, which the output decides anew.
constexpr std::uint16_t kKept[] = {0x010E, 0x010F, 0x0110, 0x0131, 0x0132, 0x013B, 0x013C, 0x8298};

}  // namespace

std::vector<std::uint8_t> exifFromTiff(std::span<const std::uint8_t> file, std::uint32_t ifdOffset) {
    ExifTree tree = exifTree(file, ifdOffset);
    std::erase_if(tree.ifd0, [](const ExifEntry& e) {
        return std::find(std::begin(kKept), std::end(kKept), e.tag) == std::end(kKept);
    });
    // A makernote's inner offsets count from where it stood in the file, so a
    // moved one would point at the wrong bytes; the interoperability pointer
    // would point at nothing.
    std::erase_if(tree.exif, [](const ExifEntry& e) { return e.tag == kMakerNote || e.tag == kInteropIfd; });
    return serializeExif(tree);
}

std::vector<std::uint8_t> exifFromTiff(const ReadAt& readAt, std::uint64_t size, std::uint32_t ifdOffset) {
    // The directories and values the record is made of are gathered into a
    // small TIFF structure of their own, at new offsets, which the reading
    // above then takes apart as it would the whole file. Values exifFromTiff
    // drops (how the file stored its pixels, the makernote) are not read.
    std::vector<std::uint8_t> out(8);
    if (!readAt(0, out)) return {};
    TiffView header{std::span<const std::uint8_t>(out)};
    if (!header.open()) return {};
    const bool little = header.little();
    auto get16 = [little](const std::uint8_t* p) -> std::uint32_t { return little ? loadU16le(p) : loadU16be(p); };
    auto get32 = [little](const std::uint8_t* p) { return little ? loadU32le(p) : loadU32be(p); };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        little ? storeU32le(out.data() + at, v) : storeU32be(out.data() + at, v);
    };
    // Where a value or directory that is not there points: past any structure.
    constexpr std::uint32_t kNowhere = 0xFFFFFFFF;
    // Copies the directory at `offset` to the end of `out` with the values
    // of the entries that are kept; returns its new offset, kNowhere when the
    // directory is not all in the file. For IFD0 (`pointers` given) the
    // entries that point to the Exif and GPS directories go to `pointers`.
    auto copyIfd = [&](std::uint32_t offset, std::uint16_t which, std::vector<std::size_t>* pointers) -> std::uint32_t {
        const bool ifd0 = pointers != nullptr;
        std::uint8_t count[2];
        if (offset > size || size - offset < 2 || !readAt(offset, count)) return kNowhere;
        const std::uint32_t n = get16(count);
        const std::uint64_t length = 2 + 12 * std::uint64_t{n} + 4;
        if (size - offset < length) return kNowhere;
        const std::size_t at = out.size();
        out.resize(at + length);
        if (!readAt(offset, std::span<std::uint8_t>(out).subspan(at, length))) {
            out.resize(at);
            return kNowhere;
        }
        put32(at + length - 4, 0);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t e = at + 2 + 12 * std::size_t{i};
            const std::uint16_t tag = static_cast<std::uint16_t>(get16(out.data() + e));
            const std::uint16_t type = static_cast<std::uint16_t>(get16(out.data() + e + 2));
            const std::uint32_t elements = get32(out.data() + e + 4);
            if (ifd0 && (tag == kExifIfd || tag == kGpsIfd)) {
                pointers->push_back(e);
                continue;
            }
            const std::size_t unit = typeSize(type);
            if (unit == 0 || elements == 0 || elements > size / unit || unit * elements <= 4) continue;
            const bool kept = ifd0 ? std::find(std::begin(kKept), std::end(kKept), tag) != std::end(kKept)
                              : which == kExifIfd ? tag != kMakerNote && tag != kInteropIfd
                                                  : true;
            const std::uint32_t from = get32(out.data() + e + 8);
            const std::size_t bytes = unit * elements;
            if (!kept || from > size || size - from < bytes) {
                put32(e + 8, kNowhere);
                continue;
            }
            const std::size_t to = out.size();
            out.resize(to + bytes);
            if (!readAt(from, std::span<std::uint8_t>(out).subspan(to, bytes))) {
                out.resize(to);
                put32(e + 8, kNowhere);
                continue;
            }
            put32(e + 8, static_cast<std::uint32_t>(to));
        }
        return static_cast<std::uint32_t>(at);
    };
    if (ifdOffset == 0) ifdOffset = get32(out.data() + 4);
    std::vector<std::size_t> pointers;
    const std::uint32_t ifd0 = copyIfd(ifdOffset, 0, &pointers);
    if (ifd0 == kNowhere) return {};
    for (const std::size_t e : pointers) {
        const std::uint16_t tag = static_cast<std::uint16_t>(get16(out.data() + e));
        const std::uint16_t type = static_cast<std::uint16_t>(get16(out.data() + e + 2));
        if (get32(out.data() + e + 4) != 1 || (type != kTypeLong && type != 13)) continue;
        const std::uint32_t sub = get32(out.data() + e + 8);
        put32(e + 8, sub == ifdOffset ? ifd0 : copyIfd(sub, tag, nullptr));
    }
    return exifFromTiff(out, ifd0);
}

MetadataPtr shareMetadata(Metadata m) {
    if (m.empty()) return nullptr;
    return std::make_shared<const Metadata>(std::move(m));
}

std::string iccColourSpace(std::span<const std::uint8_t> icc) {
    if (icc.size() < 132 || loadU32be(icc.data()) != icc.size()) return {};
    return std::string(reinterpret_cast<const char*>(icc.data() + 16), 4);
}

std::string iccDescription(std::span<const std::uint8_t> icc) {
    if (iccColourSpace(icc).empty()) return {};
    const std::uint32_t count = loadU32be(icc.data() + 128);
    if (count > (icc.size() - 132) / 12) return {};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t e = 132 + 12 * std::size_t{i};
        if (std::memcmp(icc.data() + e, "desc", 4) != 0) continue;
        const std::uint32_t off = loadU32be(icc.data() + e + 4), size = loadU32be(icc.data() + e + 8);
        if (off > icc.size() || icc.size() - off < size || size < 12) return {};
        const auto tag = icc.subspan(off, size);
        std::string out;
        if (std::memcmp(tag.data(), "desc", 4) == 0) {
            const std::uint32_t n = loadU32be(tag.data() + 8);
            if (n > size - 12) return {};
            for (std::uint32_t k = 0; k < n && tag[12 + k]; ++k) out += char(tag[12 + k]);
        } else if (std::memcmp(tag.data(), "mluc", 4) == 0 && size >= 28 && loadU32be(tag.data() + 8) >= 1) {
            const std::uint32_t len = loadU32be(tag.data() + 20), at = loadU32be(tag.data() + 24);
            if (at > size || size - at < len) return {};
            for (std::uint32_t k = 0; k + 1 < len; k += 2) {
                const unsigned ch = unsigned(tag[at + k]) << 8 | tag[at + k + 1];
                out += ch >= 0x20 && ch < 0x7F ? char(ch) : '?';
            }
        }
        return out;
    }
    return {};
}

int exifOrientation(std::span<const std::uint8_t> exif) {
    TiffView t(exif);
    if (!t.open()) return 1;
    const auto ifd0 = t.ifd(*t.u32(4));
    if (!ifd0) return 1;
    for (const auto& e : ifd0->first)
        if (e.tag == kOrientation) {
            const auto v = t.number(e);
            return v && *v >= 1 && *v <= 8 ? int(*v) : 1;
        }
    return 1;
}

std::vector<std::uint8_t> exifForOutput(std::span<const std::uint8_t> exif, int width, int height) {
    std::vector<std::uint8_t> out(exif.begin(), exif.end());
    TiffView t{std::span<std::uint8_t>(out)};
    if (!t.open()) return {};
    const auto ifd0 = t.ifd(*t.u32(4));
    if (!ifd0) return {};
    t.put32(ifd0->second, 0);  // drop IFD1 and its thumbnail
    for (const auto& e : ifd0->first) {
        if (e.tag == kOrientation && e.type == kTypeShort && e.count == 1) t.put16(e.at + 8, 1);
        if (e.tag != kExifIfd) continue;
        const auto offset = t.number(e);
        const auto sub = offset ? t.ifd(*offset) : std::nullopt;
        if (!sub) continue;
        for (const auto& s : sub->first) {
            if ((s.tag != kPixelXDimension && s.tag != kPixelYDimension) || s.count != 1) continue;
            const auto v = std::uint32_t(s.tag == kPixelXDimension ? width : height);
            // A one-element LONG fits in the entry, so a SHORT too small for
            // the value becomes a LONG in place.
            t.put16(s.at + 2, v > 0xFFFF || s.type == kTypeLong ? kTypeLong : kTypeShort);
            t.put32(s.at + 8, 0);
            if (v > 0xFFFF || s.type == kTypeLong)
                t.put32(s.at + 8, v);
            else
                t.put16(s.at + 8, std::uint16_t(v));
        }
    }
    return out;
}

std::vector<std::uint8_t> xmpForOutput(std::span<const std::uint8_t> xmp) {
    std::vector<std::uint8_t> out(xmp.begin(), xmp.end());
    std::string_view text(reinterpret_cast<const char*>(out.data()), out.size());
    for (const std::string_view key : {"tiff:Orientation=\"", "tiff:Orientation>"}) {
        for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
            const std::size_t v = at + key.size();
            if (v < out.size() && out[v] >= '1' && out[v] <= '8') out[v] = '1';
        }
    }
    return out;
}

std::vector<std::string> exifSummary(std::span<const std::uint8_t> exif) {
    static const std::pair<std::uint16_t, const char*> kNames[] = {
        {0x010F, "Make"},
        {0x0110, "Model"},
        {0x0112, "Orientation"},
        {0x0131, "Software"},
        {0x0132, "DateTime"},
        {0x9003, "DateTimeOriginal"},
        {0xA002, "PixelXDimension"},
        {0xA003, "PixelYDimension"},
        {0x927C, "MakerNote"},
        {0x8825, "GPSInfo"},
        {0x013B, "Artist"},
        {0x8298, "Copyright"},
    };
    TiffView t(exif);
    std::vector<std::string> lines;
    if (!t.open()) return lines;
    auto describe = [&](const TiffView::Entry& e) {
        for (const auto& [tag, name] : kNames) {
            if (tag != e.tag) continue;
            std::string value;
            if (e.tag == 0x927C)
                value = std::to_string(e.count) + " bytes";
            else if (e.tag == 0x8825)
                value = "present";
            else if (const auto n = t.number(e))
                value = std::to_string(*n);
            else if (const auto b = t.bytes(e))
                for (auto c : *b) {
                    if (!c) break;
                    value += c >= 0x20 && c < 0x7F ? char(c) : '?';
                }
            lines.push_back(std::string(name) + ": " + value);
        }
    };
    const auto ifd0 = t.ifd(*t.u32(4));
    if (!ifd0) return lines;
    for (const auto& e : ifd0->first) {
        describe(e);
        if (e.tag != kExifIfd) continue;
        const auto offset = t.number(e);
        if (const auto sub = offset ? t.ifd(*offset) : std::nullopt)
            for (const auto& s : sub->first) describe(s);
    }
    return lines;
}

void applyOrientation(Image& img, int orientation) {
    if (orientation < 2 || orientation > 8 || img.empty()) return;
    const bool swap = orientation >= 5;
    const int w = img.width(), h = img.height();
    Image out(swap ? h : w, swap ? w : h, img.format(), img.indexBits());
    out.palette() = img.palette();
    out.xDpi = swap ? img.yDpi : img.xDpi;
    out.yDpi = swap ? img.xDpi : img.yDpi;
    out.metadata = img.metadata;
    const std::size_t bpp = static_cast<std::size_t>(bytesPerPixel(img.format()));
    for (int y = 0; y < out.height(); ++y) {
        std::uint8_t* dst = out.row(y);
        for (int x = 0; x < out.width(); ++x, dst += bpp) {
            int sx = x, sy = y;
            switch (orientation) {
            case 2: sx = w - 1 - x; break;
            case 3:
                sx = w - 1 - x;
                sy = h - 1 - y;
                break;
            case 4: sy = h - 1 - y; break;
            case 5:
                sx = y;
                sy = x;
                break;
            case 6:
                sx = y;
                sy = h - 1 - x;
                break;
            case 7:
                sx = w - 1 - y;
                sy = h - 1 - x;
                break;
            case 8:
                sx = w - 1 - y;
                sy = x;
                break;
            }
            std::memcpy(dst, img.row(sy) + static_cast<std::size_t>(sx) * bpp, bpp);
        }
    }
    img = std::move(out);
}

MetadataPtr grayMetadata(const MetadataPtr& m) {
    if (!m || m->icc.empty() || iccColourSpace(m->icc) == "GRAY") return m;
    Metadata copy = *m;
    copy.icc.clear();
    return shareMetadata(std::move(copy));
}

std::span<const std::uint8_t> profileFor(const Image& page, bool gray) {
    if (!page.metadata) return {};
    const std::string space = iccColourSpace(page.metadata->icc);
    if (space == (gray ? "GRAY" : "RGB ")) return page.metadata->icc;
    return {};
}

std::string metadataReport(const std::string& path) {
    const Document doc = loadDocument(path);
    std::ostringstream out;
    out << "file: " << path << "\npages: " << doc.pages.size() << '\n';
    for (std::size_t i = 0; i < doc.pages.size(); ++i) {
        const Image& p = doc.pages[i];
        out << "page " << i + 1 << ": " << p.width() << 'x' << p.height() << ", " << p.bitsPerPixel() << " bits, "
            << formatName(p.format()) << ", " << p.xDpi << 'x' << p.yDpi << " dpi\n";
        if (!p.metadata) {
            out << "  no metadata\n";
            continue;
        }
        const Metadata& m = *p.metadata;
        if (!m.icc.empty())
            out << "  ICC profile: \"" << iccDescription(m.icc) << "\" (" << iccColourSpace(m.icc) << ", "
                << m.icc.size() << " bytes)\n";
        if (!m.exif.empty()) {
            out << "  Exif: " << m.exif.size() << " bytes, as read (the orientation is applied to the pixels)\n";
            for (const auto& line : exifSummary(m.exif)) out << "    " << line << '\n';
        }
        if (!m.xmp.empty()) out << "  XMP: " << m.xmp.size() << " bytes\n";
        if (!m.iptc.empty()) out << "  IPTC: " << m.iptc.size() << " bytes\n";
    }
    return out.str();
}

std::vector<std::uint8_t> photoshopResource(std::span<const std::uint8_t> r, std::uint16_t id) {
    std::size_t at = 0;
    while (r.size() - at >= 12 && std::memcmp(r.data() + at, "8BIM", 4) == 0) {
        const unsigned rid = loadU16be(r.data() + at + 4);
        std::size_t p = at + 6;
        p += (1 + std::size_t{r[p]} + 1) & ~std::size_t{1};  // Pascal name, padded to even
        if (p > r.size() || r.size() - p < 4) break;
        const std::uint32_t size = loadU32be(r.data() + p);
        p += 4;
        if (size > r.size() - p) break;
        if (rid == id) return {r.begin() + p, r.begin() + p + size};
        at = p + size + (size & 1);
        if (at > r.size()) break;
    }
    return {};
}

std::vector<std::uint8_t> photoshopResourceBlock(std::uint16_t id, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out = {'8', 'B', 'I', 'M', std::uint8_t(id >> 8), std::uint8_t(id), 0, 0};
    const auto n = static_cast<std::uint32_t>(data.size());
    for (int i = 3; i >= 0; --i) out.push_back(std::uint8_t(n >> (8 * i)));
    out.insert(out.end(), data.begin(), data.end());
    if (n & 1) out.push_back(0);
    return out;
}

}  // namespace rastel::imaging
