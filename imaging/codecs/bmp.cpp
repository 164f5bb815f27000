// BMP family: Windows and OS/2 bitmaps (.bmp, .dib) and Windows icons (.ico).
//
// Reader decisions worth knowing:
//  - Pixels a run-length delta escape skips keep palette index 0 (the picture
//    stays Indexed; no alpha channel is invented for them).
//  - Run-length runs past the right edge are clipped; codes past the last row
//    end the picture. Data that stops before the last row is an error, as is
//    uncompressed pixel data shorter than the rows need.
//  - Colour tables shorter than 2^bits are padded with black, so every index a
//    file can hold names a colour.
//  - 32-bit pixels (the fourth byte of plain 32-bit pixels, or the alpha mask of
//    bit-field pixels, also at 16 bits) give an Rgba32 page only when that alpha
//    carries information: when every value is 0 (an unused field) or every value
//    is 255 the page is Rgb24.
//  - Icon entries stored as bitmaps become Rgba32 pages: a 32-bit entry whose
//    alpha bytes are not all 0 keeps that alpha; every other entry takes its
//    transparency from the AND mask (set bit = transparent).
//    PNG entries go through the registered PNG reader.
//  - Pages come largest first (by pixel count), then deepest (bits per pixel
//    the entry stores), so a one-page output gets the best picture; entries
//    that tie keep their directory order.
//  - Not read: OS/2 Huffman and 24-bit RLE, embedded JPEG/PNG, OS/2 bitmap
//    arrays ("BA"), 64-bit pixels.
//
// Writer decisions:
//  - OS/2 2.x files get the full 64-byte header with 4-byte colour entries
//    (ImageMagick 6 refuses the 16-byte short form).
//  - 32-bit files are plain BI_RGB with the alpha in the fourth byte (255
//    where opaque), which readers that ignore that byte show unchanged.
//  - Colour tables always hold 2^bits entries, padded with black.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "fileio/file_io.h"
#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/dib.h"
#include "imaging/convert.h"
#include "imaging/document_budget.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

const char* const kBmp = "BMP";
const char* const kIco = "ICO";

std::string str(std::uint64_t v) { return std::to_string(v); }

// BMP reader

class BmpReader : public SinglePageReader {
public:
    std::string name() const override { return kBmp; }
    std::vector<std::string> extensions() const override { return {".bmp", ".dib"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() >= 18 && head[0] == 'B' && head[1] == 'M') {
            const std::uint32_t hs =
                head[14] | (head[15] << 8) | (head[16] << 16) | (static_cast<std::uint32_t>(head[17]) << 24);
            return isKnownDibHeaderSize(hs) ? Sniff::Strong : Sniff::Weak;
        }
        if (head.size() >= 2 && head[0] == 'B' && head[1] == 'M') return Sniff::Weak;
        // A packed bitmap without file header (clipboard .dib): only with the extension.
        if (head.size() >= 16) {
            const std::uint32_t hs =
                head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<std::uint32_t>(head[3]) << 24);
            const unsigned planes = head[hs == 12 ? 8 : 12] | (head[hs == 12 ? 9 : 13] << 8);
            if ((hs == 12 || isWindowsDibHeaderSize(hs)) && planes == 1) return Sniff::Weak;
        }
        return Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (data.size() < 2) fail(kBmp, "file too short");
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        std::size_t headerPos = 0;
        std::optional<std::uint64_t> offBits;
        if (data.size() >= 2 && data[0] == 'B' && data[1] == 'M') {
            ByteReader r(data, kBmp);
            r.seek(10);
            offBits = r.u32le();
            headerPos = 14;
        }
        const DibHeader h = parseDibHeader(data, headerPos, kBmp);
        std::uint64_t pixels;
        if (offBits) {
            pixels = *offBits;
            if (pixels < h.paletteStart) fail(kBmp, "pixel data offset " + str(pixels) + " lies inside the header");
            if (pixels > data.size()) fail(kBmp, "pixel data offset " + str(pixels) + " lies past the end of the file");
        } else {
            pixels = h.paletteStart + h.tableEntries * static_cast<std::uint64_t>(h.paletteEntrySize);
            if (pixels > data.size()) fail(kBmp, "colour table runs past the end of the file");
        }
        Image img = decodeDib(data, h, static_cast<std::size_t>(pixels), false, kBmp);
        setDibResolution(img, h);
        return img;
    }
};

// ICO reader

struct IconEntry {
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
};

