// Adobe Photoshop documents (.psd, and the large-document variant .psb). Only
// the merged image at the end of the file is read or written; layers are
// skipped by their section length.
//
// File layout: header (26 bytes), colour mode data, image resources, layer and
// mask information, then the merged image data: a compression word and the
// channels one after another, each as height rows of (width * depth + 7) / 8
// big-endian bytes, raw or PackBits-compressed with a table of per-row byte
// counts in front of all channels.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/colour.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/metadata.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

const char* const kFormat = "PSD";

enum Mode : int {
    kBitmap = 0,
    kGrayscale = 1,
    kIndexed = 2,
    kRgb = 3,
    kCmyk = 4,
    kMultichannel = 7,
    kDuotone = 8,
    kLab = 9,
};

constexpr std::uint16_t kResolutionInfo = 0x03ED;
constexpr std::uint16_t kIptc = 1028;
constexpr std::uint16_t kIccProfile = 1039;
constexpr std::uint16_t kExif = 1058;
constexpr std::uint16_t kExif3 = 1059;
constexpr std::uint16_t kXmp = 1060;

struct Header {
    int version = 1;  // 2 = large document (PSB)
    int channels = 0;
    int width = 0;
    int height = 0;
    int depth = 0;
    int mode = 0;
};

std::string modeName(int mode) {
    switch (mode) {
    case kBitmap: return "bitmap";
    case kGrayscale: return "grayscale";
    case kIndexed: return "indexed";
    case kRgb: return "RGB";
    case kCmyk: return "CMYK";
    case kMultichannel: return "multichannel";
    case kDuotone: return "duotone";
    case kLab: return "Lab";
    default: return "mode " + std::to_string(mode);
    }
}

Header readHeader(ByteReader& in) {
    const auto sig = in.bytes(4, "header");
    if (std::memcmp(sig.data(), "8BPS", 4) != 0) fail(kFormat, "missing 8BPS signature");
    Header h;
    h.version = in.u16be();
    if (h.version != 1 && h.version != 2) fail(kFormat, "unknown version " + std::to_string(h.version));
    in.skip(6);
    h.channels = in.u16be();
    const std::uint32_t height = in.u32be();
    const std::uint32_t width = in.u32be();
    h.depth = in.u16be();
    h.mode = in.u16be();
    if (h.channels < 1 || h.channels > 1024)
        fail(kFormat, "channel count " + std::to_string(h.channels) + " is outside 1..1024");
    const std::uint32_t maxSide = h.version == 1 ? 30000 : 300000;
    if (width == 0 || height == 0 || width > maxSide || height > maxSide)
        fail(kFormat, "image size " + std::to_string(width) + " x " + std::to_string(height) + " is not valid");
    h.width = static_cast<int>(width);
    h.height = static_cast<int>(height);
    if (h.depth != 1 && h.depth != 8 && h.depth != 16 && h.depth != 32)
        fail(kFormat, "unsupported depth of " + std::to_string(h.depth) + " bits per channel");
    if (h.mode == kIndexed && h.depth != 8)
        fail(kFormat, "indexed mode needs 8 bits per channel, not " + std::to_string(h.depth));
    if ((h.mode == kBitmap) != (h.depth == 1))
        fail(kFormat, "depth of " + std::to_string(h.depth) + " bits does not fit " + modeName(h.mode) + " mode");
    return h;
}

// Channels the merged image needs for a mode.
int neededChannels(const Header& h) {
    switch (h.mode) {
    case kBitmap:
    case kGrayscale:
    case kIndexed:
    case kMultichannel:
    case kDuotone: return 1;
    case kRgb: return h.channels >= 4 ? 4 : 3;
    case kLab: return 3;
    case kCmyk: return 4;
    default: fail(kFormat, "unsupported colour mode " + std::to_string(h.mode));
    }
}

// ResolutionInfo holds 16.16 fixed-point pixels per inch whatever unit the
// document displays (the unit fields only choose how Photoshop shows it).
double resolutionDpi(std::uint32_t fixed) { return fixed / 65536.0; }

struct Resources {
    double xDpi = 0;
    double yDpi = 0;
    Metadata meta;
    std::vector<std::uint8_t> exif3;  // resource 1059, used when 1058 is missing
};

