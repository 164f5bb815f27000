// Sun Raster (rasterfile) reader and writer.
//
// A 32-byte big-endian header (magic 0x59A66A95, width, height, depth, length,
// type, map type, map length) is followed by the colour map (all reds, then
// greens, then blues) and the rows, each padded to a multiple of 16 bits.

#include <algorithm>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "SUN";
constexpr int kCode = 55;
constexpr std::uint32_t kMagic = 0x59A66A95;

enum RasType : std::uint32_t { RtOld = 0, RtStandard = 1, RtByteEncoded = 2, RtFormatRgb = 3 };
enum MapType : std::uint32_t { RmtNone = 0, RmtEqualRgb = 1, RmtRaw = 2 };

struct Header {
    std::uint32_t width = 0, height = 0, depth = 0, length = 0, type = 0, mapType = 0, mapLength = 0;
};

Header parseHeader(ByteReader& in) {
    if (in.u32be() != kMagic) fail(kFormat, "not a Sun raster file (bad magic number)");
    Header h;
    h.width = in.u32be();
    h.height = in.u32be();
    h.depth = in.u32be();
    h.length = in.u32be();
    h.type = in.u32be();
    h.mapType = in.u32be();
    h.mapLength = in.u32be();
    if (h.depth != 1 && h.depth != 8 && h.depth != 24 && h.depth != 32)
        fail(kFormat, "unsupported depth of " + std::to_string(h.depth) + " bits");
    if (h.type > RtFormatRgb) fail(kFormat, "unsupported raster type " + std::to_string(h.type));
    if (h.mapType > RmtRaw) fail(kFormat, "unknown colour map type " + std::to_string(h.mapType));
    if (h.mapType == RmtEqualRgb && (h.mapLength % 3 != 0 || h.mapLength > 768))
        fail(kFormat, "bad colour map length " + std::to_string(h.mapLength));
    if (h.mapType == RmtNone && h.mapLength != 0) fail(kFormat, "colour map length given without a colour map");
    checkDimensions(kFormat, h.width, h.height);
    return h;
}

// Undoes the 0x80 escape coding: 0x80 0x00 is one 0x80 byte, 0x80 n v is n+1
// copies of v, anything else stands for itself. Output stops at `total` bytes.
std::vector<std::uint8_t> decodeRle(ByteReader& in, std::size_t total) {
    // Three bytes yield at most 256: refuse files far too short for the
    // picture they announce before allocating it.
    if (in.remaining() < total / 86) fail(kFormat, "truncated file: pixel data too short for the picture size");
    std::vector<std::uint8_t> out(total);
    std::size_t pos = 0;
    while (pos < total) {
        const std::uint8_t b = in.u8();
        if (b != 0x80) {
            out[pos++] = b;
            continue;
        }
        const std::uint8_t n = in.u8();
        if (n == 0) {
            out[pos++] = 0x80;
            continue;
        }
        const std::uint8_t v = in.u8();
        const std::size_t count = std::min<std::size_t>(n + 1u, total - pos);
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(pos), count, v);
        pos += count;
    }
    return out;
}

std::size_t rowBytes(std::size_t width, std::uint32_t depth) {
    const std::size_t bytes = packedBytes(width, static_cast<int>(depth));
    return bytes + (bytes & 1);
}

class SunReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override {
        return {".ras", ".sun", ".rs", ".im1", ".im8", ".im24", ".im32"};
    }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 4) return Sniff::No;
        const std::uint32_t m =
            (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) | (std::uint32_t{head[2]} << 8) | head[3];
        return m == kMagic ? Sniff::Strong : Sniff::No;
    }

