// ZSoft PCX (Paintbrush) reader and writer.
//
// A 128-byte header is followed by the scan lines, each made of `planes`
// plane rows of `bytesPerLine` bytes, run-length coded (a byte with its two top
// bits set carries a repeat count in its low six bits for the byte after it).
// 256-colour files end with a 0x0C marker and a 768-byte palette.
//
// Several pages are kept in a DCX container: the magic number 987654321
// (bytes B1 68 DE 3A), a table of up to 1023 little-endian 32-bit offsets of
// the pages ended by a zero entry, then the pages, each a complete PCX file.
// A one-page output stays a plain PCX file; appending a page turns it into a
// DCX file (see docs/codecs/pcx.md).

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "imaging/codec.h"
#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/convert.h"
#include "imaging/document_budget.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {
namespace {

constexpr const char* kFormat = "PCX";
constexpr int kCode = 1;
constexpr std::size_t kHeaderSize = 128;
constexpr double kDefaultDpi = 72;

constexpr std::uint32_t kDcxMagic = 987654321;  // 0x3ADE68B1
constexpr std::size_t kDcxMaxPages = 1023;
// The table entries a DCX writer reserves: 1023 offsets and the zero that ends
// them, so that the first page starts at 4100, as other writers place it.
constexpr std::size_t kDcxTableEntries = kDcxMaxPages + 1;
constexpr std::size_t kDcxHeaderSize = 4 + 4 * kDcxTableEntries;

bool isDcx(std::span<const std::uint8_t> data) {
    return data.size() >= 4 && data[0] == 0xB1 && data[1] == 0x68 && data[2] == 0xDE && data[3] == 0x3A;
}

struct Header {
    int version = 0;
    int encoding = 0;
    int bitsPerPixel = 0;
    int xmin = 0, ymin = 0, xmax = 0, ymax = 0;
    int hdpi = 0, vdpi = 0;
    std::uint8_t palette[48] = {};
    int planes = 0;
    int bytesPerLine = 0;
};

bool knownVersion(int version) { return version == 0 || version == 2 || version == 3 || version == 4 || version == 5; }

bool plausibleLayout(int bits, int planes) {
    switch (bits) {
    case 1: return planes >= 1 && planes <= 4;
    case 2: return planes == 1;
    case 4: return planes == 1;
    case 8: return planes == 1 || planes == 3 || planes == 4;
    default: return false;
    }
}

Header parseHeader(ByteReader& in) {
    in.require(kHeaderSize, "header");
    Header h;
    if (in.u8() != 0x0A) fail(kFormat, "not a PCX file (manufacturer byte is not 0x0A)");
    h.version = in.u8();
    h.encoding = in.u8();
    h.bitsPerPixel = in.u8();
    h.xmin = in.u16le();
    h.ymin = in.u16le();
    h.xmax = in.u16le();
    h.ymax = in.u16le();
    h.hdpi = in.u16le();
    h.vdpi = in.u16le();
    const auto pal = in.bytes(48);
    std::memcpy(h.palette, pal.data(), 48);
    in.skip(1);  // reserved
    h.planes = in.u8();
    h.bytesPerLine = in.u16le();
    in.seek(kHeaderSize);

    if (!knownVersion(h.version)) fail(kFormat, "unknown version " + std::to_string(h.version));
    if (h.encoding > 1) fail(kFormat, "unknown encoding " + std::to_string(h.encoding));
    if (!plausibleLayout(h.bitsPerPixel, h.planes))
        fail(kFormat, "unsupported layout of " + std::to_string(h.planes) + " planes of " +
                          std::to_string(h.bitsPerPixel) + " bits");
    if (h.xmax < h.xmin || h.ymax < h.ymin) fail(kFormat, "window end lies before its start");
    const std::int64_t width = std::int64_t{h.xmax} - h.xmin + 1;
    const std::int64_t height = std::int64_t{h.ymax} - h.ymin + 1;
    checkDimensions(kFormat, width, height);
    const std::int64_t needed = (width * h.bitsPerPixel + 7) / 8;
    if (h.bytesPerLine < needed)
        fail(kFormat, "bytes per line (" + std::to_string(h.bytesPerLine) + ") too small for a width of " +
                          std::to_string(width));
    return h;
}

// The header's 16 colours, or the EGA default ones when the file carries no
// palette of its own (version 3) or an empty one.
std::vector<Rgb> headerPalette(const Header& h, int entries) {
    bool empty = true;
    for (std::uint8_t b : h.palette) empty = empty && b == 0;
    std::vector<Rgb> pal(static_cast<std::size_t>(entries));
    for (int i = 0; i < entries; ++i) {
        if (h.version == 3 || empty)
            pal[static_cast<std::size_t>(i)] = kEgaPalette[i];
        else
            pal[static_cast<std::size_t>(i)] = {h.palette[3 * i], h.palette[3 * i + 1], h.palette[3 * i + 2]};
    }
    return pal;
}

// Decodes the whole pixel area into `out` (`total` bytes), or with a null
// `out` only walks the coded data to check that it covers the picture. Runs
// may continue from one scan line into the next (some writers do that); they
// are cut at the end of the picture.
void walkScanLines(ByteReader& in, const Header& h, std::size_t total, std::uint8_t* out) {
    if (h.encoding == 0) {
        const auto raw = in.bytes(total, "pixel data");
        if (out) std::copy(raw.begin(), raw.end(), out);
        return;
    }
    std::size_t pos = 0;
    while (pos < total) {
        std::uint8_t b = in.u8();
        std::size_t count = 1;
        if ((b & 0xC0) == 0xC0) {
            count = b & 0x3F;
            b = in.u8();
        }
        count = std::min(count, total - pos);
        if (out) std::fill_n(out + pos, count, b);
        pos += count;
    }
}

std::size_t pixelAreaBytes(const Header& h) {
    const std::size_t lineBytes = static_cast<std::size_t>(h.bytesPerLine) * static_cast<std::size_t>(h.planes);
    return lineBytes * static_cast<std::size_t>(h.ymax - h.ymin + 1);
}

std::vector<std::uint8_t> decodeScanLines(ByteReader& in, const Header& h) {
    const std::size_t total = pixelAreaBytes(h);
    // Refuse files far too short for the picture they announce before
    // allocating it: raw data needs every byte, a two-byte run yields at most
    // 63 bytes.
    if (h.encoding == 0) in.require(total, "pixel data");
    if (in.remaining() < total / 32) fail(kFormat, "truncated file: pixel data too short for the picture size");
    std::vector<std::uint8_t> out(total);
    walkScanLines(in, h, total, out.data());
    return out;
}

// Throws unless `file` is a PCX file whose coded data covers its picture
// (without decoding it into memory).
void checkPcxFile(std::span<const std::uint8_t> file) {
    ByteReader in(file, kFormat);
    const Header h = parseHeader(in);
    walkScanLines(in, h, pixelAreaBytes(h), nullptr);
}

// Decodes one PCX file (a plain file, or one page of a DCX file).
Image decodePcx(std::span<const std::uint8_t> data) {
    ByteReader in(data, kFormat);
    const Header h = parseHeader(in);
    const int width = h.xmax - h.xmin + 1;
    const int height = h.ymax - h.ymin + 1;
    const std::size_t lineBytes = static_cast<std::size_t>(h.bytesPerLine) * static_cast<std::size_t>(h.planes);
    const std::vector<std::uint8_t> raw = decodeScanLines(in, h);
    const std::size_t bpl = static_cast<std::size_t>(h.bytesPerLine);

    Image img;
    if (h.planes == 1 && h.bitsPerPixel <= 8) {
        img = Image(width, height, PixelFormat::Indexed, h.bitsPerPixel);
        for (int y = 0; y < height; ++y)
            unpackBits(raw.data() + static_cast<std::size_t>(y) * lineBytes, static_cast<std::size_t>(width),
                       h.bitsPerPixel, img.row(y));
        if (h.bitsPerPixel == 1) {
            // Monochrome PCX is black and white whatever the header palette says.
            img.palette() = {{0, 0, 0}, {255, 255, 255}};
        } else if (h.bitsPerPixel == 8) {
            // The VGA palette sits in the last 769 bytes after a 0x0C marker.
            const std::size_t n = data.size();
            if (h.version >= 5 && n >= kHeaderSize + 769 && data[n - 769] == 0x0C) {
                img.palette().resize(256);
                for (std::size_t i = 0; i < 256; ++i)
                    img.palette()[i] = {data[n - 768 + 3 * i], data[n - 767 + 3 * i], data[n - 766 + 3 * i]};
            } else {
                img.palette() = grayPalette(8);
            }
        } else {
            img.palette() = headerPalette(h, 1 << h.bitsPerPixel);
        }
    } else if (h.bitsPerPixel == 1) {
        // 2, 3 or 4 bit planes: plane p holds bit p of each index.
        img = Image(width, height, PixelFormat::Indexed, h.planes);
        std::vector<std::uint8_t> bitsRow(static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            std::uint8_t* dst = img.row(y);
            for (int p = 0; p < h.planes; ++p) {
                unpackBits(raw.data() + static_cast<std::size_t>(y) * lineBytes + static_cast<std::size_t>(p) * bpl,
                           static_cast<std::size_t>(width), 1, bitsRow.data());
                for (int x = 0; x < width; ++x)
                    dst[x] = static_cast<std::uint8_t>(dst[x] | (bitsRow[static_cast<std::size_t>(x)] << p));
            }
        }
        img.palette() = headerPalette(h, 1 << h.planes);
    } else {
        // 3 or 4 planes of 8 bits: red, green, blue (and alpha) rows.
        const bool alpha = h.planes == 4;
        img = Image(width, height, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24);
        const int channels = h.planes;
        for (int y = 0; y < height; ++y) {
            std::uint8_t* dst = img.row(y);
            const std::uint8_t* src = raw.data() + static_cast<std::size_t>(y) * lineBytes;
            for (int c = 0; c < channels; ++c)
                for (int x = 0; x < width; ++x)
                    dst[x * channels + c] = src[static_cast<std::size_t>(c) * bpl + static_cast<std::size_t>(x)];
        }
    }
    // Many writers put the screen or picture size in the resolution fields
    // (640 x 350, or the picture's own width and height): not a resolution.
    if (h.hdpi > 0 && h.vdpi > 0 && !(h.hdpi == width && h.vdpi == height)) {
        img.xDpi = h.hdpi;
        img.yDpi = h.vdpi;
    }
    return img;
}

// The pages of a DCX file, each as the bytes of a PCX file. A page runs from
// its offset to the next larger offset of the table (or to the end of the
// file), so pages never overlap and an 8-bit page finds its palette at its
// own end. Every offset must lie past the table and inside the file, each
// page must hold at least a PCX header, and no two entries may name the same
// page.
std::vector<std::span<const std::uint8_t>> dcxPages(std::span<const std::uint8_t> data) {
    ByteReader in(data, kFormat);
    if (in.u32le() != kDcxMagic) fail(kFormat, "not a DCX file");
    std::vector<std::uint32_t> offsets;
    for (;;) {
        if (offsets.size() == kDcxTableEntries)
            fail(kFormat, "DCX page table is not ended by a zero entry within 1024 entries");
        const std::uint32_t off = in.u32le();
        if (off == 0) break;
        offsets.push_back(off);
    }
    if (offsets.empty()) fail(kFormat, "DCX file holds no pages");
    const std::size_t tableEnd = in.pos();
    std::vector<std::uint32_t> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const auto shared = std::adjacent_find(sorted.begin(), sorted.end());
    if (shared != sorted.end()) fail(kFormat, "two DCX pages share the offset " + std::to_string(*shared));
    std::vector<std::span<const std::uint8_t>> pages;
    pages.reserve(offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint32_t off = offsets[i];
        const std::string page = "DCX page " + std::to_string(i + 1) + " of " + std::to_string(offsets.size());
        if (off < tableEnd) fail(kFormat, page + " starts inside the page table (offset " + std::to_string(off) + ")");
        if (off >= data.size())
            fail(kFormat, page + " starts past the end of the file (offset " + std::to_string(off) + ", file of " +
                              std::to_string(data.size()) + " bytes)");
        const auto next = std::upper_bound(sorted.begin(), sorted.end(), off);
        const std::size_t end = next == sorted.end() ? data.size() : *next;
        if (end - off < kHeaderSize)
            fail(kFormat, page + " is only " + std::to_string(end - off) + " bytes long, too short for a PCX header");
        pages.push_back(data.subspan(off, end - off));
    }
    return pages;
}

// Runs `f` for page `index` (0-based) of `count`, naming the page in any Error.
template <typename F>
auto forPage(std::size_t index, std::size_t count, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error& e) {
        const std::string cause = e.format() == kFormat && e.path().empty() ? e.cause() : e.what();
        fail(e.kind(), kFormat,
             "DCX page " + std::to_string(index + 1) + " of " + std::to_string(count) + ": " + cause);
    }
}