Resources readResources(std::span<const std::uint8_t> block) {
    Resources res;
    ByteReader in(block, kFormat);
    while (in.remaining() >= 12) {
        const auto sig = in.bytes(4, "image resource");
        if (std::memcmp(sig.data(), "8BIM", 4) != 0 && std::memcmp(sig.data(), "MeSa", 4) != 0 &&
            std::memcmp(sig.data(), "AgHg", 4) != 0 && std::memcmp(sig.data(), "PHUT", 4) != 0 &&
            std::memcmp(sig.data(), "DCSR", 4) != 0)
            break;  // not a resource: the rest of the block is ignored, it holds no pixels
        const std::uint16_t id = in.u16be();
        const std::uint8_t nameLen = in.u8();
        in.skip(nameLen + ((nameLen + 1) % 2));  // the Pascal name is padded to an even size
        const std::uint32_t size = in.u32be();
        const auto body = in.bytes(size, "image resource data");
        if (size % 2 && in.remaining() > 0) in.skip(1);
        if (id == kIccProfile) res.meta.icc.assign(body.begin(), body.end());
        if (id == kXmp) res.meta.xmp.assign(body.begin(), body.end());
        if (id == kIptc) res.meta.iptc.assign(body.begin(), body.end());
        if (id == kExif) res.meta.exif.assign(body.begin(), body.end());
        if (id == kExif3) res.exif3.assign(body.begin(), body.end());
        if (id == kResolutionInfo && size >= 16) {
            ByteReader r(body, kFormat);
            const std::uint32_t h = r.u32be();
            r.skip(4);  // display units
            const std::uint32_t v = r.u32be();
            res.xDpi = resolutionDpi(h);
            res.yDpi = resolutionDpi(v);
        }
    }
    if (res.meta.exif.empty()) res.meta.exif = std::move(res.exif3);
    // Some writers keep the APP1 prefix in front of the TIFF structure.
    if (res.meta.exif.size() >= 6 && std::memcmp(res.meta.exif.data(), "Exif\0\0", 6) == 0)
        res.meta.exif.erase(res.meta.exif.begin(), res.meta.exif.begin() + 6);
    return res;
}

// One channel plane converted to 8 bits per sample (1-bit planes stay packed).
using Plane = std::vector<std::uint8_t>;

std::uint8_t from16(std::uint16_t v) { return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u); }

std::uint8_t fromFloat(std::uint32_t bitsValue) {
    float f;
    std::memcpy(&f, &bitsValue, sizeof f);
    if (!(f > 0.0f)) return 0;  // also NaN
    if (f >= 1.0f) return 255;
    return static_cast<std::uint8_t>(std::lround(f * 255.0f));
}

// A stored row (rowBytes big-endian bytes) as 8-bit samples at `dst` (1-bit rows copied packed).
void storeRow(const std::uint8_t* row, const Header& h, std::uint8_t* dst) {
    const std::size_t w = static_cast<std::size_t>(h.width);
    switch (h.depth) {
    case 1: std::memcpy(dst, row, packedBytes(w, 1)); break;
    case 8: std::memcpy(dst, row, w); break;
    case 16:
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = from16(static_cast<std::uint16_t>((row[2 * x] << 8) | row[2 * x + 1]));
        break;
    case 32:
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = fromFloat((std::uint32_t{row[4 * x]} << 24) | (std::uint32_t{row[4 * x + 1]} << 16) |
                               (std::uint32_t{row[4 * x + 2]} << 8) | row[4 * x + 3]);
        break;
    }
}