std::vector<IconEntry> iconDirectory(std::span<const std::uint8_t> data) {
    ByteReader r(data, kIco);
    if (r.u16le() != 0) fail(kIco, "bad icon header");
    const std::uint16_t type = r.u16le();
    if (type != 1 && type != 2) fail(kIco, "not an icon or cursor file");
    const std::uint16_t count = r.u16le();
    if (count == 0) fail(kIco, "icon holds no images");
    r.require(std::uint64_t{count} * 16, "icon directory");
    std::vector<IconEntry> entries(count);
    for (auto& e : entries) {
        r.skip(8);
        e.size = r.u32le();
        e.offset = r.u32le();
        if (e.offset < 6 + std::uint64_t{count} * 16 || e.offset >= data.size())
            fail(kIco, "icon image lies outside the file");
        // Some writers overstate the size of the last image; the decoder checks
        // what the image really needs against what the file holds.
        e.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.size, data.size() - e.offset));
    }
    return entries;
}

// The header of a bitmap icon entry, its height that of the colour bitmap:
// the colour bitmap over twice its height, then the AND mask.
DibHeader iconBitmapHeader(std::span<const std::uint8_t> blob) {
    DibHeader h = parseDibHeader(blob, 0, kIco);
    if (h.compression != kBiRgb && h.compression != kBiBitfields)
        fail(kIco, "compressed icon bitmaps are not supported");
    h.height /= 2;
    if (h.height <= 0) fail(kIco, "icon bitmap has no rows");
    return h;
}

// A bitmap icon entry.
Image decodeIconBitmap(std::span<const std::uint8_t> blob) {
    const DibHeader h = iconBitmapHeader(blob);
    const std::uint64_t pixels =
        h.paletteStart + (h.bits <= 8 ? std::min<std::uint64_t>(h.tableEntries, 1u << h.bits) : h.tableEntries) *
                             static_cast<std::uint64_t>(h.paletteEntrySize);
    if (pixels > blob.size()) fail(kIco, "colour table runs past the end of the icon image");
    const Image colour = decodeDib(blob, h, static_cast<std::size_t>(pixels), true, kIco);
    Image out = toRgba32(colour);
    // 32-bit entries with any non-zero alpha carry their own transparency and
    // need no AND mask (some writers leave it out).
    if (colour.format() == PixelFormat::Rgba32) {
        bool anyAlpha = false;
        for (std::size_t i = 3; i < out.byteSize() && !anyAlpha; i += 4) anyAlpha = out.data()[i] != 0;
        if (anyAlpha) return out;
        for (std::size_t i = 3; i < out.byteSize(); i += 4) out.data()[i] = 255;
    }
    const std::uint64_t maskAt = pixels + dibRowBytes(h.width, h.bits) * static_cast<std::uint64_t>(h.height);
    const std::uint64_t maskStride = dibRowBytes(h.width, 1);
    const std::uint64_t maskEnd = maskAt + maskStride * static_cast<std::uint64_t>(h.height - 1) +
                                  packedBytes(static_cast<std::size_t>(h.width), 1);
    if (maskEnd > blob.size()) fail(kIco, "icon transparency mask is truncated");
    std::vector<std::uint8_t> bitsRow(static_cast<std::size_t>(h.width));
    for (int s = 0; s < out.height(); ++s) {
        unpackBits(blob.data() + maskAt + maskStride * static_cast<std::uint64_t>(s), bitsRow.size(), 1,
                   bitsRow.data());
        std::uint8_t* d = out.row(h.topDown ? s : out.height() - 1 - s);
        for (int x = 0; x < out.width(); ++x)
            if (bitsRow[static_cast<std::size_t>(x)]) d[4 * x + 3] = 0;
    }
    return out;
}

bool isPngEntry(std::span<const std::uint8_t> blob) {
    return blob.size() >= 8 && std::memcmp(blob.data(), "\x89PNG\r\n\x1a\n", 8) == 0;
}

// Bits per pixel an icon entry stores, read from its own header (the
// directory's count is often 0 or wrong); 0 when the header is too short.
int iconEntryDepth(std::span<const std::uint8_t> blob) {
    if (blob.size() >= 26 && isPngEntry(blob)) {
        static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        const int colourType = blob[25];
        return colourType < 7 ? blob[24] * kChannels[colourType] : 0;
    }
    if (blob.size() >= 16) return blob[14] | (blob[15] << 8);
    if (blob.size() >= 12) return blob[10] | (blob[11] << 8);
    return 0;
}

const FormatReader& pngReader() {
    const FormatReader* png = Registry::instance().reader("PNG");
    if (!png) fail(kIco, "icon holds a PNG image and no PNG reader is available");
    return *png;
}

