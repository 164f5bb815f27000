// Device-independent bitmap decoding and encoding shared by the BMP, ICO and
// WMF codecs (see dib.h).
//
// Decoding decisions worth knowing:
//  - Pixels a run-length delta escape skips keep palette index 0.
//  - Run-length runs past the right edge are clipped; codes past the last row
//    end the picture. Data that stops before the last row is an error, as is
//    uncompressed pixel data shorter than the rows need.
//  - Colour tables shorter than 2^bits are padded with black, so every index a
//    file can hold names a colour.
//  - 32-bit pixels (the fourth byte of plain 32-bit pixels, or the alpha mask
//    of bit-field pixels) give an Rgba32 picture only when that alpha carries
//    information: all 0 or all 255 gives Rgb24.

#include "imaging/codecs/common/dib.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "imaging/codecs/common/bits.h"
#include "imaging/error.h"

namespace rastel::imaging {

// OS/2 2.x headers may stop after any field: an even size from 16 to 64 bytes
// (40, 52 and 56 are read as the Windows headers of those sizes).
bool isWindowsDibHeaderSize(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}
bool isOs2v2DibHeaderSize(std::uint32_t size) {
    return size >= 16 && size <= 64 && size % 2 == 0 && !isWindowsDibHeaderSize(size);
}
bool isKnownDibHeaderSize(std::uint32_t size) {
    return size == 12 || isWindowsDibHeaderSize(size) || isOs2v2DibHeaderSize(size);
}

namespace {

// One colour channel stored under a bit mask.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    int width = 0;

    explicit Channel(std::uint32_t m = 0) : mask(m) {
        if (m == 0) return;
        shift = std::countr_zero(m);
        width = std::bit_width(m >> shift);  // gaps inside a mask count as part of it
    }
    bool present() const { return mask != 0; }
    // The channel of pixel `v` scaled to 0..255 so that full scale stays full
    // scale: wider fields are rounded, narrower ones repeat their bits
    // (5 bits abcde -> abcdeabc, as the engine widens RGB 5-5-5).
    std::uint8_t value(std::uint32_t v) const {
        if (!mask) return 0;
        const std::uint32_t x = (v & mask) >> shift;
        if (width == 8) return static_cast<std::uint8_t>(x);
        if (width > 8) {
            const std::uint64_t max = (std::uint64_t{1} << width) - 1;
            return static_cast<std::uint8_t>((x * std::uint64_t{255} + max / 2) / max);
        }
        std::uint32_t out = 0;
        int filled = 0;
        while (filled < 8) {
            out = (out << width) | x;
            filled += width;
        }
        return static_cast<std::uint8_t>(out >> (filled - 8));
    }
};

std::string str(std::uint64_t v) { return std::to_string(v); }

}  // namespace

