#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

std::string record(const Bytes& file, int index) {
    return std::string(reinterpret_cast<const char*>(file.data()) + index * 128, 128);
}

// Replaces the header record that starts with `key` by `text` (space padded).
void setRecord(Bytes& file, const std::string& key, const std::string& text) {
    for (int r = 0; r < 16; ++r)
        if (record(file, r).rfind(key, 0) == 0) {
            std::string rec = text;
            rec.resize(128, ' ');
            std::memcpy(file.data() + r * 128, rec.data(), 128);
            return;
        }
    ADD_FAILURE() << "no record " << key;
}

TEST(Cals, RoundTripsAndKeepsTheDensity) {
    TempDir dir("cals");
    struct Case {
        int w, h;
        double dpi, expectDpi;
    };
    const Case cases[] = {{1, 1, 300, 300}, {7, 13, 0, 200}, {1728, 40, 200, 200}, {2000, 9, 400, 400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        Image page = bilevelPage(c.w, c.h, 2);
        page.xDpi = page.yDpi = c.dpi;
        savePage(dir.file("a.cal"), page, 50, 1, 2);
        keepFuzzSeed("fuzz_cals", std::to_string(c.w) + ".cal", readBytes(dir.file("a.cal")));
        const Document doc = loadDocument(dir.file("a.cal"));
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_TRUE(sameBlackPixels(page, doc.pages[0]));
        EXPECT_EQ(doc.pages[0].xDpi, c.expectDpi);
        EXPECT_EQ(doc.pages[0].yDpi, c.expectDpi);
    }
}

TEST(Cals, HeaderRecords) {
    TempDir dir("cals");
    Image page = bilevelPage(1728, 50);
    page.xDpi = page.yDpi = 300;
    savePage(dir.file("h.cal"), page, 50, 1, 2);
    const Bytes file = readBytes(dir.file("h.cal"));
    ASSERT_GT(file.size(), 2048u);
    const char* expect[] = {"srcdocid: ",    "dstdocid: ",       "txtfilid: ",
                            "figid: ",       "srcgph: ",         "doccls: ",
                            "rtype: 1",      "rorient: 000,270", "rpelcnt: 001728,000050",
                            "rdensty: 0300", "notes: "};
    for (int r = 0; r < 11; ++r) EXPECT_EQ(record(file, r).rfind(expect[r], 0), 0u) << record(file, r);
    for (int r = 11; r < 16; ++r) EXPECT_EQ(record(file, r), std::string(128, ' '));
}

TEST(Cals, IndependentToolsReadOurFiles) {
    RASTEL_REQUIRE_TOOLS("identify", "fax2tiff", "tifftopnm");
    TempDir dir("cals");
    const Image page = bilevelPage(2000, 30, 4);
    savePage(dir.file("t.cal"), page, 50, 1, 2);
    EXPECT_EQ(capture("/usr/bin/identify -format '%m %wx%h' " + dir.file("t.cal")), "CALS 2000x30");
    const Bytes file = readBytes(dir.file("t.cal"));
    writeBytes(dir.file("t.g4"), Bytes(file.begin() + 2048, file.end()));
    ASSERT_TRUE(runQuiet("fax2tiff -M -4 -X 2000 -o " + dir.file("t.tif") + " " + dir.file("t.g4")));
    ASSERT_TRUE(runQuiet("tifftopnm " + dir.file("t.tif") + " > " + dir.file("t.pbm")));
    EXPECT_TRUE(showsPageThenWhite(readPnmFile(dir.file("t.pbm")), page));
}

TEST(Cals, ReadsImageMagickFiles) {
    RASTEL_REQUIRE_TOOLS("convert");
    TempDir dir("cals");
    for (int w : {300, 1728, 33}) {
        SCOPED_TRACE(w);
        const std::string pbm = dir.file("s.pbm"), cal = dir.file("s.cal");
        ASSERT_TRUE(runQuiet("convert -size " + std::to_string(w) +
                             "x60 xc:white -fill black -draw 'rectangle 3,3 20,40' -draw 'line 0,59 " +
                             std::to_string(w - 1) + ",0' " + pbm));
        ASSERT_TRUE(runQuiet("convert " + pbm + " CALS:" + cal));
        const Document doc = loadDocument(cal);
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_TRUE(sameBlackPixels(readPnmFile(pbm), doc.pages[0]));
    }
}

TEST(Cals, RotatesAndMirrorsByRorient) {
    TempDir dir("cals");
    const int w = 5, h = 3;
    const Image stored = bilevelPage(w, h, 8);
    // Where pel i of line j of the stored data belongs on the page.
    struct Case {
        const char* rorient;
        int outW, outH;
        std::function<std::pair<int, int>(int, int)> place;
    };
    const Case cases[] = {
        {"000,270", w, h,
         [](int i, int j) {
             return std::pair{i, j};
         }},
        {"180,270", w, h,
         [](int i, int j) {
             return std::pair{w - 1 - i, j};
         }},
        {"000,090", w, h,
         [](int i, int j) {
             return std::pair{i, h - 1 - j};
         }},
        {"180,090", w, h,
         [](int i, int j) {
             return std::pair{w - 1 - i, h - 1 - j};
         }},
        {"270,180", h, w,
         [](int i, int j) {
             return std::pair{h - 1 - j, i};
         }},
        {"090,000", h, w,
         [](int i, int j) {
             return std::pair{j, w - 1 - i};
         }},
        {"270,000", h, w,
         [](int i, int j) {
             return std::pair{j, i};
         }},
    };
    savePage(dir.file("o.cal"), stored, 50, 1, 2);
    const Bytes original = readBytes(dir.file("o.cal"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rorient);
        Bytes file = original;
        setRecord(file, "rorient:", std::string("rorient: ") + c.rorient);
        writeBytes(dir.file("r.cal"), file);
        const Image page = loadDocument(dir.file("r.cal")).pages[0];
        ASSERT_EQ(page.width(), c.outW);
        ASSERT_EQ(page.height(), c.outH);
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                const auto [x, y] = c.place(i, j);
                EXPECT_EQ(page.row(y)[x], stored.row(j)[i]) << i << "," << j;
            }
    }
}

