#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/image.h"
#include "imaging/metadata.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using rastel::test::capture;
using rastel::test::haveTool;
using rastel::test::parsePnm;
using rastel::test::readBytes;
using rastel::test::runQuiet;
using rastel::test::TempDir;

namespace {

const std::string kAdobeRgb = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc";

bool haveTools() { return haveTool("convert") && haveTool("exiftool"); }

// 24 x 16 pixels in six flat 8 x 8 blocks of different colours, so every turn
// and mirror gives a different picture and JPEG keeps the blocks flat.
std::string makeBlocks(const TempDir& dir) {
    const std::string path = dir / "blocks.ppm";
    runQuiet("convert -size 8x8 xc:red xc:lime xc:blue +append \\( -size 8x8 xc:yellow xc:black xc:white +append \\) "
             "-append " + path);
    return path;
}

int maxDifference(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height()) return 256;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x) worst = std::max(worst, std::abs(a.row(y)[x] - b.row(y)[x]));
    return worst;
}

double meanDifference(const Image& a, const Image& b) {
    long sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x) sum += std::abs(a.row(y)[x] - b.row(y)[x]);
    return double(sum) / (3.0 * a.width() * a.height());
}

TEST(Orientation, ReadersTurnPagesUpright) {
    if (!haveTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    // How an independent tool turns the stored picture for each orientation value.
    const char* const turn[9] = {"", "", "-flop", "-rotate 180", "-flip", "-transpose", "-rotate 90", "-transverse",
                                 "-rotate 270"};
    struct Row {
        const char* ext;
        int tolerance;
    };
    const Row rows[] = {{"jpg", 8}, {"png", 0}, {"tif", 0}};
    TempDir dir("rastel-orient");
    const std::string blocks = makeBlocks(dir);
    for (const Row& row : rows) {
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE(std::string(row.ext) + " orientation " + std::to_string(o));
            const std::string src = dir / ("src" + std::to_string(o) + "." + row.ext);
            const std::string ref = dir / ("ref" + std::to_string(o) + ".ppm");
            ASSERT_TRUE(runQuiet("convert " + blocks + " -quality 100 " + src));
            ASSERT_TRUE(runQuiet("exiftool -q -overwrite_original -IFD0:Orientation#=" + std::to_string(o) + " " + src));
            ASSERT_TRUE(runQuiet("convert " + blocks + " " + turn[o] + " -depth 8 " + ref));
            const Document doc = loadDocument(src);
            ASSERT_EQ(doc.pages.size(), 1u);
            EXPECT_LE(maxDifference(toRgb24(doc.pages[0]), parsePnm(readBytes(ref))), row.tolerance);
        }
    }
}

// A 40 x 20 photo stored sideways (orientation 6) with an Adobe RGB profile,
// camera Exif with a thumbnail, XMP and IPTC.
std::string makeTaggedPhoto(const TempDir& dir, const std::string& ext) {
    const std::string path = dir / ("tagged." + ext);
    runQuiet("convert -size 40x20 gradient:red-blue -profile " + kAdobeRgb + " " + path);
    runQuiet("exiftool -q -overwrite_original -IFD0:Orientation#=6 -Make=Acme -Model=Cam1 "
             "'-DateTimeOriginal=2020:01:02 03:04:05' -ExifImageWidth=40 -ExifImageHeight=20 "
             "-XMP-dc:Title=Hello -XMP-tiff:Orientation#=6 -IPTC:Keywords=kw1 " + path);
    runQuiet("convert -size 8x8 xc:green " + (dir / "thumb.jpg"));
    runQuiet("exiftool -q -overwrite_original '-ThumbnailImage<=" + (dir / "thumb.jpg") + "' " + path);
    return path;
}

