// Macintosh QuickDraw pictures (PICT). A picture is a recorded list of drawing
// opcodes; this codec deals with the bitmap ones. The reader draws every
// bitmap opcode of a version 1 or 2 picture into a white canvas of the picture
// frame and steps over every other opcode by its documented size. The writer
// makes version 2 pictures holding one bitmap.
//
// Reader decisions worth knowing:
//  - An extended version 2 header (0x0C00, version -2) gives the picture's
//    native resolution and its frame at that resolution; the opcodes draw in
//    that frame, so a high-resolution picture keeps every pixel of its
//    bitmaps and prints at the header's resolution.
//  - QuickTime-compressed images (opcode 0x8200) with the 'jpeg' codec are
//    decoded by the JPEG reader and drawn like a bitmap; other codecs are
//    refused with their name.
//  - A picture with no bitmap is refused, saying what it holds instead.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "imaging/codec.h"
#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

const char* const kFormat = "MacPict";
constexpr std::size_t kFileHeader = 512;

struct Rect {
    int top = 0, left = 0, bottom = 0, right = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

Rect readRect(ByteReader& in) {
    Rect r;
    r.top = in.s16be();
    r.left = in.s16be();
    r.bottom = in.s16be();
    r.right = in.s16be();
    return r;
}

// Locating the picture

enum class Version { One, Two };

struct Start {
    std::size_t offset = 0;  // of the picSize word
    Version version = Version::Two;
};

// A picture starts with picSize, picFrame and the version opcode: 0x11 0x01
// (version 1) or 0x0011 0x02FF (version 2), with a non-empty frame.
std::optional<Version> pictureAt(std::span<const std::uint8_t> d, std::size_t at) {
    if (d.size() < at + 14) return std::nullopt;
    const auto s16 = [&](std::size_t i) { return static_cast<std::int16_t>((d[i] << 8) | d[i + 1]); };
    const int top = s16(at + 2), left = s16(at + 4), bottom = s16(at + 6), right = s16(at + 8);
    if (bottom <= top || right <= left) return std::nullopt;
    if (d[at + 10] == 0x11 && d[at + 11] == 0x01) return Version::One;
    if (d[at + 10] == 0x00 && d[at + 11] == 0x11 && d[at + 12] == 0x02 && d[at + 13] == 0xFF) return Version::Two;
    return std::nullopt;
}

// Files normally start with a 512-byte block the application owns; pictures
// taken from resources or the clipboard come without it.
std::optional<Start> findPicture(std::span<const std::uint8_t> d) {
    if (auto v = pictureAt(d, kFileHeader)) return Start{kFileHeader, *v};
    if (auto v = pictureAt(d, 0)) return Start{0, *v};
    return std::nullopt;
}

// Skipping opcodes

void skipRegion(ByteReader& in) {
    const std::uint16_t size = in.u16be();
    if (size < 10) fail(kFormat, "region of " + std::to_string(size) + " bytes is too small");
    in.skip(size - 2u);
}

void skipText(ByteReader& in, std::size_t before) {
    in.skip(before);
    in.skip(in.u8());
}

struct ColourTable {
    std::vector<Rgb> colours;
};

// A colour table: seed, flags, size - 1, then value and 16-bit RGB per entry.
// Entries are placed by their value, or by position for device tables.
ColourTable readColourTable(ByteReader& in, int pixelSize) {
    in.skip(4);
    const std::uint16_t flags = in.u16be();
    const int count = static_cast<std::int16_t>(in.u16be()) + 1;
    if (count < 0 || count > 256) fail(kFormat, "colour table of " + std::to_string(count) + " entries");
    in.require(static_cast<std::uint64_t>(count) * 8, "colour table");
    const std::size_t slots = std::size_t{1} << std::clamp(pixelSize, 1, 8);
    ColourTable t;
    t.colours.assign(slots, Rgb{0, 0, 0});
    for (int i = 0; i < count; ++i) {
        const std::uint16_t value = in.u16be();
        const Rgb c{static_cast<std::uint8_t>(in.u16be() >> 8), static_cast<std::uint8_t>(in.u16be() >> 8),
                    static_cast<std::uint8_t>(in.u16be() >> 8)};
        const std::size_t slot = (flags & 0x8000) ? static_cast<std::size_t>(i) : value;
        if (slot < slots) t.colours[slot] = c;
    }
    return t;
}

// The pixel data of a pattern or bitmap of `rows` rows: unpacked below 8
// bytes a row, otherwise each row a byte count and its PackBits data.
void skipPixData(ByteReader& in, std::size_t rowBytes, int rows) {
    if (rowBytes < 8) {
        in.skip(rowBytes * static_cast<std::size_t>(rows));
        return;
    }
    for (int y = 0; y < rows; ++y) in.skip(rowBytes > 250 ? in.u16be() : in.u8());
}

// BkPixPat, PnPixPat, FillPixPat.
void skipPixPat(ByteReader& in) {
    const std::uint16_t type = in.u16be();
    in.skip(8);  // the old-style pattern
    if (type == 2) {
        in.skip(6);  // dither pattern: one RGB colour
        return;
    }
    // A pixel map without its base address, a colour table, the pixels.
    const std::size_t rowBytes = in.u16be() & 0x3FFF;
    const Rect bounds = readRect(in);
    in.skip(18);
    const int pixelSize = in.u16be();
    in.skip(16);
    readColourTable(in, pixelSize);
    if (bounds.height() < 0) fail(kFormat, "pattern with negative height");
    skipPixData(in, rowBytes, bounds.height());
}

// Steps over the data of an opcode that draws no bitmap. Throws for opcodes
// whose size can't be known.
void skipOpcode(ByteReader& in, unsigned op, Version version) {
    const bool v2 = version == Version::Two;
    if (op >= 0x0100) {
        if (op <= 0x7FFF) return in.skip(2u * (op >> 8));
        if (op <= 0x80FF) return;
        return in.skip(in.u32be());
    }
    switch (op) {
    case 0x00: return;
    case 0x01: return skipRegion(in);
    case 0x02:
    case 0x09:
    case 0x0A:
    case 0x10: return in.skip(8);
    case 0x03:
    case 0x05:
    case 0x08:
    case 0x0D:
    case 0x15:
    case 0x16: return in.skip(2);
    case 0x04: return in.skip(1);
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
    case 0x0F: return in.skip(4);
    case 0x11: return in.skip(v2 ? 2 : 1);
    case 0x12:
    case 0x13:
    case 0x14: return skipPixPat(in);
    case 0x17:
    case 0x18:
    case 0x19:
    case 0x1C:
    case 0x1E: return;
    case 0x1A:
    case 0x1B:
    case 0x1D:
    case 0x1F: return in.skip(6);
    case 0x20: return in.skip(8);
    case 0x21: return in.skip(4);
    case 0x22: return in.skip(6);
    case 0x23: return in.skip(2);
    case 0x28: return skipText(in, 4);
    case 0x29:
    case 0x2A: return skipText(in, 1);
    case 0x2B: return skipText(in, 2);
    case 0xA0: return in.skip(2);
    case 0xA1: in.skip(2); return in.skip(in.u16be());
    default: break;
    }
    if ((op >= 0x24 && op <= 0x27) || (op >= 0x2C && op <= 0x2F) || (op >= 0x92 && op <= 0x97) ||
        (op >= 0x9C && op <= 0x9F) || (op >= 0xA2 && op <= 0xAF))
        return in.skip(in.u16be());
    if (op >= 0x30 && op <= 0x6F) {
        const unsigned shape = (op >> 3) & 1;            // 0: with a rectangle, 1: the "same" form
        if (op >= 0x60) return in.skip(shape ? 4 : 12);  // arcs carry two angles
        return in.skip(shape ? 0 : 8);
    }
    if (op >= 0x70 && op <= 0x77) return skipRegion(in);  // polygons are sized like regions
    if (op >= 0x78 && op <= 0x7F) return;
    if (op >= 0x80 && op <= 0x87) return skipRegion(in);
    if (op >= 0x88 && op <= 0x8F) return;
    if (op >= 0xB0 && op <= 0xCF) return;
    if (op >= 0xD0 && op <= 0xFE) return in.skip(in.u32be());
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", op);
    fail(kFormat, std::string("opcode 0x") + hex + " of unknown size");
}

// Bitmap opcodes

struct Drawn {
    Image pixels;  // Indexed or Rgb24, bounds-sized
    Rect bounds, src, dst;
};

bool isBitmapOpcode(unsigned op) { return (op >= 0x90 && op <= 0x91) || (op >= 0x98 && op <= 0x9B); }

double fixedToDouble(std::uint32_t v) { return static_cast<std::int32_t>(v) / 65536.0; }

Drawn readBitmap(ByteReader& in, unsigned op, double& dpiX, double& dpiY) {
    const bool direct = op == 0x9A || op == 0x9B;
    const bool packed = op >= 0x98;
    const bool withRegion = op == 0x91 || op == 0x99 || op == 0x9B;
    if (direct) in.skip(4);  // base address placeholder
    const std::uint16_t rowWord = in.u16be();
    const bool pixMap = direct || (rowWord & 0x8000);
    const std::size_t rowBytes = rowWord & (pixMap ? 0x3FFF : 0x7FFF);
    Drawn d;
    d.bounds = readRect(in);
    int pixelSize = 1, cmpCount = 1, packType = 0;
    ColourTable table{{Rgb{255, 255, 255}, Rgb{0, 0, 0}}};  // a BitMap: 1 is black
    if (pixMap) {
        in.skip(2);  // pmVersion
        packType = in.u16be();
        in.skip(4);  // packSize
        const double hRes = fixedToDouble(in.u32be());
        const double vRes = fixedToDouble(in.u32be());
        in.skip(2);  // pixelType
        pixelSize = in.u16be();
        cmpCount = in.u16be();
        in.skip(2 + 12);  // cmpSize, planeBytes, pmTable, pmReserved
        if (dpiX <= 0 && hRes > 0 && vRes > 0 && hRes < 100000 && vRes < 100000) {
            dpiX = hRes;
            dpiY = vRes;
        }
        if (!direct) table = readColourTable(in, pixelSize);
    }
    d.src = readRect(in);
    d.dst = readRect(in);
    in.skip(2);  // transfer mode
    if (withRegion) skipRegion(in);

    const int w = d.bounds.width(), h = d.bounds.height();
    if (w <= 0 || h <= 0) fail(kFormat, "bitmap with empty bounds");
    if (direct) {
        if (pixelSize != 16 && pixelSize != 32)
            fail(kFormat, "direct pixel map of " + std::to_string(pixelSize) + " bits per pixel");
        if (pixelSize == 32 && cmpCount != 3 && cmpCount != 4)
            fail(kFormat, "direct pixel map of " + std::to_string(cmpCount) + " components");
    } else if (pixelSize != 1 && pixelSize != 2 && pixelSize != 4 && pixelSize != 8) {
        fail(kFormat, "indexed pixel map of " + std::to_string(pixelSize) + " bits per pixel");
    }
    checkDimensions(kFormat, w, h);
    const std::size_t W = static_cast<std::size_t>(w);
    const std::size_t minRow = packedBytes(W, pixelSize);
    // packType 2 stores 32-bit pixels as 3 bytes, unpacked.
    const bool threeByte = direct && pixelSize == 32 && packType == 2 && rowBytes >= 8;
    if (!threeByte && rowBytes < minRow)
        fail(kFormat, "row of " + std::to_string(rowBytes) + " bytes cannot hold " + std::to_string(w) + " pixels");

    // Each row decoded: indices / 16-bit words / xRGB bytes, or component planes.
    const bool planar = direct && pixelSize == 32 && rowBytes >= 8 && packed && (packType == 0 || packType == 4);
    const std::size_t comps = static_cast<std::size_t>(cmpCount);
    const std::size_t rowSize = threeByte ? 3 * W : planar ? comps * W : rowBytes;
    std::vector<std::uint8_t> row(rowSize);

    d.pixels = direct ? Image(w, h, PixelFormat::Rgb24) : Image(w, h, PixelFormat::Indexed, pixelSize);
    if (!direct) d.pixels.palette() = table.colours;
    for (int y = 0; y < h; ++y) {
        const bool rawRow = !packed || rowBytes < 8 || threeByte || (direct && packType == 1);
        if (rawRow) {
            const auto b = in.bytes(rowSize, "bitmap row");
            std::memcpy(row.data(), b.data(), rowSize);
        } else {
            const std::size_t count = rowBytes > 250 ? in.u16be() : in.u8();
            const auto b = in.bytes(count, "packed bitmap row");
            if (direct && pixelSize == 16)
                packBitsDecodeUnits(b, row.data(), rowSize & ~std::size_t{1}, 2, kFormat);
            else
                packBitsDecode(b, row.data(), rowSize, kFormat);
        }
        std::uint8_t* out = d.pixels.row(y);
        if (!direct) {
            unpackBits(row.data(), W, pixelSize, out);
        } else if (pixelSize == 16) {
            for (std::size_t x = 0; x < W; ++x) {
                const unsigned v = (row[2 * x] << 8) | row[2 * x + 1];
                const unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
                out[3 * x] = static_cast<std::uint8_t>((r << 3) | (r >> 2));
                out[3 * x + 1] = static_cast<std::uint8_t>((g << 3) | (g >> 2));
                out[3 * x + 2] = static_cast<std::uint8_t>((b << 3) | (b >> 2));
            }
        } else if (planar) {
            const std::size_t first = comps == 4 ? W : 0;  // alpha plane first when there are four
            for (std::size_t x = 0; x < W; ++x)
                for (std::size_t c = 0; c < 3; ++c) out[3 * x + c] = row[first + c * W + x];
        } else if (threeByte) {
            std::memcpy(out, row.data(), 3 * W);
        } else {
            for (std::size_t x = 0; x < W; ++x)
                for (std::size_t c = 0; c < 3; ++c) out[3 * x + c] = row[4 * x + 1 + c];
        }
    }
    return d;
}

// Four printable characters of a QuickTime codec type, for messages.
std::string codecName(std::span<const std::uint8_t> four) {
    std::string name;
    for (const std::uint8_t c : four) name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return name;
}

const FormatReader& jpegReader() {
    for (const auto& r : Registry::instance().readers())
        if (r->name() == "JPEG") return *r;
    fail(kFormat, "picture holds a QuickTime JPEG image and no JPEG reader is available");
}

// CompressedQuickTime (0x8200): a length, then version, a 3x3 matrix, the
// matte, the transfer mode, the source rectangle, accuracy, the mask region,
// and an image description followed by the compressed data. Only the 'jpeg'
// codec is read; the matrix may scale and move, not rotate.
Drawn readQuickTime(ByteReader& in, const ReadContext& ctx) {
    const std::uint32_t length = in.u32be();
    const auto body = in.bytes(length, "QuickTime image");
    ByteReader q(body, kFormat);
    q.skip(2);  // version
    std::int32_t m[9];
    for (auto& v : m) v = q.s32be();
    if (m[1] != 0 || m[3] != 0 || m[2] != 0 || m[5] != 0)
        fail(kFormat, "QuickTime image with a rotating or perspective matrix is not supported");
    if (m[0] <= 0 || m[4] <= 0) fail(kFormat, "QuickTime image with an empty or mirroring matrix");
    const std::uint32_t matteSize = q.u32be();
    q.skip(8 + 2);  // matte rectangle, transfer mode
    const Rect src = readRect(q);
    q.skip(4);  // accuracy
    const std::uint32_t maskSize = q.u32be();
    q.skip(matteSize);
    q.skip(maskSize);
    const std::size_t descStart = q.pos();
    const std::uint32_t descSize = q.u32be();
    const auto codec = q.bytes(4, "QuickTime image description");
    if (descSize < 86) fail(kFormat, "QuickTime image description of " + std::to_string(descSize) + " bytes");
    q.seek(descStart + 44);
    const std::uint32_t dataSize = q.u32be();
    q.seek(descStart + descSize);
    if (std::memcmp(codec.data(), "jpeg", 4) != 0)
        fail(kFormat, "picture holds a QuickTime image compressed with the '" + codecName(codec) +
                          "' codec, which is not supported (only 'jpeg')");
    const auto jpeg = q.bytes(dataSize ? std::min<std::uint64_t>(dataSize, q.remaining()) : q.remaining(), "JPEG data");
    Document doc = jpegReader().read(jpeg, ctx);
    if (doc.pages.empty()) fail(kFormat, "QuickTime JPEG image holds no picture");
    Drawn d;
    d.pixels = std::move(doc.pages.front());
    d.bounds = Rect{0, 0, d.pixels.height(), d.pixels.width()};
    d.src = src.empty() ? d.bounds : src;
    // Fixed 16.16 scale and translation; coordinates stay within 16 bits.
    const auto place = [](int v, std::int32_t scale, std::int32_t shift) {
        const double r = std::round((static_cast<double>(v) * scale + shift) / 65536.0);
        if (std::fabs(r) > 32767) fail(kFormat, "QuickTime image placed outside the picture's coordinates");
        return static_cast<int>(r);
    };
    d.dst = Rect{place(d.src.top, m[4], m[7]), place(d.src.left, m[0], m[6]), place(d.src.bottom, m[4], m[7]),
                 place(d.src.right, m[0], m[6])};
    return d;
}

// Draws `d` into `canvas` (frame-sized, Rgb24): its source rectangle scaled
// to its destination rectangle, clipped to the frame and the bitmap bounds.
// Returns the number of canvas pixels it covered.
std::uint64_t blit(Image& canvas, const Rect& frame, const Drawn& d) {
    if (d.src.empty() || d.dst.empty()) return 0;
    const int x0 = std::max(d.dst.left, frame.left), x1 = std::min(d.dst.right, frame.right);
    const int y0 = std::max(d.dst.top, frame.top), y1 = std::min(d.dst.bottom, frame.bottom);
    const std::int64_t sw = d.src.width(), sh = d.src.height(), dw = d.dst.width(), dh = d.dst.height();
    for (int y = y0; y < y1; ++y) {
        const std::int64_t sy = d.src.top + (y - d.dst.top) * sh / dh - d.bounds.top;
        if (sy < 0 || sy >= d.pixels.height()) continue;
        std::uint8_t* out = canvas.row(y - frame.top);
        for (int x = x0; x < x1; ++x) {
            const std::int64_t sx = d.src.left + (x - d.dst.left) * sw / dw - d.bounds.left;
            if (sx < 0 || sx >= d.pixels.width()) continue;
            const Rgb c = pixelRgb(d.pixels, static_cast<int>(sx), static_cast<int>(sy));
            std::uint8_t* p = out + 3 * static_cast<std::size_t>(x - frame.left);
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
    return x1 > x0 && y1 > y0 ? static_cast<std::uint64_t>(x1 - x0) * static_cast<std::uint64_t>(y1 - y0) : 0;
}

// The part `r` (in bounds coordinates) of a drawn bitmap.
Image crop(const Drawn& d, const Rect& r) {
    if (r == d.bounds) return d.pixels;
    Image out(r.width(), r.height(), d.pixels.format(), d.pixels.indexBits());
    out.palette() = d.pixels.palette();
    const std::size_t bpp = static_cast<std::size_t>(bytesPerPixel(d.pixels.format()));
    for (int y = 0; y < r.height(); ++y)
        std::memcpy(out.row(y),
                    d.pixels.row(r.top - d.bounds.top + y) + bpp * static_cast<std::size_t>(r.left - d.bounds.left),
                    bpp * static_cast<std::size_t>(r.width()));
    return out;
}

bool inside(const Rect& inner, const Rect& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// The extended version 2 header (0x0C00 with version -2) right after the
// version opcode: the native resolution and the frame at that resolution.
struct NativeFrame {
    Rect frame;
    double dpiX = 0, dpiY = 0;
};

std::optional<NativeFrame> extendedHeader(ByteReader in) {
    if (in.remaining() < 26 || in.u16be() != 0x0C00 || in.s16be() != -2) return std::nullopt;
    in.skip(2);
    NativeFrame n;
    n.dpiX = fixedToDouble(in.u32be());
    n.dpiY = fixedToDouble(in.u32be());
    n.frame = readRect(in);
    if (n.frame.empty() || !(n.dpiX > 0 && n.dpiX < 100000 && n.dpiY > 0 && n.dpiY < 100000)) return std::nullopt;
    return n;
}

// What a picture without bitmaps draws, for the message refusing it.
std::string vectorContent(unsigned drawing, unsigned text) {
    if (drawing == 0 && text == 0) return "picture holds no bitmap and draws nothing";
    std::string what;
    if (drawing) what = std::to_string(drawing) + " shape-drawing opcode" + (drawing == 1 ? "" : "s");
    if (text)
        what +=
            std::string(what.empty() ? "" : " and ") + std::to_string(text) + " text opcode" + (text == 1 ? "" : "s");
    return "picture holds no bitmap, only vector drawing (" + what + "), which is not rendered";
}

bool isTextOpcode(unsigned op) { return op >= 0x28 && op <= 0x2B; }
bool isShapeOpcode(unsigned op) { return (op >= 0x20 && op <= 0x23) || (op >= 0x30 && op <= 0x87); }

Image decode(std::span<const std::uint8_t> data, const ReadContext& ctx) {
    const auto start = findPicture(data);
    if (!start) fail(kFormat, "no picture header (frame and version opcode) found");
    ByteReader in(data, kFormat);
    in.seek(start->offset + 2);
    Rect frame = readRect(in);
    checkDimensions(kFormat, frame.width(), frame.height());
    in.skip(start->version == Version::Two ? 4 : 2);

    double dpiX = 0, dpiY = 0;
    double headerDpiX = 0, headerDpiY = 0;
    if (start->version == Version::Two) {
        // Only a native frame other than the picture frame is high resolution;
        // otherwise the pixel maps state the resolution.
        if (const auto native = extendedHeader(in); native && !(native->frame == frame)) {
            checkDimensions(kFormat, native->frame.width(), native->frame.height());
            frame = native->frame;
            headerDpiX = native->dpiX;
            headerDpiY = native->dpiY;
        }
    }
    unsigned shapes = 0, texts = 0, rawQuickTime = 0;
    // The first bitmap is kept aside: a picture of one bitmap filling the
    // frame is returned as that bitmap. From the second bitmap on, everything
    // is drawn into a canvas as it comes.
    std::optional<Drawn> first;
    int bitmaps = 0;
    Image canvas;
    std::uint64_t work = 0;
    const std::uint64_t frameArea =
        static_cast<std::uint64_t>(frame.width()) * static_cast<std::uint64_t>(frame.height());
    const std::uint64_t workLimit = 64 * std::max<std::uint64_t>(frameArea, 1 << 20);
    auto draw = [&](const Drawn& d) {
        if (canvas.empty()) {
            canvas = Image(frame.width(), frame.height(), PixelFormat::Rgb24);
            std::fill(canvas.data(), canvas.data() + canvas.byteSize(), 0xFF);
        }
        work += blit(canvas, frame, d);
        // A picture drawing the frame over and over would only burn time.
        if (work > workLimit) fail(kFormat, "too many bitmap opcodes");
    };
    for (;;) {
        unsigned op;
        if (start->version == Version::Two) {
            if ((in.pos() - start->offset) % 2) in.skip(1);  // opcodes are word-aligned
            op = in.u16be();
        } else {
            op = in.u8();
        }
        if (op == 0x00FF) break;
        const bool quickTime = op == 0x8200 && start->version == Version::Two;
        if (!isBitmapOpcode(op) && !quickTime) {
            shapes += isShapeOpcode(op);
            texts += isTextOpcode(op);
            rawQuickTime += op == 0x8201 && start->version == Version::Two;
            skipOpcode(in, op, start->version);
            continue;
        }
        Drawn d = quickTime ? readQuickTime(in, ctx) : readBitmap(in, op, dpiX, dpiY);
        if (++bitmaps == 1) {
            first = std::move(d);
            continue;
        }
        if (bitmaps == 2) draw(*first);
        draw(d);
    }
    if (bitmaps == 0 && rawQuickTime)
        fail(kFormat, "picture holds no bitmap, only an uncompressed QuickTime image, which is not supported");
    if (bitmaps == 0) fail(kFormat, vectorContent(shapes, texts));

    Image out;
    if (bitmaps == 1 && first->dst == frame && !first->src.empty() && inside(first->src, first->bounds)) {
        // One bitmap filling the frame: keep its own pixels, palette and size.
        out = crop(*first, first->src);
    } else {
        if (bitmaps == 1) draw(*first);
        out = std::move(canvas);
    }
    if (headerDpiX > 0) {
        dpiX = headerDpiX;
        dpiY = headerDpiY;
    }
    out.xDpi = dpiX > 0 ? dpiX : 72;
    out.yDpi = dpiY > 0 ? dpiY : 72;
    return out;
}

class PictReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".pct", ".pict", ".pic"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        return findPicture(head) ? Sniff::Weak : Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (!findPicture(data)) fail(kFormat, "no picture header (frame and version opcode) found");
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        return decode(data, ctx);
    }
};

// Writer

void writeRect(ByteWriter& out, int w, int h) {
    out.u16be(0);
    out.u16be(0);
    out.u16be(static_cast<std::uint16_t>(h));
    out.u16be(static_cast<std::uint16_t>(w));
}

std::uint32_t toFixed(double v) {
    return static_cast<std::uint32_t>(std::lround(std::clamp(v, 1.0, 32767.0) * 65536.0));
}

// Rows of PixData: unpacked below 8 bytes a row, else a byte count (a word
// past 250 bytes) and the PackBits runs.
void writeRows(ByteWriter& out, const std::vector<std::vector<std::uint8_t>>& rows, std::size_t rowBytes) {
    std::vector<std::uint8_t> packed;
    for (const auto& r : rows) {
        if (rowBytes < 8) {
            out.bytes(r);
            continue;
        }
        packed.clear();
        packBitsEncode(r, packed);
        if (rowBytes > 250)
            out.u16be(static_cast<std::uint16_t>(packed.size()));
        else
            out.u8(static_cast<std::uint8_t>(packed.size()));
        out.bytes(packed);
    }
}

// The PixMap fields after bounds: version, packing, resolution, pixel layout.
void writePixMapTail(ByteWriter& out, int packType, double xDpi, double yDpi, int pixelType, int pixelSize,
                     int cmpCount, int cmpSize) {
    out.u16be(0);  // pmVersion
    out.u16be(static_cast<std::uint16_t>(packType));
    out.u32be(0);  // packSize
    out.u32be(toFixed(xDpi));
    out.u32be(toFixed(yDpi));
    out.u16be(static_cast<std::uint16_t>(pixelType));
    out.u16be(static_cast<std::uint16_t>(pixelSize));
    out.u16be(static_cast<std::uint16_t>(cmpCount));
    out.u16be(static_cast<std::uint16_t>(cmpSize));
    out.u32be(0);  // planeBytes
    out.u32be(0);  // pmTable
    out.u32be(0);  // pmReserved
}

class PictWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{56, {1, 4, 8, 24}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const int w = page.width(), h = page.height();
        if (w > 32767 || h > 32767)
            fail(kFormat, "page of " + std::to_string(w) + " x " + std::to_string(h) +
                              " pixels exceeds the 32767 x 32767 picture frame");
        const std::size_t W = static_cast<std::size_t>(w);
        const int bits = opt.bits;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24)
            fail(kFormat, "writer accepts 1, 4, 8 or 24 bits, got " + std::to_string(bits));
        const std::size_t bitsPerPixel = bits == 24 ? 32 : static_cast<std::size_t>(bits);
        std::size_t rowBytes = (W * bitsPerPixel + 7) / 8;
        rowBytes += rowBytes % 2;
        if (rowBytes > 0x3FFE)
            fail(kFormat, "page of " + std::to_string(w) + " pixels is too wide for a " + std::to_string(bits) +
                              "-bit pixel map (at most " + std::to_string(0x3FFE * 8 / bitsPerPixel) + ")");
        const double xDpi = page.xDpi > 0 ? page.xDpi : 72.0;
        const double yDpi = page.yDpi > 0 ? page.yDpi : 72.0;

        ByteWriter out;
        out.zeros(kFileHeader);
        out.u16be(0);  // picSize, patched at the end
        writeRect(out, w, h);
        out.u16be(0x0011);
        out.u16be(0x02FF);
        // Extended version 2 header: 72 dpi frame; the pixel map states the
        // page's own resolution.
        out.u16be(0x0C00);
        out.u16be(0xFFFE);
        out.u16be(0);
        out.u32be(toFixed(72));
        out.u32be(toFixed(72));
        writeRect(out, w, h);
        out.u32be(0);
        // Clip region: the frame.
        out.u16be(0x0001);
        out.u16be(10);
        writeRect(out, w, h);

        std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(h));
        if (bits == 24) {
            Image copy;
            const Image& rgb = inFormat(page, PixelFormat::Rgb24, copy);
            out.u16be(0x009A);
            out.u32be(0x000000FF);
            out.u16be(static_cast<std::uint16_t>(0x8000 | rowBytes));
            writeRect(out, w, h);
            writePixMapTail(out, 4, xDpi, yDpi, 16, 32, 3, 8);
            for (int y = 0; y < h; ++y) {
                const std::uint8_t* s = rgb.row(y);
                auto& r = rows[static_cast<std::size_t>(y)];
                if (rowBytes < 8) {
                    // Too short to pack: plain xRGB pixels.
                    r.assign(rowBytes, 0);
                    for (std::size_t x = 0; x < W; ++x) std::memcpy(&r[4 * x + 1], s + 3 * x, 3);
                } else {
                    r.resize(3 * W);
                    for (std::size_t x = 0; x < W; ++x)
                        for (std::size_t c = 0; c < 3; ++c) r[c * W + x] = s[3 * x + c];
                }
            }
        } else {
            // Every depth is an indexed PixMap with its colour table; 1 bit
            // too (white and black), because ImageMagick and GraphicsMagick
            // draw a plain BitMap all black.
            const Image idx = bits == 1 ? toInkBits(page) : toIndexed(page, bits);
            out.u16be(0x0098);
            out.u16be(static_cast<std::uint16_t>(0x8000 | rowBytes));
            writeRect(out, w, h);
            writePixMapTail(out, 0, xDpi, yDpi, 0, bits, 1, bits);
            const std::size_t n = std::size_t{1} << bits;
            out.u32be(0);  // ctSeed
            out.u16be(0);  // ctFlags
            out.u16be(static_cast<std::uint16_t>(n - 1));
            for (std::size_t i = 0; i < n; ++i) {
                const Rgb c = i < idx.palette().size() ? idx.palette()[i] : Rgb{};
                out.u16be(static_cast<std::uint16_t>(i));
                out.u16be(static_cast<std::uint16_t>(c.r * 257));
                out.u16be(static_cast<std::uint16_t>(c.g * 257));
                out.u16be(static_cast<std::uint16_t>(c.b * 257));
            }
            for (int y = 0; y < h; ++y) {
                auto& r = rows[static_cast<std::size_t>(y)];
                r.assign(rowBytes, 0);
                packBits(idx.row(y), W, bits, r.data());
            }
        }
        writeRect(out, w, h);  // srcRect
        writeRect(out, w, h);  // dstRect
        out.u16be(0);          // srcCopy
        writeRows(out, rows, rowBytes);
        if (out.size() % 2) out.u8(0);
        out.u16be(0x00FF);
        out.patchU16be(kFileHeader, static_cast<std::uint16_t>((out.size() - kFileHeader) & 0xFFFF));
        return out.take();
    }
};

}  // namespace

void registerPictCodec(Registry& registry) { registry.addCodec<PictReader, PictWriter>(); }

}  // namespace rastel::imaging
