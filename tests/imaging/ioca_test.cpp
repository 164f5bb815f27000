#include <gtest/gtest.h>

#include <map>

#include "imaging/codecs/common/ccitt.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/page_checks.h"
#include "tests/support/prelude.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// ---- a small reader of our own, written from the IOCA and MO:DCA references,
// ---- independent of the codec, to check what the writer produced.

struct SegmentInfo {
    std::vector<unsigned> order;  // parameter ids in file order (FE92 once per piece)
    int unitBase = -1, xRes = 0, yRes = 0, width = 0, height = 0;
    int compression = -1, recording = -1, ideSize = -1;
    Bytes data;
    bool ok = false;
};

SegmentInfo readSegment(const Bytes& b) {
    SegmentInfo s;
    std::size_t at = 0;
    while (at < b.size()) {
        unsigned id = b[at];
        std::size_t len, body;
        if (id == 0xFE) {
            if (at + 4 > b.size()) return s;
            id = 0xFE00 | b[at + 1];
            len = getU16be(b, at + 2);
            body = at + 4;
        } else {
            if (at + 2 > b.size()) return s;
            len = b[at + 1];
            body = at + 2;
        }
        if (body + len > b.size()) return s;
        s.order.push_back(id);
        if (id == 0x94 && len == 9) {
            s.unitBase = b[body];
            s.xRes = static_cast<int>(getU16be(b, body + 1));
            s.yRes = static_cast<int>(getU16be(b, body + 3));
            s.width = static_cast<int>(getU16be(b, body + 5));
            s.height = static_cast<int>(getU16be(b, body + 7));
        } else if (id == 0x95 && len >= 2) {
            s.compression = b[body];
            s.recording = b[body + 1];
        } else if (id == 0x96 && len == 1) {
            s.ideSize = b[body];
        } else if (id == 0xFE92) {
            s.data.insert(s.data.end(), b.begin() + static_cast<long>(body), b.begin() + static_cast<long>(body + len));
        }
        at = body + len;
    }
    s.ok = true;
    return s;
}

struct Sf {
    std::uint32_t id;
    Bytes data;
};

std::vector<Sf> readFields(const Bytes& b) {
    std::vector<Sf> out;
    std::size_t at = 0;
    while (at + 9 <= b.size() && b[at] == 0x5A) {
        const std::size_t len = getU16be(b, at + 1);
        if (len < 8 || at + 1 + len > b.size()) break;
        out.push_back({static_cast<std::uint32_t>(b[at + 3] << 16 | b[at + 4] << 8 | b[at + 5]),
                       Bytes(b.begin() + static_cast<long>(at + 9), b.begin() + static_cast<long>(at + 1 + len))});
        at += 1 + len;
    }
    EXPECT_EQ(at, b.size()) << "structured fields do not cover the file";
    return out;
}

struct Code {
    int code;
    bool modca;
    int compression;
    const char* fax2tiffCoding;
};
const Code kCodes[] = {{71, true, 0x80, "-1"},  {72, true, 0x81, "-2"},  {73, true, 0x82, "-4"},
                       {77, false, 0x80, "-1"}, {78, false, 0x81, "-2"}, {79, false, 0x82, "-4"}};

// The image segment of a file we wrote, checked on the way.
SegmentInfo segmentOf(const Bytes& file, bool modca) {
    if (!modca) return readSegment(file);
    const std::vector<Sf> fields = readFields(file);
    Bytes ipd;
    std::vector<std::uint32_t> ids;
    for (const Sf& f : fields) {
        if (f.id == 0xD3EEFB) ipd.insert(ipd.end(), f.data.begin(), f.data.end());
        if (ids.empty() || ids.back() != f.id || f.id != 0xD3EEFB) ids.push_back(f.id);
    }
    const std::vector<std::uint32_t> expect = {0xD3A8A8, 0xD3A8AF, 0xD3A8C9, 0xD3A6AF, 0xD3A9C9,
                                               0xD3A8FB, 0xD3A8C7, 0xD3A66B, 0xD3AC6B, 0xD3A6FB,
                                               0xD3A9C7, 0xD3EEFB, 0xD3A9FB, 0xD3A9AF, 0xD3A9A8};
    EXPECT_EQ(ids, expect);
    return readSegment(ipd);
}

