// Microsoft Paint (MSP) reader and writer.
//
// A 32-byte little-endian header of 16 words: the key ("DanM" for version 1,
// "LinS" for version 2), width, height, bitmap and printer aspect ratios,
// printer size, aspect correction, a checksum that makes the XOR of all 16
// words zero, and three reserved words. Version 1 stores the bitmap raw;
// version 2 adds a scan-line map (one word per row: the coded size of that
// row) and codes each row as runs. A set bit is white.

#include <algorithm>
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

constexpr const char* kFormat = "MSP";
constexpr int kCode = 53;
constexpr std::uint16_t kV1Key1 = 0x6144, kV1Key2 = 0x4D6E;  // "DanM"
constexpr std::uint16_t kV2Key1 = 0x694C, kV2Key2 = 0x536E;  // "LinS"
constexpr std::size_t kHeaderSize = 32;

int versionOf(std::span<const std::uint8_t> head) {
    if (head.size() < 4) return 0;
    const auto w0 = static_cast<std::uint16_t>(head[0] | (head[1] << 8));
    const auto w1 = static_cast<std::uint16_t>(head[2] | (head[3] << 8));
    if (w0 == kV1Key1 && w1 == kV1Key2) return 1;
    if (w0 == kV2Key1 && w1 == kV2Key2) return 2;
    return 0;
}

struct Header {
    int version = 0;
    int width = 0;
    int height = 0;
};

Header parseHeader(ByteReader& in) {
    in.require(kHeaderSize, "header");
    Header h;
    h.version = versionOf(in.data());
    if (h.version == 0) fail(kFormat, "not a Microsoft Paint file (unknown key)");
    std::uint16_t sum = 0;
    std::uint16_t words[16];
    for (auto& w : words) {
        w = in.u16le();
        sum = static_cast<std::uint16_t>(sum ^ w);
    }
    if (sum != 0) fail(kFormat, "header checksum does not match");
    h.width = words[2];
    h.height = words[3];
    checkDimensions(kFormat, h.width, h.height);
    return h;
}

// Version 2 row coding: a zero byte starts a run (count, value); any other
// byte n is followed by n literal bytes.
void decodeRow(std::span<const std::uint8_t> coded, std::uint8_t* row, std::size_t rowBytes) {
    ByteReader in(coded, kFormat);
    std::size_t pos = 0;
    while (pos < rowBytes && in.remaining() > 0) {
        const std::uint8_t type = in.u8();
        if (type == 0) {
            const std::size_t count = in.u8();
            const std::uint8_t value = in.u8();
            if (count > rowBytes - pos) fail(kFormat, "run crosses the end of a scan line");
            std::fill_n(row + pos, count, value);
            pos += count;
        } else {
            if (type > rowBytes - pos) fail(kFormat, "literal bytes cross the end of a scan line");
            const auto lit = in.bytes(type, "literal bytes");
            std::copy(lit.begin(), lit.end(), row + pos);
            pos += type;
        }
    }
}

class MspReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".msp"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        return versionOf(head) != 0 && head.size() >= kHeaderSize ? Sniff::Strong : Sniff::No;
    }

protected:
    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        ByteReader in(data, kFormat);
        const Header h = parseHeader(in);
        const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(h.width), 1);
        // Version 1 holds the whole bitmap, version 2 at least the row map:
        // check before allocating anything sized by the header.
        in.require(
            h.version == 1 ? rowBytes * static_cast<std::size_t>(h.height) : 2u * static_cast<std::size_t>(h.height),
            h.version == 1 ? "bitmap" : "scan-line map");
        std::vector<std::uint8_t> bits(rowBytes * static_cast<std::size_t>(h.height), 0xFF);
        if (h.version == 1) {
            const auto raw = in.bytes(bits.size(), "bitmap");
            std::copy(raw.begin(), raw.end(), bits.begin());
        } else {
            std::vector<std::uint16_t> sizes(static_cast<std::size_t>(h.height));
            in.require(2u * sizes.size(), "scan-line map");
            for (auto& s : sizes) s = in.u16le();
            for (std::size_t y = 0; y < sizes.size(); ++y) {
                // A row of size 0 is blank (white).
                if (sizes[y] == 0) continue;
                decodeRow(in.bytes(sizes[y], "scan line"), bits.data() + y * rowBytes, rowBytes);
            }
        }
        Image img(h.width, h.height, PixelFormat::Indexed, 1);
        img.palette() = {{0, 0, 0}, {255, 255, 255}};
        for (int y = 0; y < h.height; ++y)
            unpackBits(bits.data() + rowBytes * static_cast<std::size_t>(y), static_cast<std::size_t>(h.width), 1,
                       img.row(y));
        return img;
    }

    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override {
        headerOf(data, kFormat, parseHeader);
    }
};

// Codes one row: runs of three or more equal bytes become (0, count, value),
// everything else literal groups of at most 255 bytes.
void encodeRow(const std::uint8_t* row, std::size_t n, ByteWriter& out) {
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 255 && row[i + run] == row[i]) ++run;
        if (run >= 3) {
            out.u8(0);
            out.u8(static_cast<std::uint8_t>(run));
            out.u8(row[i]);
            i += run;
            continue;
        }
        std::size_t j = i;
        while (j < n && j - i < 255) {
            if (j + 2 < n && row[j] == row[j + 1] && row[j] == row[j + 2]) break;
            ++j;
        }
        out.u8(static_cast<std::uint8_t>(j - i));
        out.bytes(row + i, j - i);
        i = j;
    }
}

class MspWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {1}}}; }

    // Version 2 (run-coded) files.
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions&) const override {
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "picture too large for MSP (65535 pixels at most)");
        const Image img = toInkBits(page);  // 1 is black here; a set bit in the file is white

        const std::size_t width = static_cast<std::size_t>(img.width());
        const std::size_t rowBytes = packedBytes(width, 1);
        std::uint16_t words[16] = {kV2Key1,
                                   kV2Key2,
                                   static_cast<std::uint16_t>(img.width()),
                                   static_cast<std::uint16_t>(img.height()),
                                   1,
                                   1,
                                   1,
                                   1,
                                   static_cast<std::uint16_t>(img.width()),
                                   static_cast<std::uint16_t>(img.height()),
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0};
        for (int i = 0; i < 12; ++i) words[12] = static_cast<std::uint16_t>(words[12] ^ words[i]);

        ByteWriter out;
        for (std::uint16_t w : words) out.u16le(w);
        const std::size_t mapAt = out.size();
        out.zeros(2 * static_cast<std::size_t>(img.height()));
        std::vector<std::uint8_t> v(width), packed(rowBytes);
        for (int y = 0; y < img.height(); ++y) {
            for (std::size_t x = 0; x < width; ++x) v[x] = img.row(y)[x] ^ 1;
            std::fill(packed.begin(), packed.end(), 0);
            packBits(v.data(), width, 1, packed.data());
            // Pad bits past the width are white, as Paint leaves them.
            if (width % 8)
                packed[rowBytes - 1] = static_cast<std::uint8_t>(packed[rowBytes - 1] | (0xFF >> (width % 8)));
            const std::size_t start = out.size();
            encodeRow(packed.data(), rowBytes, out);
            const std::size_t coded = out.size() - start;
            if (coded > 0xFFFF) fail(kFormat, "scan line too long to code");
            out.patchU16le(mapAt + 2 * static_cast<std::size_t>(y), static_cast<std::uint16_t>(coded));
        }
        return out.take();
    }
};

}  // namespace

void registerMspCodec(Registry& registry) { registry.addCodec<MspReader, MspWriter>(); }

}  // namespace rastel::imaging
