// IOCA bi-level images (.ica): a bare IOCA image segment (codes 77, 78, 79) or
// the same segment carried in a one-page MO:DCA document (codes 71, 72, 73).
//
// The image segment written (every number big-endian):
//   70 00                     Begin Segment
//   91 01 FF                  Begin Image Content (object type FF)
//   94 09 00 XR XR YR YR W W H H
//                             Image Size: unit base 00 (10 inches), image points
//                             per 10 inches (dpi x 10; 2000 when the page has no
//                             dpi), width and height (at most 32767)
//   95 02 CC 01               Image Encoding: compression CC = 80 G3 MH
//                             (one-dimensional), 81 G3 MR (two-dimensional) or
//                             82 G4 MMR; recording 01 (RIDIC)
//   96 01 01                  IDE Size: 1 bit per image point (1 = black)
//   FE 92 LL LL <data>        Image Data, in pieces of at most 65535 bytes
//   93 00                     End Image Content
//   71 00                     End Segment
// The coded data is ccittEncode's (G3 with byte-aligned EOLs and RTC).
//
// The MO:DCA document: structured fields 5A LLLL ID ID ID 00 0000 <data>
// (LLLL counts the eight introducer bytes and the data):
//   BDT D3A8A8 "RASTEL  " | BPG D3A8AF | BAG D3A8C9 | PGD D3A6AF (units per
//   10 inches and page size = the image) | EAG D3A9C9 | BIM D3A8FB | BOG D3A8C7 |
//   OBD D3A66B (descriptor position, measurement units, object area size) |
//   OBP D3AC6B (at 0,0, no rotation) | IDD D3A6FB (unit base 00, resolution,
//   size) | EOG D3A9C7 | IPD D3EEFB ... (the image segment in pieces of at most
//   8192 bytes) | EIM D3A9FB | EPG D3A9AF | EDT D3A9A8
//
// Reading: a MO:DCA document gives one page per image object (BIM..EIM), whose
// IPD contents are joined and read as an image segment; a bare segment is one
// page. Compressions read: 80, 81, 82 and 03 (none); bit order right-to-left
// (third byte of the Image Encoding parameter = 01) is handled.

#include <algorithm>
#include <cmath>
#include <memory>

#include "imaging/codecs/common/bits.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/ccitt.h"
#include "imaging/error.h"
#include "imaging/registry.h"