TEST(Ioca, RoundTripsEveryCode) {
    TempDir dir("ioca");
    for (const Code& c : kCodes)
        for (int w : {1, 7, 1728, 2000}) {
            SCOPED_TRACE(std::to_string(c.code) + " width " + std::to_string(w));
            Image page = bilevelPage(w, 21, static_cast<std::uint32_t>(w));
            page.xDpi = 300;
            page.yDpi = 150;
            savePage(dir.file("r.ica"), page, c.code, 1, 2);
            if (w < 100)
                keepFuzzSeed("fuzz_ioca", std::to_string(c.code) + "-" + std::to_string(w) + ".ica",
                             readBytes(dir.file("r.ica")));
            EXPECT_EQ(probePageCount(dir.file("r.ica")), 1);
            expectPagesAsRead("IOCA", readBytes(dir.file("r.ica")));
            const Document doc = loadDocument(dir.file("r.ica"));
            ASSERT_EQ(doc.pages.size(), 1u);
            EXPECT_TRUE(sameBlackPixels(page, doc.pages[0]));
            EXPECT_DOUBLE_EQ(doc.pages[0].xDpi, 300);
            EXPECT_DOUBLE_EQ(doc.pages[0].yDpi, 150);
        }
}

TEST(Ioca, WrittenStructureDecodesWithFax2tiff) {
    RASTEL_REQUIRE_TOOLS("fax2tiff", "tifftopnm");
    TempDir dir("ioca");
    for (const Code& c : kCodes) {
        SCOPED_TRACE(c.code);
        // Dense noise: more than one Image Data piece and several IPD fields.
        const Image page = noisePage(1728, 400);
        savePage(dir.file("s.ica"), page, c.code, 1, 2);
        const Bytes file = readBytes(dir.file("s.ica"));
        if (!c.modca) {
            EXPECT_EQ(Bytes(file.begin(), file.begin() + 5), (Bytes{0x70, 0x00, 0x91, 0x01, 0xFF}));
        }
        const SegmentInfo s = segmentOf(file, c.modca);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.unitBase, 0);
        EXPECT_EQ(s.xRes, 2000);  // no dpi: 200 per inch, counted per 10 inches
        EXPECT_EQ(s.width, 1728);
        EXPECT_EQ(s.height, 400);
        EXPECT_EQ(s.compression, c.compression);
        EXPECT_EQ(s.recording, 0x01);
        EXPECT_EQ(s.ideSize, 1);
        ASSERT_GE(s.order.size(), 8u);
        EXPECT_EQ(s.order.front(), 0x70u);
        EXPECT_EQ(s.order[1], 0x91u);
        EXPECT_EQ(s.order[s.order.size() - 2], 0x93u);
        EXPECT_EQ(s.order.back(), 0x71u);
        EXPECT_GT(std::count(s.order.begin(), s.order.end(), 0xFE92u), 1);
        writeBytes(dir.file("s.raw"), s.data);
        ASSERT_TRUE(runQuiet("fax2tiff -M " + std::string(c.fax2tiffCoding) + " -X 1728 -o " + dir.file("s.tif") + " " +
                             dir.file("s.raw")));
        ASSERT_TRUE(runQuiet("tifftopnm " + dir.file("s.tif") + " > " + dir.file("s.pbm")));
        EXPECT_TRUE(showsPageThenWhite(readPnmFile(dir.file("s.pbm")), page));
    }
}

// A bare segment built by hand: size, encoding (with bit order), data.
Bytes handSegment(int w, int h, Bytes encoding, const Bytes& data, int ide = 1) {
    Bytes b = {0x70, 0x00, 0x91, 0x01, 0xFF, 0x94, 0x09, 0x00, 0x07, 0xD0, 0x07, 0xD0};
    b.push_back(static_cast<std::uint8_t>(w >> 8));
    b.push_back(static_cast<std::uint8_t>(w));
    b.push_back(static_cast<std::uint8_t>(h >> 8));
    b.push_back(static_cast<std::uint8_t>(h));
    b.push_back(0x95);
    b.push_back(static_cast<std::uint8_t>(encoding.size()));
    b.insert(b.end(), encoding.begin(), encoding.end());
    b.insert(b.end(), {0x96, 0x01, static_cast<std::uint8_t>(ide), 0xFE, 0x92});
    b.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    b.push_back(static_cast<std::uint8_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), {0x93, 0x00, 0x71, 0x00});
    return b;
}

std::uint8_t reversed(std::uint8_t v) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (v & (1 << i)) r = static_cast<std::uint8_t>(r | (0x80 >> i));
    return r;
}