// A DCX file page by page: the page table and every page's header are read
// when it opens (as pageCount() checks them), a page's pixels when it is asked
// for. A plain PCX file is its one page.
class DcxPages : public PageSource {
public:
    explicit DcxPages(std::span<const std::uint8_t> data) : pages_(dcxPages(data)) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < pages_.size(); ++i)
            forPage(i, pages_.size(), [&] {
                const Header h = headerOf(pages_[i], kFormat, parseHeader);
                const std::uint64_t pixels = std::uint64_t(h.xmax - h.xmin + 1) * std::uint64_t(h.ymax - h.ymin + 1);
                // A page too large on its own fails with its own message when decoded.
                if (h.xmax >= h.xmin && h.ymax >= h.ymin && pixels <= pixelLimit()) total += pixels;
            });
        checkDocumentPixels(total);
    }

    int pageCount() const override { return static_cast<int>(pages_.size()); }

    Image page(int index) override {
        const auto i = static_cast<std::size_t>(index);
        return forPage(i, pages_.size(), [&] { return decodePcx(pages_.at(i)); });
    }

private:
    std::vector<std::span<const std::uint8_t>> pages_;
};

class PcxReader : public FormatReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".pcx", ".dcx"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (isDcx(head)) return Sniff::Strong;
        if (head.size() < 68 || head[0] != 0x0A) return Sniff::No;
        if (!knownVersion(head[1])) return Sniff::No;
        if (head[2] > 1) return Sniff::No;
        if (!plausibleLayout(head[3], head[65])) return Sniff::No;
        return Sniff::Strong;
    }

    // DCX pages are counted from the table and their headers checked; no
    // pixel data is decoded.
    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (!isDcx(data)) {
            headerOf(data, kFormat, parseHeader);
            return 1;
        }
        const auto pages = dcxPages(data);
        for (std::size_t i = 0; i < pages.size(); ++i)
            forPage(i, pages.size(), [&] { headerOf(pages[i], kFormat, parseHeader); });
        return static_cast<int>(pages.size());
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        Document doc;
        if (!isDcx(data)) {
            doc.pages.push_back(decodePcx(data));
            return doc;
        }
        const auto pages = dcxPages(data);
        for (std::size_t i = 0; i < pages.size(); ++i)
            doc.pages.push_back(forPage(i, pages.size(), [&] { return decodePcx(pages[i]); }));
        return doc;
    }

    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        if (!isDcx(data)) return FormatReader::open(data, ctx);
        return std::make_unique<DcxPages>(data);
    }
};

