// WordPerfect Graphics (WPG) version 1 reader and writer.
//
// A 16-byte prefix ("\xFFWPC", data offset, product type 1, file type 0x16,
// major and minor version, encryption key, reserved) is followed by records:
// a type byte and a variable-length size (one byte; 0xFF then a word; a word
// with its top bit set then a second word for sizes of 32 KiB and more).
// Values are little-endian. Bitmaps are run-length coded as a single stream:
//   1nnnnnnn v   n copies of v (n = 0: the next byte counts 0xFF bytes)
//   0nnnnnnn ... n literal bytes (n = 0: the next byte counts repeats of the
//                previous scan line)

#include <algorithm>
#include <cmath>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "WPG";
constexpr int kCode = 54;
constexpr std::uint8_t kColormap = 0x0E;
constexpr std::uint8_t kBitmap1 = 0x0B;
constexpr std::uint8_t kBitmap2 = 0x14;
constexpr std::uint8_t kStart = 0x0F;
constexpr std::uint8_t kEnd = 0x10;
constexpr double kDefaultDpi = 72;
constexpr int kWpgUnitsPerInch = 1200;

bool hasSignature(std::span<const std::uint8_t> d) {
    return d.size() >= 4 && d[0] == 0xFF && d[1] == 'W' && d[2] == 'P' && d[3] == 'C';
}

// Palette in effect before any colour map record: black and white for 1 bit,
// the EGA colours for 2 and 4 bits and as the first 16 of 256 (the rest gray).
std::vector<Rgb> defaultPalette() {
    std::vector<Rgb> pal(256);
    for (std::size_t i = 0; i < 256; ++i) {
        if (i < 16) {
            pal[i] = kEgaPalette[i];
        } else {
            const auto v = static_cast<std::uint8_t>(i);
            pal[i] = {v, v, v};
        }
    }
    return pal;
}

std::uint32_t recordLength(ByteReader& in) {
    const std::uint8_t b = in.u8();
    if (b != 0xFF) return b;
    const std::uint16_t w = in.u16le();
    if (!(w & 0x8000)) return w;
    return (std::uint32_t{w & 0x7FFFu} << 16) | in.u16le();
}

struct Record {
    std::uint8_t type;
    std::span<const std::uint8_t> body;
};

// Every record up to the end record (or the end of the file).
std::vector<Record> records(std::span<const std::uint8_t> data) {
    ByteReader in(data, kFormat);
    in.require(16, "prefix");
    if (!hasSignature(data)) fail(kFormat, "not a WordPerfect Graphics file");
    in.skip(4);
    const std::uint32_t offset = in.u32le();
    in.skip(2);  // product and file type
    const int major = in.u8();
    if (major == 2) fail(kFormat, "version 2 files are not supported");
    if (major != 1) fail(kFormat, "unknown version " + std::to_string(major));
    if (offset < 16) fail(kFormat, "data offset lies inside the prefix");
    in.seek(offset);
    std::vector<Record> out;
    while (in.remaining() > 0) {
        const std::uint8_t type = in.u8();
        const std::uint32_t length = recordLength(in);
        const auto body = in.bytes(length, "record");
        if (type == kEnd) break;
        out.push_back({type, body});
    }
    return out;
}

Image decodeBitmap(const Record& rec, const std::vector<Rgb>& palette) {
    ByteReader in(rec.body, kFormat);
    if (rec.type == kBitmap2) in.skip(10);  // rotation angle and placement box
    const int width = in.u16le();
    const int height = in.u16le();
    const int depth = in.u16le();
    const int hres = in.u16le();
    const int vres = in.u16le();
    if (depth != 1 && depth != 2 && depth != 4 && depth != 8)
        fail(kFormat, "unsupported bitmap depth of " + std::to_string(depth) + " bits");
    checkDimensions(kFormat, width, height);

    const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(width), depth);
    const std::size_t total = rowBytes * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> raw(total);
    std::size_t pos = 0;
    while (pos < total) {
        const std::uint8_t b = in.u8();
        const std::size_t n = b & 0x7F;
        if (b & 0x80) {
            std::size_t count = n;
            std::uint8_t value = 0xFF;
            if (n == 0)
                count = in.u8();
            else
                value = in.u8();
            count = std::min(count, total - pos);
            std::fill_n(raw.begin() + static_cast<std::ptrdiff_t>(pos), count, value);
            pos += count;
        } else if (n != 0) {
            const auto lit = in.bytes(n, "literal bytes");
            const std::size_t count = std::min(n, total - pos);
            std::copy_n(lit.begin(), count, raw.begin() + static_cast<std::ptrdiff_t>(pos));
            pos += count;
        } else {
            const std::size_t repeats = in.u8();
            if (pos % rowBytes != 0 || pos == 0) fail(kFormat, "scan line repeat outside a row boundary");
            for (std::size_t r = 0; r < repeats && pos < total; ++r, pos += rowBytes)
                std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(pos - rowBytes), rowBytes,
                            raw.begin() + static_cast<std::ptrdiff_t>(pos));
        }
    }

    Image img(width, height, PixelFormat::Indexed, depth);
    for (int y = 0; y < height; ++y)
        unpackBits(raw.data() + rowBytes * static_cast<std::size_t>(y), static_cast<std::size_t>(width), depth,
                   img.row(y));
    img.palette().assign(palette.begin(), palette.begin() + (std::ptrdiff_t{1} << depth));
    if (hres > 0 && vres > 0) {
        img.xDpi = hres;
        img.yDpi = vres;
    }
    return img;
}

