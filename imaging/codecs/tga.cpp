// Truevision TARGA reader and writer.
//
// An 18-byte header (no signature) is followed by the image ID, the colour map
// and the pixels, stored raw or as run-length packets; values are little-endian.

#include <algorithm>
#include <cstring>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "TGA";
constexpr int kCode = 4;

struct Header {
    int idLength = 0;
    int mapType = 0;
    int imageType = 0;
    int mapFirst = 0;
    int mapLength = 0;
    int mapEntryBits = 0;
    int width = 0;
    int height = 0;
    int depth = 0;
    int descriptor = 0;
};

bool validMapEntry(int bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

// Header checks shared by sniff() and read(): returns an empty string when the
// header is consistent, otherwise the reason.
std::string headerProblem(const Header& h) {
    const int base = h.imageType & ~8;
    if (h.imageType != 1 && h.imageType != 2 && h.imageType != 3 && h.imageType != 9 && h.imageType != 10 &&
        h.imageType != 11)
        return h.imageType == 0 ? "file holds no image data" : "unsupported image type " + std::to_string(h.imageType);
    if (h.mapType > 1) return "unknown colour map type " + std::to_string(h.mapType);
    if (h.mapType == 1 && !validMapEntry(h.mapEntryBits))
        return "unsupported colour map entry size of " + std::to_string(h.mapEntryBits) + " bits";
    if (h.width <= 0 || h.height <= 0) return "image has no pixels";
    if (base == 1) {
        if (h.mapType != 1 || h.mapLength == 0) return "colour-mapped image without a colour map";
        if (h.depth != 8) return "colour-mapped images need 8-bit indices, got " + std::to_string(h.depth);
    } else if (base == 2) {
        if (h.depth != 15 && h.depth != 16 && h.depth != 24 && h.depth != 32)
            return "unsupported true-colour depth of " + std::to_string(h.depth) + " bits";
    } else if (h.depth != 8 && h.depth != 16) {
        return "unsupported grayscale depth of " + std::to_string(h.depth) + " bits";
    }
    return {};
}

Header parseHeader(std::span<const std::uint8_t> head) {
    ByteReader in(head, kFormat);
    Header h;
    h.idLength = in.u8();
    h.mapType = in.u8();
    h.imageType = in.u8();
    h.mapFirst = in.u16le();
    h.mapLength = in.u16le();
    h.mapEntryBits = in.u8();
    in.skip(4);  // origin
    h.width = in.u16le();
    h.height = in.u16le();
    h.depth = in.u8();
    h.descriptor = in.u8();
    return h;
}

// The header of `data` (at least 18 bytes), refused with the reason when its
// fields do not fit together.
Header consistentHeader(std::span<const std::uint8_t> data) {
    const Header h = parseHeader(data);
    const std::string problem = headerProblem(h);
    if (!problem.empty()) fail(kFormat, problem);
    return h;
}

Rgb fromRgb555(std::uint16_t v) {
    const auto expand = [](int c) { return static_cast<std::uint8_t>((c << 3) | (c >> 2)); };
    return {expand((v >> 10) & 31), expand((v >> 5) & 31), expand(v & 31)};
}

class TgaReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".tga", ".vda", ".icb", ".vst"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 18) return Sniff::No;
        const Header h = parseHeader(head);
        if ((h.descriptor & 0xC0) != 0) return Sniff::No;  // interleaving was never used
        // A header of a known image type whose fields do not fit together (a
        // colour-mapped image without a map) is still taken as TGA under its
        // extension, so that the refusal names the fault.
        const bool knownType =
            h.imageType <= 3 || (h.imageType >= 9 && h.imageType <= 11) || h.imageType == 32 || h.imageType == 33;
        if (!headerProblem(h).empty() && !(knownType && h.mapType <= 1)) return Sniff::No;
        return Sniff::Weak;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (data.size() < 18) fail(kFormat, "truncated file: header needs 18 bytes");
        consistentHeader(data);
    }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        ByteReader in(data, kFormat);
        in.require(18, "header");
        const Header h = consistentHeader(data);
        checkDimensions(kFormat, h.width, h.height);
        in.seek(18);
        in.skip(static_cast<std::uint64_t>(h.idLength));

        // Colour map: entry i describes index mapFirst + i.
        std::vector<Rgb> palette(256);
        if (h.mapType == 1) {
            const int entryBytes = (h.mapEntryBits + 7) / 8;
            for (int i = 0; i < h.mapLength; ++i) {
                Rgb c;
                if (entryBytes == 2) {
                    c = fromRgb555(in.u16le());
                } else {
                    const auto e = in.bytes(static_cast<std::uint64_t>(entryBytes), "colour map");
                    c = {e[2], e[1], e[0]};
                }
                const int index = h.mapFirst + i;
                if (index < 256) palette[static_cast<std::size_t>(index)] = c;
            }
        }

        const int pixelBytes = (h.depth + 7) / 8;
        const std::size_t count = static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height);
        std::vector<std::uint8_t> px;
        if (h.imageType < 9) {
            const auto raw = in.bytes(count * static_cast<std::size_t>(pixelBytes), "pixel data");
            px.assign(raw.begin(), raw.end());
        } else {
            // A run packet yields at most 128 pixels: refuse files far too short
            // for the picture they announce before allocating it.
            if (in.remaining() < count / 128)
                fail(kFormat, "truncated file: pixel data too short for the picture size");
            px.resize(count * static_cast<std::size_t>(pixelBytes));
            // Packets may run on from one row into the next; a packet running past
            // the last pixel is cut there.
            std::size_t pos = 0;
            const std::size_t pb = static_cast<std::size_t>(pixelBytes);
            while (pos < count) {
                const std::uint8_t packet = in.u8();
                const std::size_t n = std::min<std::size_t>((packet & 0x7F) + 1u, count - pos);
                if (packet & 0x80) {
                    const auto value = in.bytes(pb, "run packet");
                    for (std::size_t k = 0; k < n; ++k)
                        std::copy(value.begin(), value.end(), px.begin() + static_cast<std::ptrdiff_t>((pos + k) * pb));
                    pos += n;
                } else {
                    const auto raw = in.bytes(((packet & 0x7Fu) + 1u) * pb, "raw packet");
                    std::copy_n(raw.begin(), n * pb, px.begin() + static_cast<std::ptrdiff_t>(pos * pb));
                    pos += n;
                }
            }
        }

        const int base = h.imageType & ~8;
        const int alphaBits = h.descriptor & 0x0F;
        PixelFormat format = PixelFormat::Rgb24;
        bool useAlpha = false;
        if (base == 1) {
            format = PixelFormat::Indexed;
        } else if (base == 3) {
            format = h.depth == 8 ? PixelFormat::Gray8 : PixelFormat::Rgba32;
        } else if (h.depth == 32 || (h.depth == 16 && alphaBits == 1)) {
            // The fourth byte of 32-bit pixels is alpha whatever the attribute
            // bit count says (writers state 0, 4 or 8); the top bit of 16-bit
            // pixels only when one attribute bit is declared. Either counts
            // only when some pixel has a non-zero value: many writers leave
            // them all zero, which would make the picture invisible.
            for (std::size_t i = 0; i < count && !useAlpha; ++i)
                useAlpha = h.depth == 32 ? px[i * 4 + 3] != 0 : (px[i * 2 + 1] & 0x80) != 0;
            if (useAlpha) format = PixelFormat::Rgba32;
        }

        Image img(h.width, h.height, format, 8);
        if (format == PixelFormat::Indexed) img.palette() = palette;
        const bool topDown = (h.descriptor & 0x20) != 0;
        const bool rightToLeft = (h.descriptor & 0x10) != 0;
        const int bpp = bytesPerPixel(format);
        for (int fy = 0; fy < h.height; ++fy) {
            std::uint8_t* dst = img.row(topDown ? fy : h.height - 1 - fy);
            for (int fx = 0; fx < h.width; ++fx) {
                const std::uint8_t* s = px.data() + (static_cast<std::size_t>(fy) * static_cast<std::size_t>(h.width) +
                                                     static_cast<std::size_t>(fx)) *
                                                        static_cast<std::size_t>(pixelBytes);
                std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(rightToLeft ? h.width - 1 - fx : fx) * bpp;
                if (base == 1) {
                    d[0] = s[0];
                } else if (base == 3) {
                    d[0] = s[0];
                    if (h.depth == 16) {
                        d[1] = d[2] = s[0];
                        d[3] = s[1];
                    }
                } else if (pixelBytes == 2) {
                    const std::uint16_t v = static_cast<std::uint16_t>(s[0] | (s[1] << 8));
                    const Rgb c = fromRgb555(v);
                    d[0] = c.r;
                    d[1] = c.g;
                    d[2] = c.b;
                    if (useAlpha) d[3] = (v & 0x8000) ? 255 : 0;
                } else {
                    d[0] = s[2];
                    d[1] = s[1];
                    d[2] = s[0];
                    if (useAlpha) d[3] = s[3];
                }
            }
        }
        return img;
    }
};

class TgaWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {8, 16, 24, 32}}}; }

    // Uncompressed, bottom-left origin (the layout every TGA reader handles),
    // followed by a TGA 2.0 footer without extension or developer areas.
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const int bits = opt.bits;
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "picture too large for TGA (65535 pixels at most)");
        Image copy;
        const Image& img = atBitsPerPixel(page, bits, copy);
        const bool gray = bits == 8 && isGrayPalette(img.palette());
        const bool mapped = bits == 8 && !gray;

        ByteWriter out;
        out.u8(0);                          // no image ID
        out.u8(mapped ? 1 : 0);             // colour map type
        out.u8(mapped ? 1 : gray ? 3 : 2);  // image type
        out.u16le(0);                       // first map entry
        out.u16le(static_cast<std::uint16_t>(mapped ? img.palette().size() : 0));
        out.u8(mapped ? 24 : 0);
        out.u16le(0);
        out.u16le(0);
        out.u16le(static_cast<std::uint16_t>(img.width()));
        out.u16le(static_cast<std::uint16_t>(img.height()));
        out.u8(static_cast<std::uint8_t>(bits == 16 ? 16 : bits));
        out.u8(bits == 32 ? 8 : 0);  // attribute bits, bottom-left origin
        if (mapped)
            for (const Rgb& c : img.palette()) {
                out.u8(c.b);
                out.u8(c.g);
                out.u8(c.r);
            }
        for (int y = img.height() - 1; y >= 0; --y) {
            const std::uint8_t* s = img.row(y);
            for (int x = 0; x < img.width(); ++x) {
                switch (bits) {
                case 8: out.u8(gray ? img.palette()[s[x]].r : s[x]); break;
                case 16:
                    // Rgb555 is already little-endian 0RRRRRGGGGGBBBBB, as TGA wants.
                    out.u8(s[2 * x]);
                    out.u8(static_cast<std::uint8_t>(s[2 * x + 1] & 0x7F));
                    break;
                case 24:
                    out.u8(s[3 * x + 2]);
                    out.u8(s[3 * x + 1]);
                    out.u8(s[3 * x]);
                    break;
                default:
                    out.u8(s[4 * x + 2]);
                    out.u8(s[4 * x + 1]);
                    out.u8(s[4 * x]);
                    out.u8(s[4 * x + 3]);
                }
            }
        }
        out.u32le(0);  // extension area offset
        out.u32le(0);  // developer directory offset
        out.bytes("TRUEVISION-XFILE.", 18);
        return out.take();
    }
};

}  // namespace

void registerTgaCodec(Registry& registry) { registry.addCodec<TgaReader, TgaWriter>(); }

}  // namespace rastel::imaging