// Appends one run-length coded plane row.
void encodeRow(const std::uint8_t* row, std::size_t n, ByteWriter& out) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = row[i];
        std::size_t run = 1;
        while (i + run < n && run < 63 && row[i + run] == b) ++run;
        if (run > 1 || (b & 0xC0) == 0xC0) out.u8(static_cast<std::uint8_t>(0xC0 | run));
        out.u8(b);
        i += run;
    }
}

std::uint16_t dpiField(double dpi) {
    if (!(dpi > 0)) return static_cast<std::uint16_t>(kDefaultDpi);
    return static_cast<std::uint16_t>(std::clamp(std::lround(dpi), 1L, 65535L));
}

class PcxWriter : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override { return {{kCode, {1, 4, 8, 24}, true}}; }

    // A plain PCX file becomes page 1 of a new DCX file; a DCX file keeps its
    // pages (copied in table order behind a fresh full-size table). The pages
    // already there are checked first, so that a damaged file is refused
    // rather than passed on with a page missing: every offset and page header,
    // and the coded data of the last page in the file, where a cut-off write
    // would show.
    std::vector<std::uint8_t> append(std::span<const std::uint8_t> existing, const Image& page,
                                     const WriteOptions& opt) const override {
        std::vector<std::span<const std::uint8_t>> pages;
        if (isDcx(existing)) {
            pages = dcxPages(existing);
            for (std::size_t i = 0; i < pages.size(); ++i)
                forPage(i, pages.size(), [&] {
                    headerOf(pages[i], kFormat, parseHeader);
                    if (pages[i].data() + pages[i].size() == existing.data() + existing.size()) checkPcxFile(pages[i]);
                });
        } else if (!existing.empty() && existing[0] == 0x0A) {
            checkPcxFile(existing);
            pages.push_back(existing);
        } else {
            fail(kFormat, "the file to add a page to is neither a PCX nor a DCX file");
        }
        if (pages.size() >= kDcxMaxPages)
            fail(kFormat, "a DCX file holds at most " + std::to_string(kDcxMaxPages) + " pages");

        const std::vector<std::uint8_t> added = write(page, opt);
        std::uint64_t total = kDcxHeaderSize + added.size();
        for (const auto& p : pages) total += p.size();
        if (total > 0xFFFFFFFFu) fail(kFormat, "a DCX file cannot grow past 4 GiB (its page offsets are 32-bit)");

        ByteWriter out;
        out.buffer().reserve(static_cast<std::size_t>(total));
        out.u32le(kDcxMagic);
        std::uint64_t offset = kDcxHeaderSize;
        for (const auto& p : pages) {
            out.u32le(static_cast<std::uint32_t>(offset));
            offset += p.size();
        }
        out.u32le(static_cast<std::uint32_t>(offset));
        out.zeros(kDcxHeaderSize - out.size());  // the zero entry that ends the table, and unused entries
        for (const auto& p : pages) out.bytes(p);
        out.bytes(added);
        return out.take();
    }

    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        if (page.width() > 65535 || page.height() > 65535)
            fail(kFormat, "picture too large for PCX (65535 pixels at most)");
        const int bits = opt.bits;
        Image img = toBitsPerPixel(page, bits);
        const int width = img.width();
        const int height = img.height();

        int planes = 1;
        int planeBits = 8;
        std::vector<Rgb> palette;
        if (bits == 1) {
            // Monochrome PCX is read as black (0) and white (1): map the darker
            // palette entry to 0.
            planeBits = 1;
            const auto luma = [&](std::uint8_t i) {
                const Rgb c = i < img.palette().size() ? img.palette()[i] : Rgb{};
                return 299 * c.r + 587 * c.g + 114 * c.b;
            };
            const std::uint8_t dark = luma(0) <= luma(1) ? 0 : 1;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) img.row(y)[x] = img.row(y)[x] == dark ? 0 : 1;
            palette = {{0, 0, 0}, {255, 255, 255}};
        } else if (bits == 4) {
            planes = 4;
            planeBits = 1;
            palette = img.palette();
        } else if (bits == 8) {
            palette = img.palette();
        } else {
            planes = 3;
        }
        palette.resize(bits == 8 ? 256 : 16);

        std::size_t bpl = packedBytes(static_cast<std::size_t>(width), planeBits);
        bpl += bpl & 1;  // even, as readers expect

        ByteWriter out;
        out.u8(0x0A);
        out.u8(5);
        out.u8(1);
        out.u8(static_cast<std::uint8_t>(planeBits));
        out.u16le(0);
        out.u16le(0);
        out.u16le(static_cast<std::uint16_t>(width - 1));
        out.u16le(static_cast<std::uint16_t>(height - 1));
        out.u16le(dpiField(img.xDpi));
        out.u16le(dpiField(img.yDpi));
        for (int i = 0; i < 16; ++i) {
            const Rgb c = bits == 8 ? Rgb{} : palette[static_cast<std::size_t>(i)];
            out.u8(c.r);
            out.u8(c.g);
            out.u8(c.b);
        }
        out.u8(0);
        out.u8(static_cast<std::uint8_t>(planes));
        out.u16le(static_cast<std::uint16_t>(bpl));
        out.u16le(1);  // colour or black and white palette
        out.u16le(0);
        out.u16le(0);
        out.zeros(kHeaderSize - out.size());

        std::vector<std::uint8_t> planeRow(bpl);
        std::vector<std::uint8_t> bitsRow(static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* src = img.row(y);
            for (int p = 0; p < planes; ++p) {
                std::fill(planeRow.begin(), planeRow.end(), 0);
                if (bits == 1 || bits == 8) {
                    packBits(src, static_cast<std::size_t>(width), planeBits, planeRow.data());
                } else if (bits == 4) {
                    for (int x = 0; x < width; ++x) bitsRow[static_cast<std::size_t>(x)] = (src[x] >> p) & 1;
                    packBits(bitsRow.data(), static_cast<std::size_t>(width), 1, planeRow.data());
                } else {
                    for (int x = 0; x < width; ++x) planeRow[static_cast<std::size_t>(x)] = src[3 * x + p];
                }
                encodeRow(planeRow.data(), bpl, out);
            }
        }
        if (bits == 8) {
            out.u8(0x0C);
            for (const Rgb& c : palette) {
                out.u8(c.r);
                out.u8(c.g);
                out.u8(c.b);
            }
        }
        return out.take();
    }
};

}  // namespace

void registerPcxCodec(Registry& registry) { registry.addCodec<PcxReader, PcxWriter>(); }

}  // namespace rastel::imaging
