// Windows Meta File (.wmf): the bitmaps a metafile holds, not its vector drawing.
//
// A file is an optional 22-byte placeable (Aldus) header, the 18-byte
// metafile header and a list of records, each starting with its size in
// 16-bit words (4 bytes) and its function number (2 bytes), ended by the
// end-of-file record (function 0).
//
// Reader decisions:
//  - Every record size is checked against the data; a file that ends before
//    its end-of-file record is an error.
//  - Bitmap records read: STRETCHDIB, DIBSTRETCHBLT, DIBBITBLT, SETDIBTODEV
//    (device-independent bitmaps, decoded by the shared DIB helper), and
//    STRETCHBLT / BITBLT with a monochrome old-style bitmap. One bitmap is
//    the page as stored; several are drawn in record order onto one page
//    (see composeBitmaps). The whole bitmap is taken, whatever part of it the
//    record copies.
//  - Palette-relative colours (DIB_PAL_COLORS / DIB_PAL_INDICES) at 1..8 bits
//    are refused: they index a logical palette this reader does not track.
//  - Resolution: with a placeable header, the bitmap's pixels against the
//    size its record draws it at in logical units, of which `inch` make an
//    inch (the bounding box when the record gives no size); otherwise the
//    DIB's own pixels per metre; otherwise none (0).
//  - The placeable header checksum is not enforced (writers get it wrong).
//
// Writer decisions (code 15, 8 and 24 bits):
//  - Placeable header with bounding box 0,0,width,height in pixels and `inch`
//    = the page's horizontal dpi rounded (72 when the page states none), so
//    that the picture keeps its physical size; at 72 dpi a player draws it at
//    exactly width x height pixels.
//  - Records: SETMAPMODE(MM_ANISOTROPIC), SETWINDOWORG(0,0),
//    SETWINDOWEXT(width,height), one STRETCHDIB (SRCCOPY, DIB_RGB_COLORS)
//    with a BITMAPINFOHEADER DIB (8 bits: 256-entry colour table; 24 bits: no
//    table; bottom-up rows padded to 4 bytes), and the end-of-file record.
//  - Extents are 16-bit signed, so pictures wider or taller than 32767
//    pixels are refused.

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/dib.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

const char* const kWmf = "WMF";

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr std::size_t kPlaceableSize = 22;
constexpr std::size_t kHeaderSize = 18;

// Record functions.
constexpr std::uint16_t kEof = 0x0000, kSetMapMode = 0x0103, kSetWindowOrg = 0x020B, kSetWindowExt = 0x020C,
                        kStretchDib = 0x0F43, kDibStretchBlt = 0x0B41, kDibBitBlt = 0x0940, kSetDibToDev = 0x0D33,
                        kStretchBlt = 0x0B23, kBitBlt = 0x0922;
constexpr std::uint16_t kMmAnisotropic = 8;
constexpr std::uint32_t kSrcCopy = 0x00CC0020;
constexpr std::uint16_t kDibRgbColors = 0;
constexpr int kCode = 15;

bool plausibleHeader(std::span<const std::uint8_t> d, std::size_t at) {
    if (d.size() < at + kHeaderSize) return false;
    const std::uint16_t type = loadU16le(d.data() + at), words = loadU16le(d.data() + at + 2),
                        version = loadU16le(d.data() + at + 4);
    return (type == 1 || type == 2) && words == 9 && (version == 0x0100 || version == 0x0300);
}

struct Placeable {
    std::int16_t left = 0, top = 0, right = 0, bottom = 0;
    std::uint16_t inch = 0;
};

// A bitmap record found while walking the metafile.
struct BitmapRecord {
    std::uint16_t function = 0;
    std::span<const std::uint8_t> bitmap;  // the DIB or old-style bitmap
    std::uint16_t colorUsage = kDibRgbColors;
    std::int16_t destWidth = 0, destHeight = 0;  // logical units; 0 when the record gives none
    std::int16_t destX = 0, destY = 0;           // top-left corner of the drawing, logical units
    std::int64_t width = 0, height = 0;          // pixels of the bitmap
};

struct Metafile {
    std::optional<Placeable> placeable;
    std::vector<BitmapRecord> bitmaps;
};

// Old-style (device-dependent) bitmap: type, width, height, bytes per row,
// planes, bits per pixel, then the rows top-down.
struct Bitmap16 {
    std::int64_t width = 0, height = 0, widthBytes = 0;
    int planes = 0, bits = 0;
    std::span<const std::uint8_t> rows;
};