protected:
    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        ByteReader in(data, kFormat);
        const Header h = parseHeader(in);
        const int width = static_cast<int>(h.width);
        const int height = static_cast<int>(h.height);

        std::vector<Rgb> palette;
        if (h.mapType == RmtEqualRgb) {
            const std::size_t n = h.mapLength / 3;
            const auto map = in.bytes(h.mapLength, "colour map");
            palette.resize(n);
            for (std::size_t i = 0; i < n; ++i) palette[i] = {map[i], map[n + i], map[2 * n + i]};
        } else {
            in.skip(h.mapLength);  // raw maps carry no colour meaning we can use
        }

        const std::size_t stride = rowBytes(h.width, h.depth);
        const std::size_t total = stride * h.height;
        std::vector<std::uint8_t> raw;
        if (h.type == RtByteEncoded) {
            raw = decodeRle(in, total);
        } else {
            const auto bytes = in.bytes(total, "pixel data");
            raw.assign(bytes.begin(), bytes.end());
        }

        Image img;
        if (h.depth == 1) {
            img = Image(width, height, PixelFormat::Indexed, 1);
            for (int y = 0; y < height; ++y)
                unpackBits(raw.data() + stride * static_cast<std::size_t>(y), h.width, 1, img.row(y));
            // Without a two-entry map, a set bit is black.
            if (palette.size() == 2)
                img.palette() = palette;
            else
                img.palette() = {{255, 255, 255}, {0, 0, 0}};
        } else if (h.depth == 8) {
            if (palette.empty()) {
                img = Image(width, height, PixelFormat::Gray8);
            } else {
                img = Image(width, height, PixelFormat::Indexed, 8);
                palette.resize(256);  // indices past the map show black
                img.palette() = palette;
            }
            for (int y = 0; y < height; ++y)
                std::copy_n(raw.data() + stride * static_cast<std::size_t>(y), width, img.row(y));
        } else {
            // 24 bits: B G R (R G B for the RGB type); 32 bits: X B G R (X R G B).
            // The X byte is alpha unless it is the same (0 or 255) everywhere.
            const bool rgbOrder = h.type == RtFormatRgb;
            const std::size_t pb = h.depth / 8;
            const std::size_t skip = h.depth == 32 ? 1 : 0;
            bool alpha = false;
            if (h.depth == 32) {
                bool allZero = true, allFull = true;
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x) {
                        const std::uint8_t a =
                            raw[stride * static_cast<std::size_t>(y) + pb * static_cast<std::size_t>(x)];
                        allZero = allZero && a == 0;
                        allFull = allFull && a == 255;
                    }
                alpha = !allZero && !allFull;
            }
            img = Image(width, height, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24);
            const int outBytes = alpha ? 4 : 3;
            for (int y = 0; y < height; ++y) {
                const std::uint8_t* s = raw.data() + stride * static_cast<std::size_t>(y);
                std::uint8_t* d = img.row(y);
                for (int x = 0; x < width; ++x, s += pb, d += outBytes) {
                    const std::uint8_t* c = s + skip;
                    d[0] = rgbOrder ? c[0] : c[2];
                    d[1] = c[1];
                    d[2] = rgbOrder ? c[2] : c[0];
                    if (alpha) d[3] = s[0];
                }
            }
        }
        return img;
    }

    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        headerOf(data, kFormat, parseHeader);
    }
};

class SunWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {1, 4, 8, 24, 32}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const int bits = opt.bits;
        Image img = toBitsPerPixel(page, bits);
        // The file has no 4-bit depth: 4-bit pages become 8-bit indices with a
        // 16-entry colour map.
        const std::uint32_t depth = bits == 4 ? 8 : static_cast<std::uint32_t>(bits);
        const std::size_t width = static_cast<std::size_t>(img.width());
        const std::size_t stride = rowBytes(width, depth);

        std::vector<Rgb> map;
        if (bits == 4 || bits == 8) map = img.palette();

        ByteWriter out;
        out.u32be(kMagic);
        out.u32be(static_cast<std::uint32_t>(img.width()));
        out.u32be(static_cast<std::uint32_t>(img.height()));
        out.u32be(depth);
        out.u32be(static_cast<std::uint32_t>(stride * static_cast<std::size_t>(img.height())));
        out.u32be(RtStandard);
        out.u32be(map.empty() ? RmtNone : RmtEqualRgb);
        out.u32be(static_cast<std::uint32_t>(map.size() * 3));
        for (const Rgb& c : map) out.u8(c.r);
        for (const Rgb& c : map) out.u8(c.g);
        for (const Rgb& c : map) out.u8(c.b);

        std::vector<std::uint8_t> row(stride);
        std::uint8_t dark = 0;
        if (bits == 1) {
            // No colour map: a set bit is black, so the darker entry becomes 1.
            const auto luma = [&](std::size_t i) {
                const Rgb c = i < img.palette().size() ? img.palette()[i] : Rgb{};
                return 299 * c.r + 587 * c.g + 114 * c.b;
            };
            dark = luma(0) <= luma(1) ? 0 : 1;
        }
        for (int y = 0; y < img.height(); ++y) {
            std::fill(row.begin(), row.end(), 0);
            const std::uint8_t* s = img.row(y);
            if (bits == 1) {
                std::vector<std::uint8_t> v(width);
                for (std::size_t x = 0; x < width; ++x) v[x] = s[x] == dark ? 1 : 0;
                packBits(v.data(), width, 1, row.data());
            } else if (depth == 8) {
                std::copy_n(s, width, row.begin());
            } else if (depth == 24) {
                for (std::size_t x = 0; x < width; ++x) {
                    row[3 * x] = s[3 * x + 2];
                    row[3 * x + 1] = s[3 * x + 1];
                    row[3 * x + 2] = s[3 * x];
                }
            } else {
                for (std::size_t x = 0; x < width; ++x) {
                    row[4 * x] = s[4 * x + 3];
                    row[4 * x + 1] = s[4 * x + 2];
                    row[4 * x + 2] = s[4 * x + 1];
                    row[4 * x + 3] = s[4 * x];
                }
            }
            out.bytes(row);
        }
        return out.take();
    }
};

}  // namespace

void registerSunRasterCodec(Registry& registry) { registry.addCodec<SunReader, SunWriter>(); }

}  // namespace rastel::imaging