std::vector<Plane> readPlanes(ByteReader& in, const Header& h, int wanted) {
    const std::uint16_t compression = in.u16be();
    const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(h.width), h.depth);
    const std::size_t planeRowBytes = h.depth == 1 ? rowBytes : static_cast<std::size_t>(h.width);
    const std::size_t rows = static_cast<std::size_t>(h.height);
    std::vector<Plane> planes;
    std::vector<std::uint8_t> row(rowBytes);
    if (compression == 0) {
        in.require(rowBytes * rows * static_cast<std::size_t>(wanted), "raw image data");
        for (int c = 0; c < wanted; ++c) {
            Plane p(planeRowBytes * rows);
            for (std::size_t y = 0; y < rows; ++y) storeRow(in.bytes(rowBytes).data(), h, &p[y * planeRowBytes]);
            planes.push_back(std::move(p));
        }
    } else if (compression == 1) {
        const std::size_t countBytes = h.version == 2 ? 4 : 2;
        const std::size_t total = rows * static_cast<std::size_t>(h.channels);
        in.require(total * countBytes, "RLE row byte counts");
        std::vector<std::uint32_t> counts(total);
        for (auto& n : counts) n = countBytes == 4 ? in.u32be() : in.u16be();
        // Check the counts of the channels used against the data before any
        // plane is allocated: a row can't be shorter than its PackBits minimum.
        const std::uint64_t minRow = 2 * ((rowBytes + 127) / 128);
        std::uint64_t needed = 0;
        for (std::size_t i = 0; i < rows * static_cast<std::size_t>(wanted); ++i) {
            if (counts[i] < minRow) fail(kFormat, "RLE row of " + std::to_string(counts[i]) + " bytes is too short");
            needed += counts[i];
        }
        in.require(needed, "RLE image data");
        for (int c = 0; c < wanted; ++c) {
            Plane p(planeRowBytes * rows);
            for (std::size_t y = 0; y < rows; ++y) {
                const auto packed = in.bytes(counts[static_cast<std::size_t>(c) * rows + y], "RLE row");
                packBitsDecodeClipped(packed, row.data(), rowBytes, kFormat);
                storeRow(row.data(), h, &p[y * planeRowBytes]);
            }
            planes.push_back(std::move(p));
        }
    } else if (compression == 2 || compression == 3) {
        fail(kFormat, "ZIP-compressed image data is not supported");
    } else {
        fail(kFormat, "unknown compression " + std::to_string(compression));
    }
    return planes;
}

Image decode(std::span<const std::uint8_t> data) {
    ByteReader in(data, kFormat);
    const Header h = readHeader(in);
    const int wanted = neededChannels(h);
    if (wanted > h.channels)
        fail(kFormat, modeName(h.mode) + " mode needs " + std::to_string(wanted) + " channels, the file has " +
                          std::to_string(h.channels));
    checkDimensions(kFormat, h.width, h.height);

    const std::uint32_t colourBytes = in.u32be();
    const auto colourData = in.bytes(colourBytes, "colour mode data");
    const std::uint32_t resourceBytes = in.u32be();
    Resources res = readResources(in.bytes(resourceBytes, "image resources"));
    const std::uint64_t layerBytes = h.version == 2 ? (std::uint64_t{in.u32be()} << 32) | in.u32be() : in.u32be();
    in.skip(layerBytes);

    std::vector<Plane> planes = readPlanes(in, h, wanted);
    const int w = h.width, ht = h.height;
    const std::size_t W = static_cast<std::size_t>(w);
    Image out;
    switch (h.mode) {
    case kBitmap: {
        // Bitmap mode: bit 1 is black.
        out = Image(w, ht, PixelFormat::Indexed, 1);
        out.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
        const std::size_t rb = packedBytes(W, 1);
        for (int y = 0; y < ht; ++y) unpackBits(&planes[0][rb * static_cast<std::size_t>(y)], W, 1, out.row(y));
        break;
    }
    case kIndexed: {
        if (colourBytes < 768) fail(kFormat, "indexed image without its 768-byte colour table");
        out = Image(w, ht, PixelFormat::Indexed, 8);
        out.palette().resize(256);
        for (std::size_t i = 0; i < 256; ++i)
            out.palette()[i] = Rgb{colourData[i], colourData[256 + i], colourData[512 + i]};
        for (int y = 0; y < ht; ++y) std::memcpy(out.row(y), &planes[0][W * static_cast<std::size_t>(y)], W);
        break;
    }
    case kGrayscale:
    case kMultichannel:
    case kDuotone:
        out = Image(w, ht, PixelFormat::Gray8);
        for (int y = 0; y < ht; ++y) std::memcpy(out.row(y), &planes[0][W * static_cast<std::size_t>(y)], W);
        break;
    case kRgb: {
        const bool alpha = wanted == 4;
        out = Image(w, ht, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24);
        const int n = alpha ? 4 : 3;
        for (int y = 0; y < ht; ++y) {
            std::uint8_t* d = out.row(y);
            const std::size_t base = W * static_cast<std::size_t>(y);
            for (std::size_t x = 0; x < W; ++x)
                for (int c = 0; c < n; ++c)
                    d[x * static_cast<std::size_t>(n) + static_cast<std::size_t>(c)] =
                        planes[static_cast<std::size_t>(c)][base + x];
        }
        break;
    }
    case kCmyk: {
        // Stored inverted (255 is no ink); converted through the document's
        // profile, else the standard CMYK one.
        const CmykToRgb toRgb(res.meta.icc, true);
        out = Image(w, ht, PixelFormat::Rgb24);
        std::vector<std::uint8_t> cmyk(4 * W);
        for (int y = 0; y < ht; ++y) {
            const std::size_t base = W * static_cast<std::size_t>(y);
            for (std::size_t x = 0; x < W; ++x)
                for (std::size_t c = 0; c < 4; ++c) cmyk[4 * x + c] = planes[c][base + x];
            toRgb.convert(cmyk.data(), out.row(y), static_cast<unsigned>(W));
        }
        break;
    }
    case kLab: {
        const LabToRgb toRgb(false);
        out = Image(w, ht, PixelFormat::Rgb24);
        for (int y = 0; y < ht; ++y) {
            std::uint8_t* d = out.row(y);
            const std::size_t base = W * static_cast<std::size_t>(y);
            for (std::size_t x = 0; x < W; ++x)
                for (std::size_t c = 0; c < 3; ++c) d[3 * x + c] = planes[c][base + x];
            toRgb.convert(d, static_cast<unsigned>(W));
        }
        break;
    }
    }
    out.xDpi = res.xDpi;
    out.yDpi = res.yDpi;
    // A CMYK or Lab profile no longer describes the converted pixels.
    const std::string space = iccColourSpace(res.meta.icc);
    if (space == "CMYK" || space == "Lab ") res.meta.icc.clear();
    // The merged image is stored as Photoshop shows it, so an Exif
    // orientation is not applied again (other readers agree).
    out.metadata = shareMetadata(std::move(res.meta));
    return out;
}

class PsdReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".psd", ".psb"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 6 || std::memcmp(head.data(), "8BPS", 4) != 0) return Sniff::No;
        const int version = (head[4] << 8) | head[5];
        return version == 1 || version == 2 ? Sniff::Strong : Sniff::No;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        headerOf(data, kFormat, readHeader);
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override { return decode(data); }
};

void writeFixed(ByteWriter& out, double v) {
    out.u32be(static_cast<std::uint32_t>(std::lround(std::clamp(v, 1.0, 32767.0) * 65536.0)));
}

class PsdWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{76, {1, 8, 24}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        if (page.width() > 30000 || page.height() > 30000)
            fail(kFormat, "page of " + std::to_string(page.width()) + " x " + std::to_string(page.height()) +
                              " pixels exceeds the 30000 x 30000 limit of Photoshop documents");
        const std::size_t W = static_cast<std::size_t>(page.width());
        const std::size_t H = static_cast<std::size_t>(page.height());

        int mode = kRgb, channels = 3, depth = 8;
        std::vector<std::uint8_t> colourTable;
        std::vector<std::vector<std::uint8_t>> planeRows;  // channel-major rows, stored form
        if (opt.bits == 1) {
            mode = kBitmap;
            channels = 1;
            depth = 1;
            const std::size_t rowBytes = packedBytes(W, 1);
            const Image ink = toInkBits(page);
            for (std::size_t y = 0; y < H; ++y) {
                std::vector<std::uint8_t> r(rowBytes);
                packBits(ink.row(static_cast<int>(y)), W, 1, r.data());
                planeRows.push_back(std::move(r));
            }
        } else if (opt.bits == 8) {
            const Image idx = toIndexed(page, 8);
            const auto& pal = idx.palette();
            channels = 1;
            if (isGrayPalette(pal)) {
                // An all-gray palette is written as a grayscale document.
                mode = kGrayscale;
                for (std::size_t y = 0; y < H; ++y) {
                    const std::uint8_t* s = idx.row(static_cast<int>(y));
                    std::vector<std::uint8_t> r(W);
                    for (std::size_t x = 0; x < W; ++x) r[x] = s[x] < pal.size() ? pal[s[x]].r : 0;
                    planeRows.push_back(std::move(r));
                }
            } else {
                mode = kIndexed;
                colourTable.assign(768, 0);
                for (std::size_t i = 0; i < pal.size() && i < 256; ++i) {
                    colourTable[i] = pal[i].r;
                    colourTable[256 + i] = pal[i].g;
                    colourTable[512 + i] = pal[i].b;
                }
                for (std::size_t y = 0; y < H; ++y) {
                    const std::uint8_t* s = idx.row(static_cast<int>(y));
                    planeRows.emplace_back(s, s + W);
                }
            }
        } else if (opt.bits == 24) {
            Image copy;
            const Image& rgb = inFormat(page, PixelFormat::Rgb24, copy);
            for (std::size_t c = 0; c < 3; ++c)
                for (std::size_t y = 0; y < H; ++y) {
                    const std::uint8_t* s = rgb.row(static_cast<int>(y));
                    std::vector<std::uint8_t> r(W);
                    for (std::size_t x = 0; x < W; ++x) r[x] = s[3 * x + c];
                    planeRows.push_back(std::move(r));
                }
        } else {
            fail(kFormat, "writer accepts 1, 8 or 24 bits, got " + std::to_string(opt.bits));
        }