namespace rastel::imaging {

namespace {

constexpr const char* kFormat = "IOCA";

// Structured field identifiers of MO:DCA.
enum : std::uint32_t {
    kBDT = 0xD3A8A8,
    kEDT = 0xD3A9A8,
    kBPG = 0xD3A8AF,
    kEPG = 0xD3A9AF,
    kBAG = 0xD3A8C9,
    kEAG = 0xD3A9C9,
    kPGD = 0xD3A6AF,
    kBIM = 0xD3A8FB,
    kEIM = 0xD3A9FB,
    kBOG = 0xD3A8C7,
    kEOG = 0xD3A9C7,
    kOBD = 0xD3A66B,
    kOBP = 0xD3AC6B,
    kIDD = 0xD3A6FB,
    kIPD = 0xD3EEFB,
};

// IOCA compression identifiers.
enum : std::uint8_t { kNone = 0x03, kG3MH = 0x80, kG3MR = 0x81, kG4MMR = 0x82 };

// reading

struct Segment {
    int width = 0, height = 0;
    double xDpi = 0, yDpi = 0;
    int compression = -1;
    int bitOrder = 0;
    std::vector<std::uint8_t> data;
    bool sawSize = false;
};

double toDpi(int unitBase, int perUnit) {
    if (perUnit <= 0) return 0;
    if (unitBase == 0) return perUnit / 10.0;         // per 10 inches
    if (unitBase == 1) return perUnit / 10.0 * 2.54;  // per 10 centimetres
    return 0;                                         // logical units: no resolution
}

Segment parseSegment(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes, kFormat);
    Segment seg;
    bool began = false, ended = false;
    while (r.remaining() > 0 && !ended) {
        std::uint32_t id = r.u8();
        std::size_t len;
        if (id == 0xFE) {
            id = 0xFE00u | r.u8();
            len = r.u16be();
        } else {
            len = r.u8();
        }
        ByteReader p(r.bytes(len, "IOCA parameter"), kFormat);
        switch (id) {
        case 0x70: began = true; break;
        case 0x71: ended = true; break;
        case 0x94: {
            if (len < 9) fail(kFormat, "Image Size parameter too short");
            const int unit = p.u8();
            const int xr = p.u16be(), yr = p.u16be();
            seg.width = p.u16be();
            seg.height = p.u16be();
            seg.xDpi = toDpi(unit, xr);
            seg.yDpi = toDpi(unit, yr);
            seg.sawSize = true;
            break;
        }
        case 0x95:
            if (len < 2) fail(kFormat, "Image Encoding parameter too short");
            seg.compression = p.u8();
            (void)p.u8();  // recording algorithm
            if (len >= 3) seg.bitOrder = p.u8();
            break;
        case 0x96:
            if (len < 1) fail(kFormat, "IDE Size parameter too short");
            if (const int ide = p.u8(); ide != 1)
                fail(kFormat, std::to_string(ide) + " bits per image point are not supported (only 1)");
            break;
        case 0xFE92: {
            const auto piece = p.bytes(len);
            seg.data.insert(seg.data.end(), piece.begin(), piece.end());
            break;
        }
        default: break;  // Begin/End Image Content, LUT-ID, colour and others: nothing to do
        }
    }
    if (!began) fail(kFormat, "no Begin Segment");
    if (!seg.sawSize) fail(kFormat, "no Image Size parameter");
    return seg;
}

std::uint8_t reverseBits(std::uint8_t b) {
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

Image decodeSegment(Segment seg) {
    checkDimensions(kFormat, seg.width, seg.height);
    if (seg.data.empty()) fail(kFormat, "no image data");
    if (seg.bitOrder == 1)
        for (auto& b : seg.data) b = reverseBits(b);
    Image page;
    switch (seg.compression) {
    case kG3MH: page = ccittDecode(seg.data, seg.width, seg.height, CcittCoding::G3OneD, kFormat); break;
    case kG3MR: page = ccittDecode(seg.data, seg.width, seg.height, CcittCoding::G3TwoD, kFormat); break;
    case kG4MMR: page = ccittDecode(seg.data, seg.width, seg.height, CcittCoding::G4, kFormat); break;
    case -1:
    case kNone: {
        const std::size_t rowBytes = packedBytes(static_cast<std::size_t>(seg.width), 1);
        if (seg.data.size() / rowBytes < static_cast<std::size_t>(seg.height))
            fail(kFormat, "uncompressed image data too short");
        page = Image(seg.width, seg.height, PixelFormat::Indexed, 1);
        page.palette() = {Rgb{255, 255, 255}, Rgb{0, 0, 0}};
        for (int y = 0; y < seg.height; ++y)
            unpackBits(seg.data.data() + static_cast<std::size_t>(y) * rowBytes, static_cast<std::size_t>(seg.width), 1,
                       page.row(y));
        break;
    }
    default: fail(kFormat, "compression " + std::to_string(seg.compression) + " is not supported");
    }
    page.xDpi = seg.xDpi;
    page.yDpi = seg.yDpi;
    return page;
}

struct Field {
    std::uint32_t id;
    std::span<const std::uint8_t> data;
};

// Every structured field of a MO:DCA document.
std::vector<Field> parseFields(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes, kFormat);
    std::vector<Field> fields;
    while (r.remaining() > 0) {
        if (r.u8() != 0x5A) fail(kFormat, "structured field does not start with 5A");
        const std::uint16_t len = r.u16be();
        if (len < 8) fail(kFormat, "structured field length " + std::to_string(len) + " too short");
        const std::uint32_t id = static_cast<std::uint32_t>(r.u8()) << 16 | r.u16be();
        const std::uint8_t flags = r.u8();
        (void)r.u16be();
        auto data = r.bytes(len - 8u, "structured field");
        // Flag 80: an introducer extension leads the data, its first byte its length.
        if (flags & 0x80) {
            if (data.empty() || data[0] > data.size()) fail(kFormat, "bad introducer extension");
            data = data.subspan(data[0]);
        }
        // Flag 08: padding ends the data; its last byte is the padding length, or
        // 00 with the length in the two bytes before it.
        if (flags & 0x08) {
            if (data.empty()) fail(kFormat, "bad padding");
            std::size_t pad = data.back();
            if (pad == 0) {
                if (data.size() < 3) fail(kFormat, "bad padding");
                pad = static_cast<std::size_t>(data[data.size() - 3]) << 8 | data[data.size() - 2];
            }
            if (pad > data.size()) fail(kFormat, "bad padding");
            data = data.first(data.size() - pad);
        }
        fields.push_back({id, data});
    }
    return fields;
}

bool isModca(std::span<const std::uint8_t> head) {
    return head.size() >= 9 && head[0] == 0x5A && (head[1] << 8 | head[2]) >= 8 && head[3] == 0xD3;
}

std::vector<Segment> modcaImages(std::span<const std::uint8_t> data) {
    std::vector<Segment> images;
    std::vector<std::uint8_t> ipd;
    bool inImage = false;
    for (const Field& f : parseFields(data)) {
        if (f.id == kBIM) {
            inImage = true;
            ipd.clear();
        } else if (f.id == kIPD && inImage) {
            ipd.insert(ipd.end(), f.data.begin(), f.data.end());
        } else if (f.id == kEIM && inImage) {
            inImage = false;
            images.push_back(parseSegment(ipd));
        }
    }
    if (inImage) fail(kFormat, "image object has no end (EIM)");
    if (images.empty()) fail(kFormat, "document holds no image object");
    return images;
}

// A MO:DCA document page by page: its image objects are gathered when it
// opens, each decoded when its page is asked for.
class ModcaPages : public PageSource {
public:
    explicit ModcaPages(std::span<const std::uint8_t> data) : images_(modcaImages(data)) {}