Bitmap16 parseBitmap16(std::span<const std::uint8_t> b) {
    ByteReader r(b, kWmf);
    Bitmap16 bm;
    r.s16le();  // type
    bm.width = r.s16le();
    bm.height = r.s16le();
    bm.widthBytes = r.s16le();
    bm.planes = r.u8();
    bm.bits = r.u8();
    if (bm.width <= 0 || bm.height <= 0)
        fail(kWmf, "bad bitmap size " + std::to_string(bm.width) + " x " + std::to_string(bm.height));
    if (bm.planes != 1 || bm.bits != 1)
        fail(kWmf, "device-dependent bitmaps of " + std::to_string(bm.planes) + " plane(s) at " +
                       std::to_string(bm.bits) + " bits are not supported");
    if (bm.widthBytes < static_cast<std::int64_t>(packedBytes(static_cast<std::size_t>(bm.width), 1)))
        fail(kWmf, "bitmap rows are shorter than its width");
    bm.rows = b.subspan(r.pos());
    return bm;
}

// Fills in the pixel size of a bitmap record from its header.
void measure(BitmapRecord& rec) {
    if (rec.function == kStretchBlt || rec.function == kBitBlt) {
        const Bitmap16 bm = parseBitmap16(rec.bitmap);
        rec.width = bm.width;
        rec.height = bm.height;
        return;
    }
    const DibHeader h = parseDibHeader(rec.bitmap, 0, kWmf);
    rec.width = h.width;
    rec.height = h.height;
}

// Walks the records; keeps the bitmap records. Throws on any size that does
// not fit the data.
Metafile parseMetafile(std::span<const std::uint8_t> data) {
    Metafile mf;
    ByteReader r(data, kWmf);
    if (data.size() >= 4 && loadU32le(data.data()) == kPlaceableKey) {
        r.require(kPlaceableSize, "placeable header");
        r.skip(6);
        Placeable p;
        p.left = r.s16le();
        p.top = r.s16le();
        p.right = r.s16le();
        p.bottom = r.s16le();
        p.inch = r.u16le();
        r.skip(6);  // reserved, checksum
        mf.placeable = p;
    }
    const std::size_t headerAt = r.pos();
    r.require(kHeaderSize, "metafile header");
    if (!plausibleHeader(data, headerAt)) fail(kWmf, "bad metafile header");
    r.skip(kHeaderSize);

    for (;;) {
        if (r.remaining() < 6) fail(kWmf, "the metafile ends before its end record");
        const std::size_t at = r.pos();
        const std::uint32_t words = r.u32le();
        const std::uint16_t function = r.u16le();
        if (words < 3) fail(kWmf, "record of " + std::to_string(words) + " words at offset " + std::to_string(at));
        if (std::uint64_t{words} * 2 > data.size() - at)
            fail(kWmf, "record at offset " + std::to_string(at) + " runs past the end of the file");
        const std::size_t end = at + std::size_t{words} * 2;
        if (function == kEof) break;
        const std::span<const std::uint8_t> params = data.subspan(at + 6, end - at - 6);
        // Records of the blit family without a source bitmap are (function >> 8) + 3 words long.
        const bool noSource = words == (function >> 8) + 3u;
        BitmapRecord rec;
        rec.function = function;
        // Bytes of parameters before the bitmap, where the colour usage word
        // sits (-1: none), and where the destination height, width, y and x
        // words start (they follow one another).
        std::size_t fixed = 0;
        int usageAt = -1;
        std::size_t destAt = 0;
        switch (function) {
        case kStretchDib: fixed = 22, usageAt = 4, destAt = 14; break;  // rop usage src h,w,y,x dest h,w,y,x
        case kDibStretchBlt:
        case kStretchBlt: fixed = 20, destAt = 12; break;  // rop src h,w,y,x dest h,w,y,x
        case kDibBitBlt:
        case kBitBlt: fixed = 16, destAt = 8; break;                     // rop src y,x height width dest y,x
        case kSetDibToDev: fixed = 18, usageAt = 0, destAt = 10; break;  // usage scans start dib y,x h,w dest y,x
        default: break;
        }
        if (fixed && params.size() >= fixed) {
            if (usageAt >= 0) rec.colorUsage = loadU16le(params.data() + static_cast<std::size_t>(usageAt));
            rec.destHeight = static_cast<std::int16_t>(loadU16le(params.data() + destAt));
            rec.destWidth = static_cast<std::int16_t>(loadU16le(params.data() + destAt + 2));
            rec.destY = static_cast<std::int16_t>(loadU16le(params.data() + destAt + 4));
            rec.destX = static_cast<std::int16_t>(loadU16le(params.data() + destAt + 6));
        }
        if (fixed && !(noSource && function != kStretchDib && function != kSetDibToDev)) {
            if (params.size() <= fixed)
                fail(kWmf, "bitmap record at offset " + std::to_string(at) + " holds no bitmap");
            rec.bitmap = params.subspan(fixed);
            measure(rec);
            mf.bitmaps.push_back(rec);
        }
        r.seek(end);
    }
    return mf;
}