        ByteWriter out;
        out.bytes("8BPS", 4);
        out.u16be(1);
        out.zeros(6);
        out.u16be(static_cast<std::uint16_t>(channels));
        out.u32be(static_cast<std::uint32_t>(H));
        out.u32be(static_cast<std::uint32_t>(W));
        out.u16be(static_cast<std::uint16_t>(depth));
        out.u16be(static_cast<std::uint16_t>(mode));
        out.u32be(static_cast<std::uint32_t>(colourTable.size()));
        out.bytes(colourTable);

        // Image resources: the resolution (72 dpi when the page states none),
        // then the metadata the page carries. A profile is written only where
        // it describes the document's colours; Exif and XMP say Orientation 1
        // and the written size.
        std::vector<std::uint8_t> more;
        if (page.metadata) {
            const Metadata& m = *page.metadata;
            auto add = [&more](std::uint16_t id, std::span<const std::uint8_t> data) {
                if (data.empty()) return;
                const auto block = photoshopResourceBlock(id, data);
                more.insert(more.end(), block.begin(), block.end());
            };
            if (mode != kBitmap) add(kIccProfile, profileFor(page, mode == kGrayscale));
            add(kIptc, m.iptc);
            if (!m.exif.empty()) add(kExif, exifForOutput(m.exif, page.width(), page.height()));
            if (!m.xmp.empty()) add(kXmp, xmpForOutput(m.xmp));
        }
        const double xDpi = page.xDpi > 0 ? page.xDpi : 72.0;
        const double yDpi = page.yDpi > 0 ? page.yDpi : 72.0;
        out.u32be(static_cast<std::uint32_t>(28 + more.size()));
        out.bytes("8BIM", 4);
        out.u16be(kResolutionInfo);
        out.u16be(0);  // empty name, padded
        out.u32be(16);
        writeFixed(out, xDpi);
        out.u16be(1);  // pixels per inch
        out.u16be(1);  // width shown in inches
        writeFixed(out, yDpi);
        out.u16be(1);
        out.u16be(1);
        out.bytes(more);

        out.u32be(0);  // no layers

        // Merged image data, PackBits per row, the byte counts of all rows first.
        out.u16be(1);
        std::vector<std::vector<std::uint8_t>> packed(planeRows.size());
        for (std::size_t i = 0; i < planeRows.size(); ++i) {
            packBitsEncode(planeRows[i], packed[i]);
            out.u16be(static_cast<std::uint16_t>(packed[i].size()));
        }
        for (const auto& p : packed) out.bytes(p);
        return out.take();
    }
};

}  // namespace

void registerPsdCodec(Registry& registry) { registry.addCodec<PsdReader, PsdWriter>(); }

}  // namespace rastel::imaging