// Reads the information header that starts at `pos` of `data`.
DibHeader parseDibHeader(std::span<const std::uint8_t> data, std::size_t pos, const char* fmt) {
    ByteReader r(data, fmt);
    r.seek(pos);
    DibHeader h;
    h.headerSize = r.u32le();
    if (!isKnownDibHeaderSize(h.headerSize)) fail(fmt, "unknown bitmap header size " + str(h.headerSize));
    r.require(h.headerSize - 4, "bitmap header");
    std::int64_t rawHeight = 0;
    if (h.headerSize == 12) {
        h.os2v1 = true;
        h.width = r.u16le();
        rawHeight = r.u16le();
        r.u16le();  // planes
        h.bits = r.u16le();
        h.paletteEntrySize = 3;
    } else {
        h.os2v2 = isOs2v2DibHeaderSize(h.headerSize);
        h.width = r.s32le();
        rawHeight = r.s32le();
        r.u16le();  // planes
        h.bits = r.u16le();
        // Fields past the 16th byte are present only when the header covers them.
        const std::size_t start = pos;
        auto has = [&](std::size_t fieldEnd) { return h.headerSize >= fieldEnd; };
        if (has(20)) h.compression = r.u32le();
        if (has(24)) r.u32le();  // image size
        if (has(28)) h.xPpm = r.s32le();
        if (has(32)) h.yPpm = r.s32le();
        if (has(36)) h.clrUsed = r.u32le();
        if (h.headerSize >= 52 && !h.os2v2) {
            r.seek(start + 40);
            h.rMask = r.u32le();
            h.gMask = r.u32le();
            h.bMask = r.u32le();
            if (h.headerSize >= 56) h.aMask = r.u32le();
        }
    }
    if (rawHeight < 0) {
        h.topDown = true;
        rawHeight = -rawHeight;
    }
    h.height = rawHeight;
    if (h.width <= 0 || h.height <= 0)
        fail(fmt, "bad image size " + std::to_string(h.width) + " x " + std::to_string(h.height));

    const bool paletted = h.bits == 1 || h.bits == 2 || h.bits == 4 || h.bits == 8;
    const bool direct = h.bits == 16 || h.bits == 24 || h.bits == 32;
    if (!paletted && !direct) fail(fmt, "unsupported bits per pixel " + str(static_cast<unsigned>(h.bits)));
    if (h.os2v1 && h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 24)
        fail(fmt, "unsupported bits per pixel " + str(static_cast<unsigned>(h.bits)) + " in an OS/2 1.x header");

    std::size_t afterHeader = pos + h.headerSize;
    if (h.os2v2) {
        // OS/2 2.x numbers its compressions differently: 3 is Huffman, 4 is 24-bit RLE.
        if (h.compression == 3) fail(fmt, "OS/2 Huffman compression is not supported");
        if (h.compression == 4) fail(fmt, "OS/2 24-bit RLE compression is not supported");
    }
    switch (h.compression) {
    case kBiRgb: break;
    case kBiRle8:
        if (h.bits != 8) fail(fmt, "RLE8 needs 8 bits per pixel, got " + str(static_cast<unsigned>(h.bits)));
        break;
    case kBiRle4:
        if (h.bits != 4) fail(fmt, "RLE4 needs 4 bits per pixel, got " + str(static_cast<unsigned>(h.bits)));
        break;
    case kBiBitfields:
    case kBiAlphaBitfields: {
        if (h.bits != 16 && h.bits != 32)
            fail(fmt, "bit-field pixels need 16 or 32 bits, got " + str(static_cast<unsigned>(h.bits)));
        h.hasMasks = true;
        if (h.headerSize == 40) {
            // The masks follow a 40-byte header.
            const int n = h.compression == kBiAlphaBitfields ? 4 : 3;
            r.seek(afterHeader);
            h.rMask = r.u32le();
            h.gMask = r.u32le();
            h.bMask = r.u32le();
            if (n == 4) h.aMask = r.u32le();
            afterHeader += static_cast<std::size_t>(n) * 4;
        } else if (h.headerSize < 52 || h.os2v2) {
            fail(fmt, "bit-field compression without masks");
        }
        if (h.compression == kBiBitfields && h.headerSize < 56) h.aMask = 0;
        break;
    }
    case kBiJpeg: fail(fmt, "embedded JPEG data is not supported");
    case kBiPng: fail(fmt, "embedded PNG data is not supported");
    default: fail(fmt, "unsupported compression " + str(h.compression));
    }
    if (!h.hasMasks) {
        if (h.bits == 16) {
            h.rMask = 0x7C00;
            h.gMask = 0x03E0;
            h.bMask = 0x001F;
        } else if (h.bits == 32) {
            h.rMask = 0x00FF0000;
            h.gMask = 0x0000FF00;
            h.bMask = 0x000000FF;
        }
        h.aMask = 0;
    }
    if (h.hasMasks && (!h.rMask && !h.gMask && !h.bMask)) fail(fmt, "all colour masks are zero");

    h.paletteStart = afterHeader;
    if (paletted) {
        const std::uint64_t full = std::uint64_t{1} << h.bits;
        h.tableEntries = (h.os2v1 || h.clrUsed == 0) ? full : h.clrUsed;
    } else {
        h.tableEntries = h.os2v1 ? 0 : h.clrUsed;  // an optional table nobody needs
    }
    return h;
}

// Bytes of one stored row (padded to 4 bytes).
std::uint64_t dibRowBytes(std::int64_t width, int bits) {
    return (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits) + 31) / 32 * 4;
}