TEST(Metadata, KeptWhereTheOutputHoldsItAndTrue) {
    if (!haveTools()) GTEST_SKIP() << "needs ImageMagick and exiftool";
    struct Row {
        const char* in;
        int code, bits;
        const char* out;
        bool icc, exif, xmp, iptc;
    };
    const Row rows[] = {
        {"jpg", 10, 24, "jpg", true, true, true, true},
        {"jpg", 98, 24, "jpg", true, true, true, true},
        {"jpg", 10, 8, "jpg", false, true, true, true},  // gray: the RGB profile would lie
        {"jpg", 6, 24, "bmp", false, false, false, false},
        {"jpg", 75, 24, "png", true, true, true, false},
        {"jpg", 75, 8, "png", true, true, true, false},  // palette colours are still RGB
        {"png", 10, 24, "jpg", true, true, true, false},  // the PNG source holds no IPTC
        {"png", 75, 24, "png", true, true, true, false},
        {"jpg", 17, 24, "tif", true, false, true, true},  // TIFF output does not carry Exif yet
        {"jpg", 17, 8, "tif", true, false, true, true},  // a palette: its colours are still RGB
    };
    TempDir dir("rastel-meta");
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.in) + " -> code " + std::to_string(row.code) + " at " + std::to_string(row.bits));
        const Document doc = loadDocument(makeTaggedPhoto(dir, row.in));
        ASSERT_EQ(doc.pages[0].width(), 20);
        const std::string out = dir / (std::string("out.") + row.out);
        savePage(out, doc.pages[0], row.code, row.bits, 2);
        const std::string tags =
            capture("exiftool -n -s -G1 -ColorSpaceData -Make -DateTimeOriginal -Orientation -ExifImageWidth "
                    "-ExifImageHeight -ThumbnailLength -Title -Keywords " + out);
        EXPECT_EQ(tags.find("ColorSpaceData") != std::string::npos, row.icc) << tags;
        EXPECT_EQ(tags.find("Make                            : Acme") != std::string::npos, row.exif) << tags;
        EXPECT_EQ(tags.find("Title                           : Hello") != std::string::npos, row.xmp) << tags;
        EXPECT_EQ(tags.find("Keywords                        : kw1") != std::string::npos, row.iptc) << tags;
        EXPECT_EQ(tags.find("Orientation                     : 6"), std::string::npos) << tags;
        EXPECT_EQ(tags.find("ThumbnailLength"), std::string::npos) << tags;
        if (row.exif) {
            EXPECT_NE(tags.find("ExifImageWidth                  : 20"), std::string::npos) << tags;
            EXPECT_NE(tags.find("ExifImageHeight                 : 40"), std::string::npos) << tags;
        }
    }
}

TEST(Colour, CmykJpegConvertsThroughItsProfile) {
    const std::string cmykProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
    if (!haveTools() || !haveTool("tificc") || !std::filesystem::exists(cmykProfile)) GTEST_SKIP() << "needs ImageMagick and Ghostscript's profiles";
    const std::string srgb = "/usr/share/color/icc/sRGB.icc";
    struct Row {
        const char* name;
        bool embedded;  // otherwise the reader falls back to the standard CMYK profile
    };
    const Row rows[] = {{"embedded", true}, {"untagged", false}};
    TempDir dir("rastel-cmyk");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string src = dir / (std::string(row.name) + ".jpg");
        const std::string ref = dir / (std::string(row.name) + ".ppm");
        ASSERT_TRUE(runQuiet("convert -size 48x16 gradient:cyan-orange -profile " + srgb + " -profile " + cmykProfile +
                             " -quality 100 " + std::string(row.embedded ? "" : "-strip ") + src));
        // LittleCMS's own TIFF tool is the reference.
        const std::string tif = dir / (std::string(row.name) + ".tif");
        // An untagged source gets the standard profile attached (not applied) first.
        ASSERT_TRUE(runQuiet("convert " + src + (row.embedded ? "" : " -profile " + cmykProfile) + " " + tif +
                             " && tificc " + tif + " " + tif + ".rgb.tif && convert " + tif + ".rgb.tif -depth 8 " + ref));
        const Document doc = loadDocument(src);
        const Image ours = toRgb24(doc.pages[0]), theirs = parsePnm(readBytes(ref));
        EXPECT_LE(maxDifference(ours, theirs), 4);
        EXPECT_LE(meanDifference(ours, theirs), 1.0);
        EXPECT_TRUE(!doc.pages[0].metadata || doc.pages[0].metadata->icc.empty());
    }
}

}  // namespace