TEST(Cals, BadFilesAreErrors) {
    TempDir dir("cals");
    savePage(dir.file("g.cal"), bilevelPage(300, 40), 50, 1, 2);
    const Bytes good = readBytes(dir.file("g.cal"));
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* message;    // part of the error text
        bool inHeader = false;  // found by counting pages too
    };
    const Case cases[] = {
        {"raster type 2", [](Bytes& f) { setRecord(f, "rtype:", "rtype: 2"); }, "type 2", true},
        {"no rpelcnt", [](Bytes& f) { setRecord(f, "rpelcnt:", "xpelcnt: 1,1"); }, "rpelcnt", true},
        {"bad rpelcnt", [](Bytes& f) { setRecord(f, "rpelcnt:", "rpelcnt: 300"); }, "rpelcnt", true},
        {"zero width", [](Bytes& f) { setRecord(f, "rpelcnt:", "rpelcnt: 000000,000040"); }, "CALS", true},
        {"too tall", [](Bytes& f) { setRecord(f, "rpelcnt:", "rpelcnt: 000300,000080"); }, "ends after"},
        {"odd angle", [](Bytes& f) { setRecord(f, "rorient:", "rorient: 045,270"); }, "rorient"},
        {"not at right angles", [](Bytes& f) { setRecord(f, "rorient:", "rorient: 000,180"); }, "rorient"},
        {"header cut", [](Bytes& f) { f.resize(1000); }, "2048", true},
        {"data cut", [](Bytes& f) { f.resize(2048 + (f.size() - 2048) / 2); }, "CALS"},
        {"no data", [](Bytes& f) { f.resize(2048); }, "CALS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = good;
        c.damage(file);
        writeBytes(dir.file("b.cal"), file);
        try {
            (void)loadDocument(dir.file("b.cal"));
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        if (c.inHeader) {
            EXPECT_THROW((void)probePageCount(dir.file("b.cal")), Error);
        }
    }
}

TEST(Cals, SniffsTheHeader) {
    const FormatReader* cals = Registry::instance().reader("CALS");
    ASSERT_NE(cals, nullptr);
    auto bytes = [](const char* s) { return Bytes(s, s + std::strlen(s)); };
    EXPECT_EQ(cals->sniff(bytes("srcdocid: NONE   ")), Sniff::Strong);
    EXPECT_EQ(cals->sniff(bytes("rtype: 1")), Sniff::Strong);
    EXPECT_EQ(cals->sniff(bytes("SRCDOCID: x")), Sniff::Strong);
    EXPECT_EQ(cals->sniff(bytes("srcdoc")), Sniff::No);
    EXPECT_EQ(cals->sniff(bytes("II*\0")), Sniff::No);
}

}  // namespace