namespace {

// One 16- or 32-bit little-endian pixel of a stored row.
inline std::uint32_t storedPixel(const std::uint8_t* row, int x, int bits) {
    if (bits == 16) return static_cast<std::uint32_t>(row[2 * x] | (row[2 * x + 1] << 8));
    const std::uint8_t* q = row + 4 * x;
    return static_cast<std::uint32_t>(q[0]) | (static_cast<std::uint32_t>(q[1]) << 8) |
           (static_cast<std::uint32_t>(q[2]) << 16) | (static_cast<std::uint32_t>(q[3]) << 24);
}

// Decodes run-length pixel data into the zero-filled indexed `img`.
void decodeRle(std::span<const std::uint8_t> src, const DibHeader& h, Image& img, const char* fmt) {
    const bool four = h.compression == kBiRle4;
    const std::int64_t w = img.width(), rows = img.height();
    std::int64_t x = 0, y = 0;  // y counts stored rows, bottom row first unless top-down
    std::size_t i = 0;
    auto put = [&](std::uint8_t v) {
        if (x < w && y < rows) img.row(static_cast<int>(h.topDown ? y : rows - 1 - y))[x] = v;
        ++x;
    };
    auto need = [&](std::size_t n) {
        if (src.size() - i < n) fail(fmt, "RLE data ends before the last row");
    };
    while (y < rows) {
        need(2);
        const std::uint8_t count = src[i], value = src[i + 1];
        i += 2;
        if (count > 0) {
            // Encoded run; RLE4 alternates the two nibbles of `value`.
            const std::int64_t n = std::min<std::int64_t>(count, std::max<std::int64_t>(w - x, 0));
            for (std::int64_t k = 0; k < n; ++k)
                put(four ? static_cast<std::uint8_t>(k & 1 ? value & 15 : value >> 4) : value);
            x += count - n;
            continue;
        }
        switch (value) {
        case 0:  // end of line
            x = 0;
            ++y;
            break;
        case 1:  // end of bitmap
            return;
        case 2: {  // delta: move right and up, leaving the skipped pixels at index 0
            need(2);
            x += src[i];
            y += src[i + 1];
            i += 2;
            break;
        }
        default: {  // absolute run of `value` pixels, padded to an even byte count
            const std::size_t bytes = four ? (value + 1u) / 2u : value;
            const std::size_t padded = (bytes + 1) & ~std::size_t{1};
            need(bytes);
            for (unsigned k = 0; k < value; ++k) {
                const std::uint8_t b = src[i + (four ? k / 2 : k)];
                put(four ? static_cast<std::uint8_t>(k & 1 ? b & 15 : b >> 4) : b);
            }
            i += std::min(padded, src.size() - i);
            break;
        }
        }
    }
}

}  // namespace