// The pages of an icon, one entry decoded per page. Pages come largest first
// (by pixel count), then deepest, entries that tie in directory order; the
// order is found from each entry's header, without decoding its pixels.
class IcoPages : public PageSource {
public:
    IcoPages(std::span<const std::uint8_t> data, const ReadContext& ctx) : ctx_(ctx) {
        for (const IconEntry& e : iconDirectory(data)) {
            Entry entry{data.subspan(e.offset, e.size), 0, 0};
            entry.depth = iconEntryDepth(entry.blob);
            if (isPngEntry(entry.blob)) {
                const FormatReader& png = pngReader();
                // Width and height from the IHDR chunk, which must come first;
                // without one the decoder gives its refusal here.
                const auto& b = entry.blob;
                if (b.size() >= 24 && std::memcmp(b.data() + 12, "IHDR", 4) == 0) {
                    entry.pixels = std::uint64_t{loadU32be(b.data() + 16)} * loadU32be(b.data() + 20);
                } else {
                    const Image page = png.read(b, ctx_).pages.at(0);
                    entry.pixels = std::uint64_t(page.width()) * std::uint64_t(page.height());
                }
            } else {
                const DibHeader h = iconBitmapHeader(entry.blob);
                entry.pixels = static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
            }
            entries_.push_back(entry);
        }
        std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return a.pixels != b.pixels ? a.pixels > b.pixels : a.depth > b.depth;
        });
        // A page too large on its own fails with its own message when decoded.
        std::uint64_t total = 0;
        for (const Entry& e : entries_)
            if (e.pixels <= pixelLimit()) total += e.pixels;
        checkDocumentPixels(total);
    }

    int pageCount() const override { return static_cast<int>(entries_.size()); }

    Image page(int index) override {
        const Entry& e = entries_.at(static_cast<std::size_t>(index));
        // The PNG reader reads one image a file.
        if (isPngEntry(e.blob)) return pngReader().read(e.blob, ctx_).pages.at(0);
        return decodeIconBitmap(e.blob);
    }

private:
    struct Entry {
        std::span<const std::uint8_t> blob;
        std::uint64_t pixels;  // width x height of its page
        int depth;             // bits per pixel it stores
    };
    ReadContext ctx_;
    std::vector<Entry> entries_;
};

class IcoReader : public FormatReader {
public:
    std::string name() const override { return kIco; }
    std::vector<std::string> extensions() const override { return {".ico"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 22 || head[0] || head[1] || head[3] || (head[2] != 1 && head[2] != 2)) return Sniff::No;
        const unsigned count = head[4] | (head[5] << 8);
        if (count == 0) return Sniff::No;
        // The first directory entry must be plausible: reserved byte 0, a
        // non-empty image placed after the directory.
        const std::uint8_t* e = head.data() + 6;
        const std::uint32_t size = e[8] | (e[9] << 8) | (e[10] << 16) | (static_cast<std::uint32_t>(e[11]) << 24);
        const std::uint32_t off = e[12] | (e[13] << 8) | (e[14] << 16) | (static_cast<std::uint32_t>(e[15]) << 24);
        // Icons (type 1) keep planes and bits per pixel there; cursors keep a hot spot.
        const unsigned planes = e[4] | (e[5] << 8), bits = e[6] | (e[7] << 8);
        if (head[2] == 1 && (planes > 1 || (bits != 0 && bits != 1 && bits != 2 && bits != 4 && bits != 8 &&
                                            bits != 16 && bits != 24 && bits != 32)))
            return Sniff::No;
        // A head shorter than 4096 bytes is the whole file: the directory and the
        // first image must lie in it (TGA headers can start like an icon directory).
        if (head.size() < 4096 && (6 + 16 * std::uint64_t{count} > head.size() || off >= head.size())) return Sniff::No;
        if (e[3] != 0 && e[3] != 255) return Sniff::Weak;
        if (size < 8 || off < 6 + 16 * count) return Sniff::Weak;
        return Sniff::Strong;
    }

    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        return static_cast<int>(iconDirectory(data).size());
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        IcoPages pages(data, ctx);
        Document doc;
        for (int i = 0; i < pages.pageCount(); ++i) doc.pages.push_back(pages.page(i));
        return doc;
    }

    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        return std::make_unique<IcoPages>(data, ctx);
    }
};

// writer

constexpr int kCodeWindows = 6, kCodeWindowsRle = 84, kCodeOs2v1 = 14, kCodeOs2v2 = 74;

// Size of the OS/2 2.x header the writer uses (the full BITMAPINFOHEADER2).
constexpr std::uint32_t kOs2v2HeaderSize = 64;