const BitmapRecord& chooseBitmap(const Metafile& mf) {
    if (mf.bitmaps.empty()) fail(kWmf, "the metafile holds no bitmap; vector drawings are not rendered");
    const BitmapRecord* best = &mf.bitmaps.front();
    for (const BitmapRecord& b : mf.bitmaps)
        if (b.width * b.height > best->width * best->height) best = &b;
    return *best;
}

Image decodeBitmap16(std::span<const std::uint8_t> b) {
    const Bitmap16 bm = parseBitmap16(b);
    checkDimensions(kWmf, bm.width, bm.height);
    const std::uint64_t need = static_cast<std::uint64_t>(bm.widthBytes) * static_cast<std::uint64_t>(bm.height);
    if (bm.rows.size() < need) fail(kWmf, "bitmap data is truncated");
    Image img(static_cast<int>(bm.width), static_cast<int>(bm.height), PixelFormat::Indexed, 1);
    // A monochrome device bitmap shows 0 bits in black and 1 bits in white.
    img.palette() = {Rgb{0, 0, 0}, Rgb{255, 255, 255}};
    for (int y = 0; y < img.height(); ++y)
        unpackBits(bm.rows.data() + static_cast<std::size_t>(bm.widthBytes) * static_cast<std::size_t>(y),
                   static_cast<std::size_t>(bm.width), 1, img.row(y));
    return img;
}

Image decodeRecord(const BitmapRecord& rec) {
    if (rec.function == kStretchBlt || rec.function == kBitBlt) return decodeBitmap16(rec.bitmap);
    const DibHeader h = parseDibHeader(rec.bitmap, 0, kWmf);
    if (rec.colorUsage != kDibRgbColors && h.bits <= 8)
        fail(kWmf, "bitmaps with palette-relative colours are not supported");
    const std::uint64_t pixels = packedDibPixelOffset(h);
    if (pixels > rec.bitmap.size()) fail(kWmf, "colour table runs past the end of the bitmap record");
    Image img = decodeDib(rec.bitmap, h, static_cast<std::size_t>(pixels), false, kWmf);
    setDibResolution(img, h);
    return img;
}

// Where a bitmap record draws, in logical units, left/top inclusive and
// right/bottom exclusive; a record without a size draws one unit per pixel.
struct Rect {
    double left, top, right, bottom;
};

Rect drawnRect(const BitmapRecord& rec) {
    const double w = rec.destWidth ? rec.destWidth : static_cast<double>(rec.width);
    const double h = rec.destHeight ? rec.destHeight : static_cast<double>(rec.height);
    return {std::min<double>(rec.destX, rec.destX + w), std::min<double>(rec.destY, rec.destY + h),
            std::max<double>(rec.destX, rec.destX + w), std::max<double>(rec.destY, rec.destY + h)};
}