// Sets the palette entries a colour map record gives.
void applyColormap(const Record& r, std::vector<Rgb>& palette) {
    ByteReader in(r.body, kFormat);
    const std::size_t first = in.u16le();
    const std::size_t count = in.u16le();
    if (first + count > 256) fail(kFormat, "colour map runs past 256 entries");
    const auto entries = in.bytes(3 * count, "colour map");
    for (std::size_t i = 0; i < count; ++i)
        palette[first + i] = {entries[3 * i], entries[3 * i + 1], entries[3 * i + 2]};
}

// A bitmap record as a page; before any colour map, a 1-bit one is black and white.
Image bitmapPage(const Record& r, const std::vector<Rgb>& palette, bool mapped) {
    Image img = decodeBitmap(r, palette);
    if (!mapped && img.indexBits() == 1) img.palette() = {{0, 0, 0}, {255, 255, 255}};
    return img;
}

// A WPG file page by page: the records are walked when it opens, each bitmap
// keeping the colour map in force at its place; its pixels are decoded when
// its page is asked for.
class WpgPages : public PageSource {
public:
    explicit WpgPages(std::span<const std::uint8_t> data) {
        std::vector<Rgb> palette = defaultPalette();
        bool mapped = false;
        for (const Record& r : records(data)) {
            if (r.type == kColormap) {
                applyColormap(r, palette);
                mapped = true;
            } else if (r.type == kBitmap1 || r.type == kBitmap2) {
                bitmaps_.push_back({r, palette, mapped});
            }
        }
        if (bitmaps_.empty()) fail(kFormat, "file holds no bitmap");
    }

    int pageCount() const override { return static_cast<int>(bitmaps_.size()); }

    Image page(int index) override {
        const Bitmap& b = bitmaps_.at(static_cast<std::size_t>(index));
        return bitmapPage(b.record, b.palette, b.mapped);
    }

private:
    struct Bitmap {
        Record record;
        std::vector<Rgb> palette;
        bool mapped;
    };
    std::vector<Bitmap> bitmaps_;
};

class WpgReader : public FormatReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".wpg"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        return hasSignature(head) ? Sniff::Strong : Sniff::No;
    }

    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        int n = 0;
        for (const Record& r : records(data)) n += r.type == kBitmap1 || r.type == kBitmap2;
        if (n == 0) fail(kFormat, "file holds no bitmap");
        return n;
    }

    // Every bitmap record becomes a page, coloured by the colour map records
    // that precede it.
    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        std::vector<Rgb> palette = defaultPalette();
        bool mapped = false;
        Document doc;
        for (const Record& r : records(data)) {
            if (r.type == kColormap) {
                applyColormap(r, palette);
                mapped = true;
            } else if (r.type == kBitmap1 || r.type == kBitmap2) {
                doc.pages.push_back(bitmapPage(r, palette, mapped));
            }
        }
        if (doc.pages.empty()) fail(kFormat, "file holds no bitmap");
        return doc;
    }

    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return std::make_unique<WpgPages>(data);
    }
};

