#include "imaging/metadata.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

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
    explicit TiffView(std::span<std::uint8_t> d) : d_(d) {}

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
        return little_ ? std::uint32_t(d_[at] | d_[at + 1] << 8) : std::uint32_t(d_[at] << 8 | d_[at + 1]);
    }
    std::optional<std::uint32_t> u32(std::size_t at) const {
        if (at > d_.size() || d_.size() - at < 4) return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t(d_[at + i]) << (little_ ? 8 * i : 8 * (3 - i));
        return v;
    }
    void put16(std::size_t at, std::uint16_t v) {
        d_[at] = std::uint8_t(little_ ? v : v >> 8);
        d_[at + 1] = std::uint8_t(little_ ? v >> 8 : v);
    }
    void put32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) d_[at + i] = std::uint8_t(v >> (little_ ? 8 * i : 8 * (3 - i)));
    }
    std::span<std::uint8_t> data() const { return d_; }

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
    std::span<std::uint8_t> d_;
    bool little_ = true;
};

std::uint32_t be32(std::span<const std::uint8_t> d, std::size_t at) {
    return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3];
}

}  // namespace

MetadataPtr shareMetadata(Metadata m) {
    if (m.empty()) return nullptr;
    return std::make_shared<const Metadata>(std::move(m));
}

std::string iccColourSpace(std::span<const std::uint8_t> icc) {
    if (icc.size() < 132 || be32(icc, 0) != icc.size()) return {};
    return std::string(reinterpret_cast<const char*>(icc.data() + 16), 4);
}

std::string iccDescription(std::span<const std::uint8_t> icc) {
    if (iccColourSpace(icc).empty()) return {};
    const std::uint32_t count = be32(icc, 128);
    if (count > (icc.size() - 132) / 12) return {};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t e = 132 + 12 * std::size_t{i};
        if (std::memcmp(icc.data() + e, "desc", 4) != 0) continue;
        const std::uint32_t off = be32(icc, e + 4), size = be32(icc, e + 8);
        if (off > icc.size() || icc.size() - off < size || size < 12) return {};
        const auto tag = icc.subspan(off, size);
        std::string out;
        if (std::memcmp(tag.data(), "desc", 4) == 0) {
            const std::uint32_t n = be32(tag, 8);
            if (n > size - 12) return {};
            for (std::uint32_t k = 0; k < n && tag[12 + k]; ++k) out += char(tag[12 + k]);
        } else if (std::memcmp(tag.data(), "mluc", 4) == 0 && size >= 28 && be32(tag, 8) >= 1) {
            const std::uint32_t len = be32(tag, 20), at = be32(tag, 24);
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
    std::vector<std::uint8_t> copy(exif.begin(), exif.end());
    TiffView t(copy);
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
    TiffView t(out);
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
        {0x010F, "Make"},          {0x0110, "Model"},          {0x0112, "Orientation"},
        {0x0131, "Software"},      {0x0132, "DateTime"},       {0x9003, "DateTimeOriginal"},
        {0xA002, "PixelXDimension"}, {0xA003, "PixelYDimension"}, {0x927C, "MakerNote"},
        {0x8825, "GPSInfo"},
    };
    std::vector<std::uint8_t> copy(exif.begin(), exif.end());
    TiffView t(copy);
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
                case 3: sx = w - 1 - x; sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y; sy = x; break;
                case 6: sx = y; sy = h - 1 - x; break;
                case 7: sx = w - 1 - y; sy = h - 1 - x; break;
                case 8: sx = w - 1 - y; sy = x; break;
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
        const unsigned rid = unsigned(r[at + 4]) << 8 | r[at + 5];
        std::size_t p = at + 6;
        p += (1 + std::size_t{r[p]} + 1) & ~std::size_t{1};  // Pascal name, padded to even
        if (p > r.size() || r.size() - p < 4) break;
        const std::uint32_t size = be32(r, p);
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