// Several bitmaps (a picture split into bands, or pictures side by side) are
// drawn in record order onto one white page covering all of them, at the
// pixel density of the largest, as a metafile player would show them; a
// negative drawn width or height mirrors the bitmap. Nearest-neighbour
// sampling keeps equal-density bands exact.
Image composeBitmaps(const Metafile& mf, const BitmapRecord& largest, double& unitsPerPixelX, double& unitsPerPixelY) {
    const Rect big = drawnRect(largest);
    unitsPerPixelX = (big.right - big.left) / static_cast<double>(largest.width);
    unitsPerPixelY = (big.bottom - big.top) / static_cast<double>(largest.height);
    Rect all = big;
    for (const BitmapRecord& b : mf.bitmaps) {
        const Rect r = drawnRect(b);
        all = {std::min(all.left, r.left), std::min(all.top, r.top), std::max(all.right, r.right),
               std::max(all.bottom, r.bottom)};
    }
    const double w = std::ceil((all.right - all.left) / unitsPerPixelX - 1e-9);
    const double h = std::ceil((all.bottom - all.top) / unitsPerPixelY - 1e-9);
    checkDimensions(kWmf, static_cast<std::int64_t>(w), static_cast<std::int64_t>(h));
    Image page(static_cast<int>(w), static_cast<int>(h), PixelFormat::Rgb24);
    std::fill(page.data(), page.data() + page.byteSize(), std::uint8_t{255});
    // A hostile file could repeat huge bitmaps over one another; real banded
    // pictures decode about one page of pixels and draw each page pixel once.
    std::uint64_t decoded = 0, drawn = 0;
    const std::uint64_t pagePixels =
        static_cast<std::uint64_t>(page.width()) * static_cast<std::uint64_t>(page.height());
    for (const BitmapRecord& b : mf.bitmaps) {
        const Rect r = drawnRect(b);
        if (r.right <= r.left || r.bottom <= r.top) continue;
        decoded += static_cast<std::uint64_t>(b.width) * static_cast<std::uint64_t>(b.height);
        drawn += static_cast<std::uint64_t>(std::ceil((r.right - r.left) / unitsPerPixelX)) *
                 static_cast<std::uint64_t>(std::ceil((r.bottom - r.top) / unitsPerPixelY));
        if (decoded > 2 * pixelLimit() || drawn > 8 * pagePixels + (std::uint64_t{1} << 20))
            fail(kWmf, "the metafile draws far more bitmap pixels than its page holds");
        const Image src = toRgb24(decodeRecord(b));
        const bool flipX = b.destWidth < 0, flipY = b.destHeight < 0;
        // Page pixels whose centres fall inside the drawn rectangle.
        const int x0 = static_cast<int>(std::ceil((r.left - all.left) / unitsPerPixelX - 0.5));
        const int x1 = static_cast<int>(std::ceil((r.right - all.left) / unitsPerPixelX - 0.5));
        const int y0 = static_cast<int>(std::ceil((r.top - all.top) / unitsPerPixelY - 0.5));
        const int y1 = static_cast<int>(std::ceil((r.bottom - all.top) / unitsPerPixelY - 0.5));
        const double sx = src.width() * unitsPerPixelX / (r.right - r.left);
        const double sy = src.height() * unitsPerPixelY / (r.bottom - r.top);
        for (int y = std::max(0, y0); y < std::min(page.height(), y1); ++y) {
            int v = std::clamp(static_cast<int>((y - y0 + 0.5) * sy), 0, src.height() - 1);
            if (flipY) v = src.height() - 1 - v;
            const std::uint8_t* in = src.row(v);
            std::uint8_t* out = page.row(y);
            for (int x = std::max(0, x0); x < std::min(page.width(), x1); ++x) {
                int u = std::clamp(static_cast<int>((x - x0 + 0.5) * sx), 0, src.width() - 1);
                if (flipX) u = src.width() - 1 - u;
                std::copy_n(in + 3 * u, 3, out + 3 * x);
            }
        }
    }
    return page;
}

// Dots per inch of `pixels` drawn over `units` logical units, `inch` to the inch.
double dpiFrom(std::int64_t pixels, std::int64_t units, unsigned inch) {
    if (units < 0) units = -units;
    if (units == 0 || inch == 0) return 0;
    const double dpi = std::round(static_cast<double>(pixels) * inch / static_cast<double>(units) * 10.0) / 10.0;
    return dpi >= 1 && dpi <= 100000 ? dpi : 0;
}

class WmfReader : public SinglePageReader {
public:
    std::string name() const override { return kWmf; }
    std::vector<std::string> extensions() const override { return {".wmf"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() >= 4 && loadU32le(head.data()) == kPlaceableKey) return Sniff::Strong;
        return plausibleHeader(head, 0) ? Sniff::Weak : Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        chooseBitmap(parseMetafile(data));
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        const Metafile mf = parseMetafile(data);
        const BitmapRecord& rec = chooseBitmap(mf);
        Image img;
        double x = 0, y = 0;  // the resolution the placeable header implies, when it has one
        if (mf.bitmaps.size() > 1) {
            double unitsX = 0, unitsY = 0;
            img = composeBitmaps(mf, rec, unitsX, unitsY);
            if (mf.placeable && mf.placeable->inch) {
                x = dpiFrom(1000, std::llround(unitsX * 1000), mf.placeable->inch);
                y = dpiFrom(1000, std::llround(unitsY * 1000), mf.placeable->inch);
            }
        } else {
            img = decodeRecord(rec);
            if (mf.placeable && mf.placeable->inch) {
                const Placeable& p = *mf.placeable;
                const std::int64_t unitsX = rec.destWidth ? rec.destWidth : std::int64_t{p.right} - p.left;
                const std::int64_t unitsY = rec.destHeight ? rec.destHeight : std::int64_t{p.bottom} - p.top;
                x = dpiFrom(img.width(), unitsX, p.inch);
                y = dpiFrom(img.height(), unitsY, p.inch);
            }
        }
        if (x > 0 && y > 0) {
            img.xDpi = x;
            img.yDpi = y;
        }
        return img;
    }
};

