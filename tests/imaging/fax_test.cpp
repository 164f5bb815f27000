#include <gtest/gtest.h>

#include <tiffio.h>

#include "imaging/codecs/common/ccitt.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

struct FaxCase {
    int code;
    const char* fax2tiffCoding;  // option telling fax2tiff the coding
    int width, height;
};

// G3 widths are found from the lines themselves (any width); G4 only at fax widths.
const FaxCase kCases[] = {
    {66, "-1", 1, 4},     {66, "-1", 7, 9},     {66, "-1", 1728, 40}, {66, "-1", 2000, 12},
    {67, "-2", 1, 4},     {67, "-2", 7, 9},     {67, "-2", 1728, 40}, {67, "-2", 2000, 12},
    {68, "-4", 1728, 40}, {68, "-4", 2048, 10}, {68, "-4", 864, 7},   {68, "-4", 2432, 3},
};

std::string caseName(const FaxCase& c) {
    return std::to_string(c.code) + " " + std::to_string(c.width) + "x" + std::to_string(c.height);
}

TEST(Fax, RoundTripsThroughTheEngine) {
    TempDir dir("fax");
    for (const FaxCase& c : kCases) {
        SCOPED_TRACE(caseName(c));
        const Image page = bilevelPage(c.width, c.height, static_cast<std::uint32_t>(c.code));
        const std::string path = dir.file("p" + std::to_string(c.code) + ".fax");
        savePage(path, page, c.code, 1, 2);
        keepFuzzSeed("fuzz_fax", caseName(c) + ".fax", readBytes(path));
        EXPECT_EQ(probePageCount(path), 1);
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_TRUE(sameBlackPixels(page, doc.pages[0]));
        EXPECT_EQ(doc.pages[0].xDpi, 204);
        EXPECT_EQ(doc.pages[0].yDpi, 196);
    }
}

TEST(Fax, ColourPagesAreSavedByLuminance) {
    TempDir dir("fax");
    Image rgb(1728, 2, PixelFormat::Rgb24);
    for (int x = 0; x < 1728; ++x)
        for (int c = 0; c < 3; ++c) {
            rgb.row(0)[3 * x + c] = 250;                 // light line
            rgb.row(1)[3 * x + c] = x < 900 ? 20 : 240;  // dark left, light right
        }
    savePage(dir.file("c.fax"), rgb, 68, 1, 2);
    const Image back = loadDocument(dir.file("c.fax")).pages[0];
    EXPECT_EQ(back.row(0)[5], 0);
    EXPECT_EQ(back.row(1)[899], 1);
    EXPECT_EQ(back.row(1)[900], 0);
}

TEST(Fax, Fax2tiffDecodesOurFiles) {
    RASTEL_REQUIRE_TOOLS("fax2tiff", "tifftopnm");
    TempDir dir("fax");
    for (const FaxCase& c : kCases) {
        SCOPED_TRACE(caseName(c));
        const Image page = bilevelPage(c.width, c.height, 5);
        const std::string fax = dir.file("f.fax"), tif = dir.file("f.tif"), pbm = dir.file("f.pbm");
        savePage(fax, page, c.code, 1, 2);
        ASSERT_TRUE(runQuiet("fax2tiff -M " + std::string(c.fax2tiffCoding) + " -X " + std::to_string(c.width) +
                             " -o " + tif + " " + fax));
        ASSERT_TRUE(runQuiet("tifftopnm " + tif + " > " + pbm));
        // fax2tiff turns RTC and EOFB into extra white lines.
        const Image decoded = readPnmFile(pbm);
        EXPECT_TRUE(showsPageThenWhite(decoded, page)) << decoded.width() << "x" << decoded.height();
    }
}

TEST(Fax, ReadsDataStoredLeastSignificantBitFirst) {
    TempDir dir("fax");
    for (const FaxCase& c : {kCases[2], kCases[7], kCases[8]}) {
        SCOPED_TRACE(caseName(c));
        const Image page = bilevelPage(c.width, c.height, 11);
        Bytes data = ccittEncode(page, c.code == 66   ? CcittCoding::G3OneD
                                       : c.code == 67 ? CcittCoding::G3TwoD
                                                      : CcittCoding::G4);
        for (auto& b : data) {
            std::uint8_t r = 0;
            for (int i = 0; i < 8; ++i)
                if (b & (1 << i)) r = static_cast<std::uint8_t>(r | (0x80 >> i));
            b = r;
        }
        writeBytes(dir.file("lsb.fax"), data);
        EXPECT_TRUE(sameBlackPixels(page, loadDocument(dir.file("lsb.fax")).pages[0]));
        if (c.code != 68 && haveTool("fax2tiff") && haveTool("tifftopnm")) {  // fax2tiff's own default order
            ASSERT_TRUE(runQuiet("fax2tiff " + std::string(c.fax2tiffCoding) + " -X " + std::to_string(c.width) +
                                 " -o " + dir.file("lsb.tif") + " " + dir.file("lsb.fax")));
            ASSERT_TRUE(runQuiet("tifftopnm " + dir.file("lsb.tif") + " > " + dir.file("lsb.pbm")));
            EXPECT_TRUE(showsPageThenWhite(readPnmFile(dir.file("lsb.pbm")), page));
        }
    }
}