// Decodes the picture whose header was parsed into `h`. `pixels` is the
// offset of the pixel data. With `iconAlpha`, 32-bit pixels always come back
// as Rgba32 with their fourth byte as stored (the icon code decides about it).
Image decodeDib(std::span<const std::uint8_t> data, const DibHeader& h, std::size_t pixels, bool iconAlpha,
                const char* fmt) {
    checkDimensions(fmt, h.width, h.height);
    const int w = static_cast<int>(h.width), rows = static_cast<int>(h.height);
    if (pixels > data.size()) fail(fmt, "pixel data offset " + str(pixels) + " lies past the end of the file");
    const std::span<const std::uint8_t> src = data.subspan(pixels);
    auto outRow = [&](int stored) { return h.topDown ? stored : rows - 1 - stored; };

    if (h.bits <= 8) {
        Image img(w, rows, PixelFormat::Indexed, h.bits);
        // Colour table: what the header announces, at most 2^bits entries and
        // no more than fit before the pixel data.
        std::uint64_t entries = std::min<std::uint64_t>(h.tableEntries, std::uint64_t{1} << h.bits);
        const std::uint64_t room =
            pixels > h.paletteStart ? (pixels - h.paletteStart) / static_cast<std::uint64_t>(h.paletteEntrySize) : 0;
        entries = std::min(entries, room);
        if (entries == 0) fail(fmt, "colour table missing");
        ByteReader pr(data, fmt);
        pr.seek(h.paletteStart);
        const auto table = pr.bytes(entries * static_cast<std::uint64_t>(h.paletteEntrySize), "colour table");
        auto& pal = img.palette();
        pal.assign(std::size_t{1} << h.bits, Rgb{});
        for (std::size_t k = 0; k < entries; ++k) {
            const std::uint8_t* e = table.data() + k * static_cast<std::size_t>(h.paletteEntrySize);
            pal[k] = Rgb{e[2], e[1], e[0]};
        }
        if (h.compression == kBiRle4 || h.compression == kBiRle8) {
            decodeRle(src, h, img, fmt);
            return img;
        }
        const std::uint64_t stride = dibRowBytes(w, h.bits);
        const std::uint64_t need = stride * static_cast<std::uint64_t>(rows - 1) + packedBytes(w, h.bits);
        if (src.size() < need) fail(fmt, "pixel data is truncated");
        for (int s = 0; s < rows; ++s)
            unpackBits(src.data() + stride * static_cast<std::uint64_t>(s), static_cast<std::size_t>(w), h.bits,
                       img.row(outRow(s)));
        return img;
    }

    const std::uint64_t stride = dibRowBytes(w, h.bits);
    const std::uint64_t need =
        stride * static_cast<std::uint64_t>(rows - 1) + static_cast<std::uint64_t>(w) * (h.bits / 8);
    if (src.size() < need) fail(fmt, "pixel data is truncated");

    if (h.bits == 24) {
        Image img(w, rows, PixelFormat::Rgb24);
        for (int s = 0; s < rows; ++s) {
            const std::uint8_t* p = src.data() + stride * static_cast<std::uint64_t>(s);
            std::uint8_t* d = img.row(outRow(s));
            for (int x = 0; x < w; ++x) {
                d[3 * x] = p[3 * x + 2];
                d[3 * x + 1] = p[3 * x + 1];
                d[3 * x + 2] = p[3 * x];
            }
        }
        return img;
    }

    // 16 and 32 bits: masks (defaults for plain pixels). Plain 32-bit pixels
    // keep their fourth byte as a candidate alpha.
    const Channel rc(h.rMask), gc(h.gMask), bc(h.bMask);
    const Channel ac(h.bits == 32 && !h.hasMasks ? 0xFF000000u : h.aMask);
    // Alpha is kept unless it is uniformly 0 (an unused field) or uniformly 255;
    // the stored pixels are scanned first so that only one picture is allocated.
    auto alphaIsReal = [&] {
        bool any0 = false, any255 = false;
        for (int s = 0; s < rows; ++s) {
            const std::uint8_t* p = src.data() + stride * static_cast<std::uint64_t>(s);
            for (int x = 0; x < w; ++x) {
                const std::uint8_t a = ac.value(storedPixel(p, x, h.bits));
                if (a == 0)
                    any0 = true;
                else if (a == 255)
                    any255 = true;
                else
                    return true;
            }
            if (any0 && any255) return true;
        }
        return false;
    };
    const bool alpha = iconAlpha ? h.bits == 32 || ac.present() : ac.present() && alphaIsReal();
    Image img(w, rows, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24);
    const int n = alpha ? 4 : 3;
    for (int s = 0; s < rows; ++s) {
        const std::uint8_t* p = src.data() + stride * static_cast<std::uint64_t>(s);
        std::uint8_t* d = img.row(outRow(s));
        for (int x = 0; x < w; ++x) {
            const std::uint32_t v = storedPixel(p, x, h.bits);
            d[n * x] = rc.value(v);
            d[n * x + 1] = gc.value(v);
            d[n * x + 2] = bc.value(v);
            // Icon pixels without an alpha field get 0, so that the AND mask decides.
            if (alpha) d[n * x + 3] = ac.present() ? ac.value(v) : 0;
        }
    }
    return img;
}

void setDibResolution(Image& img, const DibHeader& h) {
    // Pixels per metre to dots per inch, kept to a tenth of a dot.
    auto dpi = [](std::int32_t ppm) { return ppm > 0 ? std::round(ppm * 0.254) / 10.0 : 0.0; };
    img.xDpi = dpi(h.xPpm);
    img.yDpi = dpi(h.yPpm);
}

std::uint64_t packedDibPixelOffset(const DibHeader& h) {
    return h.paletteStart + h.tableEntries * static_cast<std::uint64_t>(h.paletteEntrySize);
}

std::int32_t dibPixelsPerMetre(double dpi) {
    if (!(dpi > 0)) dpi = 96;
    const double ppm = std::round(dpi / 0.0254);
    return ppm > 2.0e9 ? 2000000000 : static_cast<std::int32_t>(ppm);
}