// writer

void record(ByteWriter& out, std::uint16_t function, std::initializer_list<std::uint16_t> params) {
    out.u32le(static_cast<std::uint32_t>(3 + params.size()));
    out.u16le(function);
    for (std::uint16_t v : params) out.u16le(v);
}

class WmfWriter : public FormatWriter {
public:
    std::string name() const override { return kWmf; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {8, 24}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        if (page.width() > 0x7FFF || page.height() > 0x7FFF) fail(kWmf, "metafiles hold at most 32767 x 32767 pixels");
        Image copy;
        const Image& img = atBitsPerPixel(page, opt.bits, copy);
        const int w = img.width(), h = img.height(), bits = opt.bits;
        const std::uint32_t tableEntries = bits == 8 ? 256 : 0;
        const std::vector<std::uint8_t> pixels = encodeDibPixels(img, bits, false);

        // The DIB: information header, colour table, rows.
        ByteWriter dib;
        dib.u32le(40);
        dib.u32le(static_cast<std::uint32_t>(w));
        dib.u32le(static_cast<std::uint32_t>(h));
        dib.u16le(1);
        dib.u16le(static_cast<std::uint16_t>(bits));
        dib.u32le(kBiRgb);
        dib.u32le(static_cast<std::uint32_t>(pixels.size()));
        dib.u32le(static_cast<std::uint32_t>(dibPixelsPerMetre(page.xDpi > 0 ? page.xDpi : 72)));
        dib.u32le(static_cast<std::uint32_t>(dibPixelsPerMetre(page.yDpi > 0 ? page.yDpi : 72)));
        dib.u32le(tableEntries);
        dib.u32le(0);  // every colour is important
        writeDibColourTable(dib, img.palette(), tableEntries, 4);
        dib.bytes(pixels);
        // Rows are padded to 4 bytes and the table is whole entries, so the DIB is a whole number of words.
        const std::uint64_t stretchWords = 3 + 2 + 1 + 8 + dib.size() / 2;
        if (stretchWords > 0xFFFFFFFFu) fail(kWmf, "image too large for a metafile record");

        const double dpi = page.xDpi > 0 ? page.xDpi : 72;
        const auto inch = static_cast<std::uint16_t>(std::clamp(std::lround(dpi), 1L, 65535L));
        const auto sw = static_cast<std::uint16_t>(w), sh = static_cast<std::uint16_t>(h);

        ByteWriter out;
        // Placeable header; its checksum is the XOR of the ten words before it.
        out.u32le(kPlaceableKey);
        out.u16le(0);  // metafile handle, 0 in files
        out.u16le(0);  // bounding box left, top, right, bottom
        out.u16le(0);
        out.u16le(sw);
        out.u16le(sh);
        out.u16le(inch);
        out.u32le(0);  // reserved
        std::uint16_t sum = 0;
        for (std::size_t k = 0; k < 20; k += 2) sum ^= loadU16le(out.buffer().data() + k);
        out.u16le(sum);

        // Metafile header; total size and largest record patched below.
        const std::size_t headerAt = out.size();
        out.u16le(1);  // memory metafile
        out.u16le(9);  // header words
        out.u16le(0x0300);
        out.u32le(0);  // size in words
        out.u16le(0);  // objects
        out.u32le(0);  // largest record in words
        out.u16le(0);  // unused

        record(out, kSetMapMode, {kMmAnisotropic});
        record(out, kSetWindowOrg, {0, 0});    // y, x
        record(out, kSetWindowExt, {sh, sw});  // height, width
        out.u32le(static_cast<std::uint32_t>(stretchWords));
        out.u16le(kStretchDib);
        out.u32le(kSrcCopy);
        out.u16le(kDibRgbColors);
        for (std::uint16_t v : {sh, sw, std::uint16_t{0}, std::uint16_t{0}, sh, sw, std::uint16_t{0}, std::uint16_t{0}})
            out.u16le(v);  // source height, width, y, x; destination height, width, y, x
        out.bytes(dib.buffer());
        record(out, kEof, {});

        const std::uint64_t totalWords = (out.size() - headerAt) / 2;
        if (totalWords > 0xFFFFFFFFu) fail(kWmf, "image too large for a metafile");
        out.patchU32le(headerAt + 6, static_cast<std::uint32_t>(totalWords));
        out.patchU32le(headerAt + 12, static_cast<std::uint32_t>(stretchWords));
        return out.take();
    }
};

}  // namespace

void registerWmfCodec(Registry& registry) { registry.addCodec<WmfReader, WmfWriter>(); }

}  // namespace rastel::imaging