    int pageCount() const override { return static_cast<int>(images_.size()); }

    // decodeSegment works on a copy: a page may be asked for again.
    Image page(int index) override { return decodeSegment(images_.at(static_cast<std::size_t>(index))); }

private:
    std::vector<Segment> images_;
};

class IocaReader final : public FormatReader {
public:
    std::string name() const override { return kFormat; }
    std::vector<std::string> extensions() const override { return {".ica"}; }

    Sniff sniff(std::span<const std::uint8_t> head) const override {
        if (isModca(head)) return Sniff::Strong;
        if (head.size() >= 2 && head[0] == 0x70 && head[1] <= 0x04) {
            const std::size_t next = 2u + head[1];
            return head.size() > next && head[next] == 0x91 ? Sniff::Strong : Sniff::Weak;
        }
        return Sniff::No;
    }

    int pageCount(std::span<const std::uint8_t> data, const ReadContext&) const override {
        if (!isModca(data)) return 1;
        int n = 0;
        for (const Field& f : parseFields(data)) n += f.id == kBIM;
        return std::max(n, 1);
    }

    Document read(std::span<const std::uint8_t> data, const ReadContext&) const override {
        Document doc;
        if (isModca(data)) {
            for (Segment& s : modcaImages(data)) doc.pages.push_back(decodeSegment(std::move(s)));
        } else {
            doc.pages.push_back(decodeSegment(parseSegment(data)));
        }
        return doc;
    }