TEST(Ioca, ReadsOtherEncodingsAndBitOrder) {
    TempDir dir("ioca");
    const Image page = bilevelPage(40, 6, 3);
    Bytes g4 = ccittEncode(page, CcittCoding::G4);
    Bytes g4Reversed = g4;
    for (auto& v : g4Reversed) v = reversed(v);
    Bytes raw;  // uncompressed: rows of packed bits, 1 = black
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 40; x += 8) {
            std::uint8_t v = 0;
            for (int k = 0; k < 8; ++k) v = static_cast<std::uint8_t>(v << 1 | page.row(y)[x + k]);
            raw.push_back(v);
        }
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"g4 left to right", handSegment(40, 6, {0x82, 0x01}, g4)},
        {"g4 right to left", handSegment(40, 6, {0x82, 0x01, 0x01}, g4Reversed)},
        {"uncompressed", handSegment(40, 6, {0x03, 0x01}, raw)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(dir.file("o.ica"), c.file);
        const Document doc = loadDocument(dir.file("o.ica"));
        EXPECT_TRUE(sameBlackPixels(page, doc.pages[0]));
        EXPECT_DOUBLE_EQ(doc.pages[0].xDpi, 200);
    }
}

TEST(Ioca, BadFilesAreErrors) {
    TempDir dir("ioca");
    const Image page = bilevelPage(64, 10);
    const Bytes g4 = ccittEncode(page, CcittCoding::G4);
    savePage(dir.file("m.ica"), page, 73, 1, 2);
    const Bytes modca = readBytes(dir.file("m.ica"));
    struct Case {
        const char* name;
        Bytes file;
    };
    std::vector<Case> cases = {
        {"jpeg compression", handSegment(64, 10, {0x83, 0x01}, g4)},
        {"8-bit image points", handSegment(64, 10, {0x82, 0x01}, g4, 8)},
        {"zero width", handSegment(0, 10, {0x82, 0x01}, g4)},
        {"taller than the data", handSegment(64, 30, {0x82, 0x01}, g4)},
        {"no data", handSegment(64, 10, {0x82, 0x01}, {})},
        {"uncompressed too short", handSegment(64, 10, {0x03, 0x01}, Bytes(20, 0))},
        {"segment cut", Bytes(g4.begin(), g4.begin() + 1)},
        {"modca cut", Bytes(modca.begin(), modca.begin() + static_cast<long>(modca.size() - 30))},
        {"modca without image", Bytes(modca.begin(), modca.begin() + 9 + 10)},
    };
    // A bare segment cut inside its data.
    const Bytes whole = handSegment(64, 10, {0x82, 0x01}, g4);
    cases.push_back({"segment cut in data", Bytes(whole.begin(), whole.begin() + 30)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(dir.file("b.ica"), c.file);
        EXPECT_THROW(loadDocument(dir.file("b.ica")), Error);
    }
}

TEST(Ioca, CorruptedBytesNeverCrash) {
    TempDir dir("ioca");
    savePage(dir.file("c.ica"), bilevelPage(200, 30), 72, 1, 2);
    const Bytes good = readBytes(dir.file("c.ica"));
    const FormatReader* ioca = Registry::instance().reader("IOCA");
    ASSERT_NE(ioca, nullptr);
    for (std::size_t i = 0; i < good.size(); i += 3) {
        Bytes bad = good;
        bad[i] = static_cast<std::uint8_t>(bad[i] ^ 0xA5);
        try {
            (void)ioca->read(bad, ReadContext{"c.ica"});
        } catch (const Error&) {
        }
    }
}

TEST(Ioca, Sniff) {
    const FormatReader* ioca = Registry::instance().reader("IOCA");
    ASSERT_NE(ioca, nullptr);
    struct Case {
        Bytes head;
        Sniff expect;
    };
    const Case cases[] = {
        {{0x5A, 0x00, 0x10, 0xD3, 0xA8, 0xA8, 0x00, 0x00, 0x00, 0x40}, Sniff::Strong},
        {{0x5A, 0x00, 0x02, 0xD3, 0xA8, 0xA8, 0x00, 0x00, 0x00, 0x40}, Sniff::No},  // length below 8
        {{0x70, 0x00, 0x91, 0x01, 0xFF}, Sniff::Strong},
        {{0x70, 0x00, 0x00}, Sniff::Weak},
        {{0x71, 0x00, 0x91}, Sniff::No},
        {{'P', '4'}, Sniff::No},
    };
    for (const Case& c : cases) EXPECT_EQ(ioca->sniff(c.head), c.expect);
}

TEST(Ioca, RefusesPagesLargerThanItsFields) {
    TempDir dir("ioca");
    const Image wide(40000, 1, PixelFormat::Indexed, 1);
    EXPECT_THROW(savePage(dir.file("w.ica"), wide, 79, 1, 2), Error);
}

}  // namespace
