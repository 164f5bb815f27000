// GEM Bit Image (IMG / XIMG) reader and writer.
//
// Header of big-endian words: version, header length in words, planes,
// pattern length, pixel width and height in microns, width, height; an XIMG
// header goes on with "XIMG", a colour model word (0 = RGB) and 2^planes
// palette entries of three words each in VDI units (0..1000).
// Each scan line holds the plane rows one after the other, coded as solid
// runs, pattern runs, literal bit strings and a vertical replication prefix.

#include <algorithm>
#include <cmath>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "GEM";
constexpr int kCode = 52;
constexpr int kMaxPlanes = 8;
constexpr double kDefaultDpi = 72;

// The VDI default colours (pen numbers 0..15): 0 is white and 1 black.
const Rgb kVdiPalette[16] = {{255, 255, 255}, {0, 0, 0},       {255, 0, 0},   {0, 255, 0},
                             {0, 0, 255},     {0, 255, 255},   {255, 255, 0}, {255, 0, 255},
                             {192, 192, 192}, {128, 128, 128}, {128, 0, 0},   {0, 128, 0},
                             {0, 0, 128},     {0, 128, 128},   {128, 128, 0}, {128, 0, 128}};

struct Header {
    int version = 0;
    int headerWords = 0;
    int planes = 0;
    int patternLength = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    int width = 0;
    int height = 0;
    bool ximg = false;
};

std::uint16_t word(std::span<const std::uint8_t> d, std::size_t i) {
    return static_cast<std::uint16_t>((d[2 * i] << 8) | d[2 * i + 1]);
}

bool hasXimgTag(std::span<const std::uint8_t> d, int headerWords) {
    return headerWords >= 11 && d.size() >= 22 && d[16] == 'X' && d[17] == 'I' && d[18] == 'M' && d[19] == 'G';
}

Header parseHeader(ByteReader& in) {
    in.require(16, "header");
    const auto d = in.data();
    Header h;
    h.version = word(d, 0);
    h.headerWords = word(d, 1);
    h.planes = word(d, 2);
    h.patternLength = word(d, 3);
    h.pixelWidth = word(d, 4);
    h.pixelHeight = word(d, 5);
    h.width = word(d, 6);
    h.height = word(d, 7);
    if (h.headerWords < 8) fail(kFormat, "header length of " + std::to_string(h.headerWords) + " words is too short");
    if (h.planes < 1 || h.planes > kMaxPlanes)
        fail(kFormat, "unsupported number of planes: " + std::to_string(h.planes));
    if (h.patternLength > 8)
        fail(kFormat, "pattern length of " + std::to_string(h.patternLength) + " bytes is too long");
    checkDimensions(kFormat, h.width, h.height);
    in.require(2u * static_cast<std::size_t>(h.headerWords), "header");
    h.ximg = hasXimgTag(d, h.headerWords);
    in.seek(2u * static_cast<std::size_t>(h.headerWords));
    return h;
}

std::vector<Rgb> defaultPalette(int planes) {
    if (planes == 1) return {{255, 255, 255}, {0, 0, 0}};
    const std::size_t n = std::size_t{1} << planes;
    std::vector<Rgb> pal(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i < 16) {
            pal[i] = kVdiPalette[i];
        } else {
            const auto v = static_cast<std::uint8_t>(i);
            pal[i] = {v, v, v};
        }
    }
    return pal;
}

std::uint8_t fromVdi(std::uint16_t v) { return static_cast<std::uint8_t>((std::min<int>(v, 1000) * 255 + 500) / 1000); }

// Decodes one scan line (all planes, `lineBytes` bytes) into `line`.
void decodeLine(ByteReader& in, const Header& h, std::uint8_t* line, std::size_t lineBytes) {
    std::size_t pos = 0;
    while (pos < lineBytes) {
        const std::uint8_t b = in.u8();
        if (b == 0) {
            const std::uint8_t n = in.u8();
            if (n == 0) fail(kFormat, "vertical replication inside a scan line");
            if (h.patternLength == 0) fail(kFormat, "pattern run in a file with pattern length 0");
            const auto pattern = in.bytes(static_cast<std::uint64_t>(h.patternLength), "pattern");
            const std::size_t bytes = std::size_t{n} * pattern.size();
            if (bytes > lineBytes - pos) fail(kFormat, "pattern run crosses the end of a scan line");
            for (std::size_t k = 0; k < n; ++k, pos += pattern.size())
                std::copy(pattern.begin(), pattern.end(), line + pos);
        } else if (b == 0x80) {
            const std::uint8_t n = in.u8();
            if (n > lineBytes - pos) fail(kFormat, "bit string crosses the end of a scan line");
            const auto lit = in.bytes(n, "bit string");
            std::copy(lit.begin(), lit.end(), line + pos);
            pos += n;
        } else {
            const std::size_t n = b & 0x7F;
            if (n > lineBytes - pos) fail(kFormat, "solid run crosses the end of a scan line");
            std::fill_n(line + pos, n, (b & 0x80) ? 0xFF : 0x00);
            pos += n;
        }
    }
}

class GemReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".img", ".ximg"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (head.size() < 16) return Sniff::No;
        const int headerWords = word(head, 1);
        const int planes = word(head, 2);
        const int pattern = word(head, 3);
        if (word(head, 0) > 3 || headerWords < 8 || headerWords > 8 + 3 + 3 * 256) return Sniff::No;
        if (planes < 1 || planes > kMaxPlanes || pattern > 8) return Sniff::No;
        if (word(head, 6) == 0 || word(head, 7) == 0) return Sniff::No;
        return hasXimgTag(head, headerWords) ? Sniff::Strong : Sniff::Weak;
    }