    // A bare image segment is one page and keeps the default path.
    std::unique_ptr<PageSource> open(std::span<const std::uint8_t> data, const ReadContext& ctx) const override {
        if (!isModca(data)) return FormatReader::open(data, ctx);
        return std::make_unique<ModcaPages>(data);
    }
};

// writing

struct Target {
    bool modca;
    CcittCoding coding;
    std::uint8_t compression;
};

Target targetFor(int code) {
    switch (code) {
    case 71: return {true, CcittCoding::G3OneD, kG3MH};
    case 72: return {true, CcittCoding::G3TwoD, kG3MR};
    case 73: return {true, CcittCoding::G4, kG4MMR};
    case 77: return {false, CcittCoding::G3OneD, kG3MH};
    case 78: return {false, CcittCoding::G3TwoD, kG3MR};
    case 79: return {false, CcittCoding::G4, kG4MMR};
    default: fail(kFormat, "unknown file-format code " + std::to_string(code));
    }
}

std::uint16_t resolutionField(double dpi) {
    if (dpi <= 0) return 2000;
    return static_cast<std::uint16_t>(std::clamp(std::lround(dpi * 10), 1L, 32767L));
}

std::vector<std::uint8_t> imageSegment(const Image& page, const Target& t, std::uint16_t xr, std::uint16_t yr) {
    const std::vector<std::uint8_t> coded = ccittEncode(page, t.coding);
    ByteWriter w;
    w.bytes(std::vector<std::uint8_t>{0x70, 0x00, 0x91, 0x01, 0xFF, 0x94, 0x09, 0x00});
    w.u16be(xr);
    w.u16be(yr);
    w.u16be(static_cast<std::uint16_t>(page.width()));
    w.u16be(static_cast<std::uint16_t>(page.height()));
    w.bytes(std::vector<std::uint8_t>{0x95, 0x02, t.compression, 0x01, 0x96, 0x01, 0x01});
    for (std::size_t at = 0; at < coded.size(); at += 0xFFFF) {
        const std::size_t n = std::min<std::size_t>(0xFFFF, coded.size() - at);
        w.u8(0xFE);
        w.u8(0x92);
        w.u16be(static_cast<std::uint16_t>(n));
        w.bytes(coded.data() + at, n);
    }
    w.bytes(std::vector<std::uint8_t>{0x93, 0x00, 0x71, 0x00});
    return w.take();
}

void field(ByteWriter& w, std::uint32_t id, std::span<const std::uint8_t> data) {
    w.u8(0x5A);
    w.u16be(static_cast<std::uint16_t>(8 + data.size()));
    w.u8(static_cast<std::uint8_t>(id >> 16));
    w.u16be(static_cast<std::uint16_t>(id & 0xFFFF));
    w.u8(0);
    w.u16be(0);
    w.bytes(data);
}

// An eight-character name in EBCDIC (capital letters, digits, blanks).
std::vector<std::uint8_t> ebcdicName(const char* name) {
    std::vector<std::uint8_t> out(8, 0x40);
    for (std::size_t i = 0; i < 8 && name[i]; ++i) {
        const char c = name[i];
        if (c >= 'A' && c <= 'I')
            out[i] = static_cast<std::uint8_t>(0xC1 + (c - 'A'));
        else if (c >= 'J' && c <= 'R')
            out[i] = static_cast<std::uint8_t>(0xD1 + (c - 'J'));
        else if (c >= 'S' && c <= 'Z')
            out[i] = static_cast<std::uint8_t>(0xE2 + (c - 'S'));
        else if (c >= '0' && c <= '9')
            out[i] = static_cast<std::uint8_t>(0xF0 + (c - '0'));
    }
    return out;
}

void u24be(ByteWriter& w, std::uint32_t v) {
    w.u8(static_cast<std::uint8_t>(v >> 16));
    w.u16be(static_cast<std::uint16_t>(v & 0xFFFF));
}

std::vector<std::uint8_t> modcaDocument(const Image& page, const std::vector<std::uint8_t>& segment, std::uint16_t xr,
                                        std::uint16_t yr) {
    const auto w16 = static_cast<std::uint32_t>(page.width());
    const auto h16 = static_cast<std::uint32_t>(page.height());
    ByteWriter w;
    auto docName = ebcdicName("RASTEL");
    auto withReserved = docName;
    withReserved.insert(withReserved.end(), {0x00, 0x00});
    field(w, kBDT, withReserved);
    field(w, kBPG, ebcdicName("PAGE0001"));
    field(w, kBAG, {});
    {
        ByteWriter d;  // PGD: units per 10 inches, page size = the image
        d.u8(0x00);
        d.u8(0x00);
        d.u16be(xr);
        d.u16be(yr);
        u24be(d, w16);
        u24be(d, h16);
        d.zeros(3);
        field(w, kPGD, d.buffer());
    }
    field(w, kEAG, {});
    field(w, kBIM, ebcdicName("IMAGE001"));
    field(w, kBOG, ebcdicName("IMAGE001"));
    {
        ByteWriter d;  // OBD: descriptor position, measurement units, object area size
        d.bytes(std::vector<std::uint8_t>{0x03, 0x43, 0x01});
        d.bytes(std::vector<std::uint8_t>{0x08, 0x4B, 0x00, 0x00});
        d.u16be(xr);
        d.u16be(yr);
        d.bytes(std::vector<std::uint8_t>{0x09, 0x4C, 0x02});
        u24be(d, w16);
        u24be(d, h16);
        field(w, kOBD, d.buffer());
    }
    {
        ByteWriter d;  // OBP: object area at the page origin, no rotation
        d.bytes(std::vector<std::uint8_t>{0x01, 0x17});
        d.zeros(6);                                                  // X/Y offset of the area
        d.bytes(std::vector<std::uint8_t>{0x00, 0x00, 0x2D, 0x00});  // axes at 0 and 90 degrees
        d.zeros(6);                                                  // X/Y offset of the content
        d.bytes(std::vector<std::uint8_t>{0x00, 0x00, 0x2D, 0x00});
        d.u8(0x01);  // relative to the page
        field(w, kOBP, d.buffer());
    }
    {
        ByteWriter d;  // IDD: unit base 10 inches, resolution, size
        d.u8(0x00);
        d.u16be(xr);
        d.u16be(yr);
        d.u16be(static_cast<std::uint16_t>(w16));
        d.u16be(static_cast<std::uint16_t>(h16));
        field(w, kIDD, d.buffer());
    }
    field(w, kEOG, ebcdicName("IMAGE001"));
    for (std::size_t at = 0; at < segment.size(); at += 8192) {
        const std::size_t n = std::min<std::size_t>(8192, segment.size() - at);
        field(w, kIPD, std::span<const std::uint8_t>(segment.data() + at, n));
    }
    field(w, kEIM, ebcdicName("IMAGE001"));
    field(w, kEPG, ebcdicName("PAGE0001"));
    field(w, kEDT, docName);
    return w.take();
}

class IocaWriter final : public FormatWriter {
public:
    std::string name() const override { return kFormat; }
    std::vector<WriteCapability> capabilities() const override {
        return {{71, {1}}, {72, {1}}, {73, {1}}, {77, {1}}, {78, {1}}, {79, {1}}};
    }
    std::vector<std::uint8_t> encode(const Image& page, const WriteOptions& opt) const override {
        const Target t = targetFor(opt.code);
        if (page.width() > 0x7FFF || page.height() > 0x7FFF)
            fail(kFormat, "page of " + std::to_string(page.width()) + " x " + std::to_string(page.height()) +
                              " pixels is larger than IOCA's 32767 x 32767");
        const std::uint16_t xr = resolutionField(page.xDpi);
        const std::uint16_t yr = resolutionField(page.yDpi > 0 ? page.yDpi : page.xDpi);
        std::vector<std::uint8_t> segment = imageSegment(page, t, xr, yr);
        return t.modca ? modcaDocument(page, segment, xr, yr) : segment;
    }
};

}  // namespace

void registerIocaCodec(Registry& registry) { registry.addCodec<IocaReader, IocaWriter>(); }

}  // namespace rastel::imaging