void putLength(ByteWriter& out, std::size_t length) {
    if (length < 0xFF) {
        out.u8(static_cast<std::uint8_t>(length));
    } else if (length < 0x8000) {
        out.u8(0xFF);
        out.u16le(static_cast<std::uint16_t>(length));
    } else {
        if (length > 0x7FFFFFFF) fail(kFormat, "bitmap too large for a record");
        out.u8(0xFF);
        out.u16le(static_cast<std::uint16_t>(0x8000 | (length >> 16)));
        out.u16le(static_cast<std::uint16_t>(length & 0xFFFF));
    }
}

void putRecord(ByteWriter& out, std::uint8_t type, const std::vector<std::uint8_t>& body) {
    out.u8(type);
    putLength(out, body.size());
    out.bytes(body);
}

// Codes one row: runs of 2..127 equal bytes, literals of at most 127 bytes,
// and a scan line repeat when rows equal the previous one.
void encodeRow(const std::uint8_t* row, std::size_t n, ByteWriter& out) {
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 127 && row[i + run] == row[i]) ++run;
        if (run >= 2) {
            out.u8(static_cast<std::uint8_t>(0x80 | run));
            out.u8(row[i]);
            i += run;
            continue;
        }
        std::size_t j = i;
        while (j < n && j - i < 127 && !(j + 1 < n && row[j] == row[j + 1])) ++j;
        out.u8(static_cast<std::uint8_t>(j - i));
        out.bytes(row + i, j - i);
        i = j;
    }
}

std::uint16_t dpiOf(double dpi) {
    if (!(dpi > 0)) return static_cast<std::uint16_t>(kDefaultDpi);
    return static_cast<std::uint16_t>(std::clamp(std::lround(dpi), 1L, 65535L));
}

class WpgWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {1, 4, 8}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const int bits = opt.bits;
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "picture too large for WPG (65535 pixels at most)");
        const Image img = toBitsPerPixel(page, bits);
        const std::uint16_t hres = dpiOf(img.xDpi), vres = dpiOf(img.yDpi);

        ByteWriter out;
        out.bytes("\xFFWPC", 4);
        out.u32le(16);
        out.u8(1);     // product type
        out.u8(0x16);  // file type: graphics
        out.u8(1);     // major version
        out.u8(0);     // minor version
        out.u16le(0);  // not encrypted
        out.u16le(0);

        ByteWriter start;
        start.u8(1);  // version
        start.u8(0);  // flags
        start.u16le(static_cast<std::uint16_t>(
            std::min<long>(65535, std::lround(double(img.width()) * kWpgUnitsPerInch / hres))));
        start.u16le(static_cast<std::uint16_t>(
            std::min<long>(65535, std::lround(double(img.height()) * kWpgUnitsPerInch / vres))));
        putRecord(out, kStart, start.take());

        ByteWriter map;
        const std::size_t entries = std::size_t{1} << bits;
        map.u16le(0);
        map.u16le(static_cast<std::uint16_t>(entries));
        for (std::size_t i = 0; i < entries; ++i) {
            const Rgb c = i < img.palette().size() ? img.palette()[i] : Rgb{};
            map.u8(c.r);
            map.u8(c.g);
            map.u8(c.b);
        }
        putRecord(out, kColormap, map.take());

        ByteWriter bmp;
        bmp.u16le(static_cast<std::uint16_t>(img.width()));
        bmp.u16le(static_cast<std::uint16_t>(img.height()));
        bmp.u16le(static_cast<std::uint16_t>(bits));
        bmp.u16le(hres);
        bmp.u16le(vres);
        const std::size_t width = static_cast<std::size_t>(img.width());
        const std::size_t rowBytes = packedBytes(width, bits);
        std::vector<std::uint8_t> prev, row(rowBytes);
        for (int y = 0; y < img.height();) {
            std::fill(row.begin(), row.end(), 0);
            packBits(img.row(y), width, bits, row.data());
            encodeRow(row.data(), rowBytes, bmp);
            ++y;
            // Following rows equal to this one: a scan line repeat.
            int same = 0;
            while (y < img.height() && same < 255 &&
                   std::equal(img.row(y), img.row(y) + width, img.row(y - 1 - same))) {
                ++same;
                ++y;
            }
            if (same > 0) {
                bmp.u8(0);
                bmp.u8(static_cast<std::uint8_t>(same));
            }
        }
        putRecord(out, kBitmap1, bmp.take());
        putRecord(out, kEnd, {});
        return out.take();
    }
};

}  // namespace

void registerWpgCodec(Registry& registry) { registry.addCodec<WpgReader, WpgWriter>(); }

}  // namespace rastel::imaging