TEST(Fax, G3topbmReadsOurOneDimensionalFiles) {
    RASTEL_REQUIRE_TOOLS("g3topbm");
    TempDir dir("fax");
    for (int w : {7, 1728, 2000}) {
        SCOPED_TRACE(w);
        const Image page = bilevelPage(w, 30, 9);
        savePage(dir.file("g.fax"), page, 66, 1, 2);
        ASSERT_TRUE(runQuiet("g3topbm " + dir.file("g.fax") + " > " + dir.file("g.pbm")));
        EXPECT_TRUE(sameBlackPixels(readPnmFile(dir.file("g.pbm")), page));
    }
}

TEST(Fax, ReadsImageMagickFaxFiles) {
    RASTEL_REQUIRE_TOOLS("convert");
    TempDir dir("fax");
    const Image page = bilevelPage(300, 80, 3);
    const std::string pbm = dir.file("s.pbm");
    ASSERT_TRUE(
        runQuiet("convert -size 300x80 xc:white -fill black -draw 'rectangle 10,10 100,40' "
                 "-draw 'circle 200,40 220,60' " +
                 pbm));
    const Image source = readPnmFile(pbm);
    ASSERT_FALSE(source.empty());
    for (const char* coder : {"FAX", "G3"}) {
        SCOPED_TRACE(coder);
        const std::string fax = dir.file(std::string(coder) + ".fax");
        ASSERT_TRUE(runQuiet("convert " + pbm + " " + coder + ":" + fax));
        const Document doc = loadDocument(fax);
        ASSERT_EQ(doc.pages.size(), 1u);
        // ImageMagick pads every line to the 1728-pel fax width.
        EXPECT_EQ(doc.pages[0].width(), 1728);
        EXPECT_TRUE(showsPageThenWhite(doc.pages[0], source));
    }
}

// The one strip of a TIFF file, as raw coded bytes ({} when there is not exactly one).
Bytes rawStrip(const std::string& path) {
    TIFFSetWarningHandler(nullptr);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return {};
    Bytes out;
    if (TIFFNumberOfStrips(t) == 1) {
        out.resize(static_cast<std::size_t>(TIFFRawStripSize(t, 0)));
        if (TIFFReadRawStrip(t, 0, out.data(), static_cast<tmsize_t>(out.size())) != static_cast<tmsize_t>(out.size()))
            out.clear();
    }
    TIFFClose(t);
    return out;
}

TEST(Fax, ReadsStripsCodedByTiffcp) {
    RASTEL_REQUIRE_TOOLS("tiffcp", "convert");
    TempDir dir("fax");
    // tiffcp leaves RTC out of G3 strips and, without ":fill", does not align EOLs.
    const char* codings[] = {"g3:1d", "g3:1d:fill", "g3:2d", "g3:2d:fill", "g4"};
    for (int w : {1728, 2000}) {
        const std::string pbm = dir.file("s.pbm"), tif = dir.file("s.tif");
        ASSERT_TRUE(runQuiet("convert -size " + std::to_string(w) +
                             "x70 xc:white -fill black -draw 'rectangle 30,5 400,30' -draw 'circle 900,40 930,60' "
                             "-draw 'line 0,69 " +
                             std::to_string(w - 1) + ",0' " + pbm));
        ASSERT_TRUE(runQuiet("convert " + pbm + " -define quantum:polarity=min-is-white " + tif));
        const Image source = readPnmFile(pbm);
        for (const char* coding : codings) {
            if (w != 1728 && std::string(coding) == "g4") continue;  // bare G4 needs a listed width
            SCOPED_TRACE(std::to_string(w) + " " + coding);
            const std::string coded = dir.file("c.tif");
            ASSERT_TRUE(runQuiet("tiffcp -c " + std::string(coding) + " -f msb2lsb -r 100000 " + tif + " " + coded));
            writeBytes(dir.file("c.fax"), rawStrip(coded));
            EXPECT_TRUE(sameBlackPixels(source, loadDocument(dir.file("c.fax")).pages[0]));
        }
    }
}

TEST(Fax, SniffIsWeakAtBest) {
    const FormatReader* fax = Registry::instance().reader("FAX");
    ASSERT_NE(fax, nullptr);
    const Image page = bilevelPage(100, 5);
    struct Case {
        const char* name;
        Bytes head;
        Sniff expect;
    };
    const Case cases[] = {
        {"g3 1d", ccittEncode(page, CcittCoding::G3OneD), Sniff::Weak},
        {"g3 2d", ccittEncode(page, CcittCoding::G3TwoD), Sniff::Weak},
        {"g4", ccittEncode(page, CcittCoding::G4), Sniff::Weak},
        {"zeros", Bytes(64, 0), Sniff::No},
        {"one byte", Bytes{0x80}, Sniff::No},
    };
    for (const Case& c : cases) EXPECT_EQ(fax->sniff(c.head), c.expect) << c.name;
}

TEST(Fax, DamagedFilesAreErrors) {
    TempDir dir("fax");
    const Bytes g4 = ccittEncode(bilevelPage(1728, 30), CcittCoding::G4);
    struct Case {
        const char* name;
        Bytes data;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"g4 of an unlisted width", ccittEncode(bilevelPage(1000, 20), CcittCoding::G4)},
        {"g4 cut short", Bytes(g4.begin(), g4.begin() + static_cast<long>(g4.size() / 3))},
        {"eol then nothing", Bytes{0x00, 0x01, 0x00, 0x01, 0x00, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(dir.file("bad.fax"), c.data);
        EXPECT_THROW(loadDocument(dir.file("bad.fax")), Error);
    }
}

}  // namespace
