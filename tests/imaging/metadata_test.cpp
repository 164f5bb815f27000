#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/metadata.h"
#include "tests/support/prelude.h"

namespace {

const std::string kAdobeRgb = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc";

// 24 x 16 pixels in six flat 8 x 8 blocks of different colours, so every turn
// and mirror gives a different picture and JPEG keeps the blocks flat.
std::string makeBlocks(const TempDir& dir) {
    const std::string path = dir / "blocks.ppm";
    runQuiet(
        "convert -size 8x8 xc:red xc:lime xc:blue +append \\( -size 8x8 xc:yellow xc:black xc:white +append \\) "
        "-append " +
        path);
    return path;
}

TEST(Orientation, ReadersTurnPagesUpright) {
    RASTEL_REQUIRE_TOOLS("convert", "exiftool");
    // How an independent tool turns the stored picture for each orientation value.
    const char* const turn[9] = {"",           "",           "-flop",       "-rotate 180", "-flip",
                                 "-transpose", "-rotate 90", "-transverse", "-rotate 270"};
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
            ASSERT_TRUE(
                runQuiet("exiftool -q -overwrite_original -IFD0:Orientation#=" + std::to_string(o) + " " + src));
            ASSERT_TRUE(runQuiet("convert " + blocks + " " + turn[o] + " -depth 8 " + ref));
            const Document doc = loadDocument(src);
            ASSERT_EQ(doc.pages.size(), 1u);
            EXPECT_LE(maxRgbDiff(toRgb24(doc.pages[0]), parsePnm(readBytes(ref))), row.tolerance);
        }
    }
}

// A 40 x 20 photo stored sideways (orientation 6) with an Adobe RGB profile,
// camera Exif with a thumbnail and a location west of Greenwich, XMP and IPTC.
std::string makeTaggedPhoto(const TempDir& dir, const std::string& ext) {
    const std::string path = dir / ("tagged." + ext);
    runQuiet("convert -size 40x20 gradient:red-blue -profile " + kAdobeRgb + " " + path);
    runQuiet(
        "exiftool -q -overwrite_original -IFD0:Orientation#=6 -Make=Acme -Model=Cam1 "
        "'-DateTimeOriginal=2020:01:02 03:04:05' -FNumber=2.8 -ISO=200 -ExifImageWidth=40 -ExifImageHeight=20 "
        "-GPSLatitude=48.8566 -GPSLatitudeRef=N -GPSLongitude=2.3522 -GPSLongitudeRef=W "
        "-XMP-dc:Title=Hello -XMP-tiff:Orientation#=6 -IPTC:Keywords=kw1 " +
        path);
    runQuiet("convert -size 8x8 xc:green " + (dir / "thumb.jpg"));
    runQuiet("exiftool -q -overwrite_original '-ThumbnailImage<=" + (dir / "thumb.jpg") + "' " + path);
    return path;
}

TEST(Metadata, KeptWhereTheOutputHoldsItAndTrue) {
    RASTEL_REQUIRE_TOOLS("convert", "exiftool");
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
        {"jpg", 75, 8, "png", true, true, true, false},   // palette colours are still RGB
        {"png", 10, 24, "jpg", true, true, true, false},  // the PNG source holds no IPTC
        {"png", 75, 24, "png", true, true, true, false},
        {"jpg", 17, 24, "tif", true, true, true, true},
        {"jpg", 17, 8, "tif", true, true, true, true},   // a palette: its colours are still RGB
        {"jpg", 96, 24, "tif", true, true, true, true},  // Exif TIFF: the carried entries join its own
        {"jpg", 11, 24, "tif", true, true, true, true},  // JPEG-compressed TIFF
        {"tif", 10, 24, "jpg", true, true, true, true},
        {"tif", 3, 24, "tif", true, true, true, true},
        {"jpg", 76, 24, "psd", true, true, true, true},
        {"jpg", 76, 8, "psd", true, true, true, true},   // a palette: its colours are still RGB
        {"psd", 10, 24, "jpg", true, true, true, true},  // stored as shown: the orientation is not applied
    };
    TempDir dir("rastel-meta");
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.in) + " -> code " + std::to_string(row.code) + " at " + std::to_string(row.bits));
        const std::string src = makeTaggedPhoto(dir, row.in);
        const Document doc = loadDocument(src);
        const int w = doc.pages[0].width(), h = doc.pages[0].height();
        if (std::string(row.in) == "tif") {
            // A TIFF is read from its file in pieces; what it carries is what the whole file in memory gives.
            const Document whole = Registry::instance().reader("TIFF")->read(readBytes(src), ReadContext{src});
            ASSERT_TRUE(doc.pages[0].metadata && whole.pages[0].metadata);
            EXPECT_EQ(doc.pages[0].metadata->exif, whole.pages[0].metadata->exif);
            EXPECT_EQ(doc.pages[0].metadata->xmp, whole.pages[0].metadata->xmp);
        }
        ASSERT_EQ(w, std::string(row.in) == "psd" ? 40 : 20);
        const std::string out = dir / (std::string("out.") + row.out);
        savePage(out, doc.pages[0], row.code, row.bits, 2);
        const std::string tags = capture(
            "exiftool -n -s -G1 -ColorSpaceData -Make -DateTimeOriginal -FNumber -ISO -Orientation -ExifImageWidth "
            "-ExifImageHeight -GPSLatitude -GPSLongitude -ThumbnailLength -Title -Keywords " +
            out);
        EXPECT_EQ(tags.find("ColorSpaceData") != std::string::npos, row.icc) << tags;
        EXPECT_EQ(tags.find("Make                            : Acme") != std::string::npos, row.exif) << tags;
        EXPECT_EQ(tags.find("Title                           : Hello") != std::string::npos, row.xmp) << tags;
        EXPECT_EQ(tags.find("Keywords                        : kw1") != std::string::npos, row.iptc) << tags;
        EXPECT_EQ(tags.find("Orientation                     : 6"), std::string::npos) << tags;
        EXPECT_EQ(tags.find("ThumbnailLength"), std::string::npos) << tags;
        if (row.exif) {
            // A rational and a counted array, set on libtiff's Exif directory in their own forms
            // (libtiff keeps such rationals as floats: 2.8 comes back as 2.799999952), and the
            // location from the GPS directory, its hemisphere included.
            const auto number = [&](const std::string& name) {
                const auto at = tags.find(name + std::string(32 - name.size(), ' ') + ": ");
                return at == std::string::npos ? -1000.0 : std::stod(tags.substr(at + 34));
            };
            EXPECT_NEAR(number("FNumber"), 2.8, 1e-6) << tags;
            EXPECT_NEAR(number("GPSLatitude"), 48.8566, 1e-6) << tags;
            EXPECT_NEAR(number("GPSLongitude"), -2.3522, 1e-6) << tags;
            EXPECT_NE(tags.find("ISO                             : 200"), std::string::npos) << tags;
            EXPECT_NE(tags.find("ExifImageWidth                  : " + std::to_string(w)), std::string::npos) << tags;
            EXPECT_NE(tags.find("ExifImageHeight                 : " + std::to_string(h)), std::string::npos) << tags;
        }
    }
}