class BmpWriter : public FormatWriter {
public:
    std::string name() const override { return kBmp; }
    std::vector<WriteCapability> capabilities() const override {
        return {{kCodeWindows, {1, 4, 8, 16, 24, 32}},
                {kCodeWindowsRle, {4, 8}},
                {kCodeOs2v1, {1, 4, 8, 24}},
                {kCodeOs2v2, {1, 4, 8, 24}}};
    }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        Image copy;
        const Image& img = atBitsPerPixel(page, opt.bits, copy);
        // Pixel data first, so that its size is known for the headers.
        const std::vector<std::uint8_t> pixels = encodeDibPixels(img, opt.bits, opt.code == kCodeWindowsRle);
        ByteWriter out = headers(img, page, opt, pixels.size());
        out.bytes(pixels);
        return out.take();
    }

protected:
    // Uncompressed rows have a known size, so the headers go first and the
    // rows follow one by one, straight to the file; run-length rows are
    // gathered first.
    void encodeTo(int fd, const Image& page, const WriteOptions& opt) const override {
        if (opt.code == kCodeWindowsRle) return FormatWriter::encodeTo(fd, page, opt);
        Image copy;
        const Image& img = atBitsPerPixel(page, opt.bits, copy);
        const std::uint64_t rowBytes = dibRowBytes(img.width(), opt.bits);
        fileio::FdWriter file(fd, opt.path);
        file.write(headers(img, page, opt, rowBytes * static_cast<std::uint64_t>(img.height())).buffer());
        std::vector<std::uint8_t> row(rowBytes);
        for (int s = 0; s < img.height(); ++s) {
            encodeDibRow(img, opt.bits, s, row.data());
            file.write(row);
        }
        file.flush();
    }

private:
    // The file header, information header and colour table of `img` (already
    // at opt.bits) before `pixelBytes` bytes of pixel data.
    static ByteWriter headers(const Image& img, const Image& page, const WriteOptions& opt, std::uint64_t pixelBytes) {
        const int w = img.width(), h = img.height(), bits = opt.bits;
        const bool os2v1 = opt.code == kCodeOs2v1, os2v2 = opt.code == kCodeOs2v2;
        const bool rle = opt.code == kCodeWindowsRle;
        if (os2v1 && (w > 0xFFFF || h > 0xFFFF)) fail(kBmp, "OS/2 1.x bitmaps hold at most 65535 x 65535 pixels");

        const std::uint32_t headerSize = os2v1 ? 12 : os2v2 ? kOs2v2HeaderSize : 40;
        const int entrySize = os2v1 ? 3 : 4;
        const std::uint32_t tableEntries = bits <= 8 ? (1u << bits) : 0;
        const std::uint64_t offBits =
            14 + headerSize + std::uint64_t{tableEntries} * static_cast<std::uint64_t>(entrySize);
        const std::uint64_t fileSize = offBits + pixelBytes;
        if (fileSize > 0xFFFFFFFFu) fail(kBmp, "image too large for a bitmap file");

        ByteWriter out;
        out.u8('B');
        out.u8('M');
        out.u32le(static_cast<std::uint32_t>(fileSize));
        out.u32le(0);
        out.u32le(static_cast<std::uint32_t>(offBits));
        out.u32le(headerSize);
        if (os2v1) {
            out.u16le(static_cast<std::uint16_t>(w));
            out.u16le(static_cast<std::uint16_t>(h));
            out.u16le(1);
            out.u16le(static_cast<std::uint16_t>(bits));
        } else {
            out.u32le(static_cast<std::uint32_t>(w));
            out.u32le(static_cast<std::uint32_t>(h));
            out.u16le(1);
            out.u16le(static_cast<std::uint16_t>(bits));
            out.u32le(rle ? (bits == 8 ? kBiRle8 : kBiRle4) : kBiRgb);
            out.u32le(static_cast<std::uint32_t>(pixelBytes));
            out.u32le(static_cast<std::uint32_t>(dibPixelsPerMetre(page.xDpi)));
            out.u32le(static_cast<std::uint32_t>(dibPixelsPerMetre(page.yDpi)));
            out.u32le(tableEntries);
            out.u32le(0);                                 // every colour is important
            if (os2v2) out.zeros(kOs2v2HeaderSize - 40);  // units, origin, halftoning, encoding: all defaults
        }
        writeDibColourTable(out, img.palette(), tableEntries, entrySize);
        return out;
    }
};

}  // namespace

void registerBmpCodec(Registry& registry) { registry.addCodec<BmpReader, BmpWriter>(); }

void registerIcoCodec(Registry& registry) { registry.addReader(std::make_unique<IcoReader>()); }

}  // namespace rastel::imaging