namespace {

// Run-length encodes one row of indices: encoded runs where pixels repeat
// (RLE4: where the two alternating nibbles repeat), absolute runs elsewhere.
void encodeRleRow(const std::uint8_t* p, int w, bool four, std::vector<std::uint8_t>& out) {
    // Length of the encodable run starting at i (at most 255).
    auto runAt = [&](int i) {
        int n = 1;
        while (i + n < w && n < 255 && p[i + n] == p[i + (four ? (n & 1) : 0)]) ++n;
        return n;
    };
    auto emitRun = [&](int i, int n) {
        out.push_back(static_cast<std::uint8_t>(n));
        out.push_back(four ? static_cast<std::uint8_t>((p[i] << 4) | (n > 1 ? p[i + 1] : 0)) : p[i]);
    };
    int i = 0;
    while (i < w) {
        const int run = runAt(i);
        if (run >= 3 || i + run >= w) {
            emitRun(i, run);
            i += run;
            continue;
        }
        // Collect literals up to the next worthwhile run.
        int j = i;
        while (j < w && j - i < 255 && runAt(j) < 3) ++j;
        const int n = j - i;
        if (n < 3) {
            // Absolute runs need three pixels; shorter ones go out as runs.
            if (four) {
                emitRun(i, n);
            } else {
                for (int k = 0; k < n; ++k) emitRun(i + k, 1);
            }
        } else {
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(n));
            std::size_t bytes = 0;
            if (four) {
                for (int k = 0; k < n; k += 2) {
                    out.push_back(static_cast<std::uint8_t>((p[i + k] << 4) | (k + 1 < n ? p[i + k + 1] : 0)));
                    ++bytes;
                }
            } else {
                out.insert(out.end(), p + i, p + i + n);
                bytes = static_cast<std::size_t>(n);
            }
            if (bytes & 1) out.push_back(0);
        }
        i = j;
    }
}

}  // namespace

std::vector<std::uint8_t> encodeDibPixels(const Image& img, int bits, bool rle) {
    const int w = img.width(), h = img.height();
    std::vector<std::uint8_t> pixels;
    if (rle) {
        for (int s = 0; s < h; ++s) {
            encodeRleRow(img.row(h - 1 - s), w, bits == 4, pixels);
            pixels.push_back(0);
            pixels.push_back(s + 1 == h ? 1 : 0);  // end of line, end of bitmap after the last
        }
        return pixels;
    }
    const std::uint64_t stride = dibRowBytes(w, bits);
    pixels.assign(stride * static_cast<std::uint64_t>(h), 0);
    for (int s = 0; s < h; ++s) encodeDibRow(img, bits, s, pixels.data() + stride * static_cast<std::uint64_t>(s));
    return pixels;
}

void encodeDibRow(const Image& img, int bits, int stored, std::uint8_t* d) {
    const int w = img.width();
    const std::uint8_t* p = img.row(img.height() - 1 - stored);
    // The padding at the end of the row is zero.
    const std::uint64_t stride = dibRowBytes(w, bits);
    std::memset(d + stride - 4, 0, 4);
    switch (bits) {
    case 16: std::memcpy(d, p, static_cast<std::size_t>(w) * 2); break;
    case 24:
        for (int x = 0; x < w; ++x) {
            d[3 * x] = p[3 * x + 2];
            d[3 * x + 1] = p[3 * x + 1];
            d[3 * x + 2] = p[3 * x];
        }
        break;
    case 32:
        // The fourth byte carries the alpha (255 where opaque).
        for (int x = 0; x < w; ++x) {
            d[4 * x] = p[4 * x + 2];
            d[4 * x + 1] = p[4 * x + 1];
            d[4 * x + 2] = p[4 * x];
            d[4 * x + 3] = p[4 * x + 3];
        }
        break;
    default: packBits(p, static_cast<std::size_t>(w), bits, d); break;
    }
}

void writeDibColourTable(ByteWriter& out, const std::vector<Rgb>& palette, std::uint32_t entries, int entrySize) {
    for (std::uint32_t k = 0; k < entries; ++k) {
        const Rgb c = k < palette.size() ? palette[k] : Rgb{};
        out.u8(c.b);
        out.u8(c.g);
        out.u8(c.r);
        if (entrySize == 4) out.u8(0);
    }
}

}  // namespace rastel::imaging
