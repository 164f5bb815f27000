// MacPaint documents: a 512-byte header (a version word, for version 2 the 38
// fill patterns of the document), then 720 rows of 576 pixels, one bit each
// (1 = black), every row of 72 bytes PackBits-compressed on its own. Files that
// travelled through other systems often carry a 128-byte MacBinary header
// first, which the reader recognises and skips.

#include <cstring>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "MacPaint";
constexpr int kWidth = 576;
constexpr int kHeight = 720;
constexpr std::size_t kRowBytes = kWidth / 8;
constexpr std::size_t kHeaderBytes = 512;
constexpr std::size_t kMacBinaryBytes = 128;

// A MacBinary I/II header: byte 0 and the bytes at 74 and 82 are zero, the
// file name is 1..63 bytes, and the data fork is long enough for a MacPaint
// header. The file type, when filled in, must be 'PNTG'.
bool isMacBinary(std::span<const std::uint8_t> d) {
    if (d.size() < kMacBinaryBytes + kHeaderBytes) return false;
    if (d[0] != 0 || d[74] != 0 || d[82] != 0) return false;
    if (d[1] < 1 || d[1] > 63) return false;
    const bool typeFilled = d[65] || d[66] || d[67] || d[68];
    if (typeFilled && std::memcmp(&d[65], "PNTG", 4) != 0) return false;
    const std::uint32_t dataFork = loadU32be(d.data() + 83);
    return dataFork >= kHeaderBytes;
}

bool hasPntgType(std::span<const std::uint8_t> d) { return isMacBinary(d) && std::memcmp(&d[65], "PNTG", 4) == 0; }

// The MacPaint document inside `data`: without a MacBinary header when there is one.
std::span<const std::uint8_t> documentBytes(std::span<const std::uint8_t> data) {
    if (!isMacBinary(data)) return data;
    const std::uint32_t dataFork = loadU32be(data.data() + 83);
    const std::size_t available = data.size() - kMacBinaryBytes;
    return data.subspan(kMacBinaryBytes, std::min<std::size_t>(dataFork, available));
}

bool plausibleVersion(std::uint32_t v) { return v == 0 || v == 2 || v == 3; }

// The packed rows of the document in `data`, after its header is checked.
std::span<const std::uint8_t> packedRows(std::span<const std::uint8_t> data) {
    const auto doc = documentBytes(data);
    ByteReader in(doc, kFormat);
    const std::uint32_t version = in.u32be();
    if (!plausibleVersion(version)) fail(kFormat, "unknown header version " + std::to_string(version));
    in.seek(kHeaderBytes);
    return in.bytes(in.remaining());
}

class MacPaintReader : public SinglePageReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".mac", ".pntg", ".pnt"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (hasPntgType(head)) return Sniff::Strong;
        const auto doc = isMacBinary(head) ? head.subspan(kMacBinaryBytes) : head;
        if (doc.size() < 4 || !plausibleVersion(loadU32be(doc.data()))) return Sniff::No;
        // When the first row is at hand it must decode to exactly 72 bytes.
        if (doc.size() > kHeaderBytes + 2 * kRowBytes) {
            std::uint8_t row[kRowBytes];
            try {
                packBitsDecode(doc.subspan(kHeaderBytes), row, kRowBytes, kFormat);
            } catch (const Error&) {
                return Sniff::No;
            }
        }
        return Sniff::Weak;
    }

protected:
    void checkHeader(std::span<const std::uint8_t> data, const ReadContext&) const override { packedRows(data); }

    Image readPage(std::span<const std::uint8_t> data, const ReadContext&) const override {
        const auto packed = packedRows(data);

        Image page(kWidth, kHeight, PixelFormat::Indexed, 1);
        page.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
        page.xDpi = page.yDpi = 72;
        // Rows are compressed one by one, but some writers let a run cross into
        // the next row, so the 720 rows are decoded as one continuous stream.
        std::vector<std::uint8_t> bits(kRowBytes * kHeight);
        packBitsDecode(packed, bits.data(), bits.size(), kFormat);
        for (int y = 0; y < kHeight; ++y)
            unpackBits(&bits[kRowBytes * static_cast<std::size_t>(y)], kWidth, 1, page.row(y));
        return page;
    }
};

class MacPaintWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{51, {1}}}; }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions&) const override {
        if (page.width() > kWidth || page.height() > kHeight)
            fail(kFormat, "page of " + std::to_string(page.width()) + " x " + std::to_string(page.height()) +
                              " pixels exceeds the fixed 576 x 720 MacPaint page");
        const Image ink = toInkBits(page);
        ByteWriter out;
        // Version 0: no document patterns, MacPaint uses its default set.
        out.zeros(kHeaderBytes);
        std::vector<std::uint8_t> values(kWidth);
        std::uint8_t row[kRowBytes];
        for (int y = 0; y < kHeight; ++y) {
            std::fill(values.begin(), values.end(), 0);  // white beyond the page
            if (y < ink.height()) std::memcpy(values.data(), ink.row(y), static_cast<std::size_t>(ink.width()));
            packBits(values.data(), kWidth, 1, row);
            packBitsEncode(row, out.buffer());
        }
        return out.take();
    }
};

}  // namespace

void registerMacPaintCodec(Registry& registry) { registry.addCodec<MacPaintReader, MacPaintWriter>(); }

}  // namespace rastel::imaging