TEST(Colour, CmykAndLabConvertThroughProfiles) {
    const std::string cmykProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
    RASTEL_REQUIRE_TOOLS("convert", "exiftool", "tificc");
    if (!std::filesystem::exists(cmykProfile)) RASTEL_MISSING(cmykProfile << " is missing");
    const std::string srgb = "/usr/share/color/icc/sRGB.icc";
    // LittleCMS's own TIFF tool is the reference: `ref` turns SRC into REF.tif (sRGB).
    const std::string cmyk =
        "convert -size 48x16 gradient:cyan-orange -profile " + srgb + " -profile " + cmykProfile + " -quality 100 ";
    const std::string tagged = "convert SRC SRC.tif && tificc SRC.tif REF.tif";
    // An untagged source gets the standard profile attached (not applied) first.
    const std::string untagged = "convert SRC -profile " + cmykProfile + " SRC.tif && tificc SRC.tif REF.tif";
    struct Row {
        const char* name;
        std::string make, ref;  // commands; SRC and REF stand for the files
    };
    const Row rows[] = {
        {"embedded.jpg", cmyk + "SRC", tagged},
        {"untagged.jpg", cmyk + "-strip SRC", untagged},  // the standard CMYK profile
        {"embedded.tif", cmyk + "SRC", tagged},
        {"untagged.tif", cmyk + "-strip SRC", untagged},
        {"lab.tif", "convert -size 48x16 gradient:cyan-orange -depth 8 SRC.rgb.tif && tificc '-o*Lab' SRC.rgb.tif SRC",
         "tificc '-i*Lab' SRC REF.tif"},
    };
    TempDir dir("rastel-cmyk");
    auto expand = [](std::string cmd, const std::string& src, const std::string& ref) {
        for (std::size_t at; (at = cmd.find("SRC")) != std::string::npos;) cmd.replace(at, 3, src);
        for (std::size_t at; (at = cmd.find("REF")) != std::string::npos;) cmd.replace(at, 3, ref);
        return cmd;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string src = dir / row.name, ref = dir / (std::string(row.name) + ".ref");
        ASSERT_TRUE(runQuiet(expand(row.make, src, ref)));
        ASSERT_TRUE(runQuiet(expand(row.ref, src, ref) + " && convert " + ref + ".tif -depth 8 " + ref + ".ppm"));
        const Document doc = loadDocument(src);
        const Image ours = toRgb24(doc.pages[0]), theirs = parsePnm(readBytes(ref + ".ppm"));
        EXPECT_LE(maxRgbDiff(ours, theirs), 4);
        EXPECT_LE(meanRgbDiff(ours, theirs), 1.0);
        EXPECT_TRUE(!doc.pages[0].metadata || doc.pages[0].metadata->icc.empty());
    }
}

// Each appended page gets its own Exif and GPS directories, linked from its own image directory.
TEST(Metadata, EveryAppendedTiffPageKeepsItsExif) {
    RASTEL_REQUIRE_TOOLS("convert", "exiftool");
    TempDir dir("rastel-meta-append");
    const Document doc = loadDocument(makeTaggedPhoto(dir, "jpg"));
    const std::string out = dir / "multi.tif";
    savePage(out, doc.pages[0], 17, 24, 2);
    appendPage(out, doc.pages[0], 17, 24, 2);
    appendPageInPlace(out, doc.pages[0], 17, 24, 2);
    EXPECT_EQ(loadDocument(out).pages.size(), 3u);
    const std::string tags = capture("exiftool -a -s -s -s -n -DateTimeOriginal -GPS:GPSLatitude " + out);
    EXPECT_EQ(tags, "2020:01:02 03:04:05\n2020:01:02 03:04:05\n2020:01:02 03:04:05\n48.8566\n48.8566\n48.8566\n")
        << tags;
}

}  // namespace