protected:
    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        ByteReader in(data, kFormat);
        const Header h = parseHeader(in);
        std::vector<Rgb> palette = defaultPalette(h.planes);
        if (h.ximg) {
            const int model = word(data, 10);
            if (model != 0) fail(kFormat, "unsupported XIMG colour model " + std::to_string(model));
            const std::size_t entries =
                std::min<std::size_t>(palette.size(), (static_cast<std::size_t>(h.headerWords) - 11) / 3);
            for (std::size_t i = 0; i < entries; ++i)
                palette[i] = {fromVdi(word(data, 11 + 3 * i)), fromVdi(word(data, 12 + 3 * i)),
                              fromVdi(word(data, 13 + 3 * i))};
        }

        const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(h.width), 1);
        const std::size_t lineBytes = rowBytes * static_cast<std::size_t>(h.planes);
        Image img(h.width, h.height, PixelFormat::Indexed, h.planes);
        img.palette() = palette;
        if (h.pixelWidth > 0 && h.pixelHeight > 0) {
            img.xDpi = std::round(25400.0 / h.pixelWidth);
            img.yDpi = std::round(25400.0 / h.pixelHeight);
        }

        std::vector<std::uint8_t> line(lineBytes), bitsRow(static_cast<std::size_t>(h.width));
        int y = 0;
        while (y < h.height) {
            int repeat = 1;
            // 00 00 FF n: the next scan line is used n times.
            if (in.remaining() >= 4 && in.data()[in.pos()] == 0 && in.data()[in.pos() + 1] == 0) {
                in.skip(2);
                if (in.u8() != 0xFF) fail(kFormat, "bad vertical replication record");
                repeat = std::max(1, static_cast<int>(in.u8()));
            }
            decodeLine(in, h, line.data(), lineBytes);
            for (int r = 0; r < repeat && y < h.height; ++r, ++y) {
                std::uint8_t* dst = img.row(y);
                std::fill_n(dst, h.width, 0);
                for (int p = 0; p < h.planes; ++p) {
                    unpackBits(line.data() + rowBytes * static_cast<std::size_t>(p), static_cast<std::size_t>(h.width),
                               1, bitsRow.data());
                    for (int x = 0; x < h.width; ++x)
                        dst[x] = static_cast<std::uint8_t>(dst[x] | (bitsRow[static_cast<std::size_t>(x)] << p));
                }
            }
        }
        return img;
    }

    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        headerOf(data, kFormat, parseHeader);
    }
};

// Codes one plane row with pattern length 1: solid runs for 0x00/0xFF, pattern
// runs for other repeated bytes, bit strings for the rest.
void encodeRow(const std::uint8_t* row, std::size_t n, ByteWriter& out) {
    std::size_t i = 0;
    const auto runAt = [&](std::size_t at, std::size_t limit) {
        std::size_t run = 1;
        while (at + run < n && run < limit && row[at + run] == row[at]) ++run;
        return run;
    };
    while (i < n) {
        const std::uint8_t b = row[i];
        if (b == 0x00 || b == 0xFF) {
            const std::size_t run = runAt(i, 127);
            out.u8(static_cast<std::uint8_t>((b ? 0x80 : 0x00) | run));
            i += run;
            continue;
        }
        const std::size_t run = runAt(i, 255);
        if (run >= 3) {
            out.u8(0);
            out.u8(static_cast<std::uint8_t>(run));
            out.u8(b);
            i += run;
            continue;
        }
        std::size_t j = i;
        while (j < n && j - i < 255 && row[j] != 0x00 && row[j] != 0xFF && runAt(j, 3) < 3) ++j;
        out.u8(0x80);
        out.u8(static_cast<std::uint8_t>(j - i));
        out.bytes(row + i, j - i);
        i = j;
    }
}

std::uint16_t microns(double dpi) {
    if (!(dpi > 0)) dpi = kDefaultDpi;
    return static_cast<std::uint16_t>(std::clamp(std::lround(25400.0 / dpi), 1L, 65535L));
}

class GemWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {1}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions&) const override {
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "picture too large for GEM (65535 pixels at most)");
        const Image img = toInkBits(page);  // a set bit is black

        ByteWriter out;
        for (int w : {1, 8, 1, 1, static_cast<int>(microns(img.xDpi)), static_cast<int>(microns(img.yDpi)), img.width(),
                      img.height()})
            out.u16be(static_cast<std::uint16_t>(w));

        const std::size_t width = static_cast<std::size_t>(img.width());
        const std::size_t rowBytes = packedBytes(width, 1);
        std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(img.height()),
                                                    std::vector<std::uint8_t>(rowBytes));
        for (int y = 0; y < img.height(); ++y) packBits(img.row(y), width, 1, rows[static_cast<std::size_t>(y)].data());
        for (std::size_t y = 0; y < rows.size();) {
            std::size_t same = 1;
            while (y + same < rows.size() && same < 255 && rows[y + same] == rows[y]) ++same;
            if (same > 1) {
                out.u8(0);
                out.u8(0);
                out.u8(0xFF);
                out.u8(static_cast<std::uint8_t>(same));
            }
            encodeRow(rows[y].data(), rowBytes, out);
            y += same;
        }
        return out.take();
    }
};

}  // namespace

void registerGemCodec(Registry& registry) { registry.addCodec<GemReader, GemWriter>(); }

}  // namespace rastel::imaging
