#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "imaging/codecs/common/bilevel.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

namespace {

using rastel::test::readerNamed;

constexpr int kPsd = 76;

Bytes writePsd(const Image& page, int bits) {
    return Registry::instance().findWriter(kPsd)->write(page, WriteOptions{kPsd, bits, 2, "x.psd"});
}

// What a page should look like after being saved at `bits`.
Rgb8 expectedRgb(const Image& src, int bits) {
    if (bits == 1) return rgbOf(toInkBits(src));
    if (bits == 8) return rgbOf(toIndexed(src, 8));
    return rgbOf(src);
}

}  // namespace

// Every depth of code 76 opens in Pillow and ImageMagick with the expected
// mode, size and pixels, and in our reader.
TEST(Psd, WritesEveryDepthOtherDecodersRead) {
    struct Case {
        const char* name;
        int bits;
        Picture picture;
        const char* pillowMode;
        PixelFormat ours;
    };
    const Case cases[] = {
        {"bitmap", 1, Picture::TwoColours, "1", PixelFormat::Indexed},
        {"bitmap from photo", 1, Picture::Photo, "1", PixelFormat::Indexed},
        {"indexed", 8, Picture::ManyColours, "P", PixelFormat::Indexed},
        {"indexed quantised", 8, Picture::Photo, "P", PixelFormat::Indexed},
        {"gray palette as grayscale", 8, Picture::Gray, "L", PixelFormat::Gray8},
        {"rgb", 24, Picture::Photo, "RGB", PixelFormat::Rgb24},
        {"rgb of few colours", 24, Picture::SixteenColours, "RGB", PixelFormat::Rgb24},
    };
    const int sizes[][2] = {{67, 45}, {1, 1}, {300, 7}};
    TempDir dir;
    for (const auto& c : cases)
        for (const auto& s : sizes) {
            const std::string what = std::string(c.name) + " " + std::to_string(s[0]) + "x" + std::to_string(s[1]);
            const Image src = makePicture(c.picture, s[0], s[1]);
            const std::string path = dir.file("out.psd");
            savePage(path, src, kPsd, c.bits, 2);
            const Rgb8 expected = expectedRgb(src, c.bits);

            // A page whose 8-bit palette is all gray is written in grayscale mode.
            const bool gray = c.bits == 8 && isGrayPalette(toIndexed(src, 8).palette());
            const PixelFormat ours = gray ? PixelFormat::Gray8 : c.ours;
            const std::string pillowMode = gray ? "L" : c.pillowMode;
            const Document doc = loadDocument(path);
            EXPECT_EQ(doc.pages[0].format(), ours) << what;
            EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), expected), 0) << what << ": own reader";

            const auto pil = pillowRgb(path);
            ASSERT_TRUE(pil) << what << ": Pillow failed";
            EXPECT_EQ(pil->mode, pillowMode) << what;
            // Pillow 9 reads bitmap mode with white and black swapped; ImageMagick checks those pixels.
            if (c.bits != 1) {
                EXPECT_EQ(maxDiff(pil->rgb, expected), 0) << what << ": Pillow";
            }
            // ImageMagick 6 here refuses indexed-mode documents, its own included.
            if (ours == PixelFormat::Indexed && c.bits == 8) continue;
            const auto im = magickRgb(path);
            ASSERT_TRUE(im) << what << ": ImageMagick failed";
            EXPECT_EQ(maxDiff(*im, expected), 0) << what << ": ImageMagick";
        }
}

TEST(Psd, CarriesTheResolution) {
    TempDir dir;
    Image src = makePicture(Picture::Photo, 20, 10);
    src.xDpi = 300;
    src.yDpi = 150;
    const std::string path = dir.file("dpi.psd");
    savePage(path, src, kPsd, 24, 2);
    const Document doc = loadDocument(path);
    EXPECT_NEAR(doc.pages[0].xDpi, 300, 0.01);
    EXPECT_NEAR(doc.pages[0].yDpi, 150, 0.01);
    const auto res = output("/usr/bin/identify -format '%x %y' " + shellQuote(path));
    ASSERT_TRUE(res);
    double x = 0, y = 0;
    std::istringstream(std::string(res->begin(), res->end())) >> x >> y;
    EXPECT_NEAR(x, 300, 0.01);
    EXPECT_NEAR(y, 150, 0.01);
    // The value is pixels per inch even when the document shows centimetres.
    Bytes cm = writePsd(src, 24);
    ASSERT_EQ(std::string(cm.begin() + 34, cm.begin() + 38), "8BIM");
    cm[51] = 2;
    EXPECT_NEAR(readerNamed("PSD").read(cm, {}).pages[0].xDpi, 300, 0.01);
    EXPECT_NEAR(loadDocument(fixture("psdtools--300dpi.psd")).pages[0].yDpi, 300, 0.01);
    // No resolution on the page: 72 dpi is stated.
    savePage(path, makePicture(Picture::Photo, 4, 4), kPsd, 8, 2);
    EXPECT_NEAR(loadDocument(path).pages[0].xDpi, 72, 0.01);
}

// Files ImageMagick writes in other colour modes and depths decode to the
// pixels ImageMagick itself reads from them.
TEST(Psd, ReadsColourModesFromImageMagick) {
    // ImageMagick can't read back indexed documents and un-mattes the colours
    // of transparent ones; Pillow is the reference for those.
    // CMYK goes through the standard CMYK profile (kManaged: the samples as
    // a TIFF, converted by LittleCMS's tificc).
    enum Reference { kMagick, kPillow, kManaged };
    struct Case {
        const char* name;
        const char* options;
        PixelFormat ours;
        int tolerance;
        Reference reference;
    };
    const Case cases[] = {
        {"gray", "-colorspace Gray", PixelFormat::Gray8, 0, kMagick},
        {"rgb", "", PixelFormat::Rgb24, 0, kMagick},
        {"rgb 16-bit", "-depth 16", PixelFormat::Rgb24, 1, kMagick},
        {"gray 16-bit", "-colorspace Gray -depth 16", PixelFormat::Gray8, 1, kMagick},
        {"rgba", "-alpha set -channel A -fx 'i/w' +channel", PixelFormat::Rgba32, 0, kPillow},
        {"cmyk", "-colorspace CMYK", PixelFormat::Rgb24, 4, kManaged},
        {"raw rgb", "-compress None", PixelFormat::Rgb24, 0, kMagick},
        {"bilevel", "-monochrome", PixelFormat::Gray8, 0, kMagick},
        {"palette", "-colors 12 -type Palette", PixelFormat::Indexed, 0, kPillow},
    };
    TempDir dir;
    const std::string src = dir.file("src.ppm");
    writePnm(src, makePicture(Picture::Photo, 40, 30));
    for (const auto& c : cases) {
        const std::string path = dir.file(std::string("im-") + c.name + ".psd");
        ASSERT_TRUE(output("/usr/bin/convert " + shellQuote(src) + " " + c.options + " " + shellQuote(path))) << c.name;
        const Document doc = loadDocument(path);
        EXPECT_EQ(doc.pages[0].format(), c.ours) << c.name;
        std::optional<Rgb8> ref;
        if (c.reference == kMagick) {
            ref = magickRgb(path);
        } else if (c.reference == kManaged) {
            const std::string tif = dir.file("cmyk.tif"), rgb = dir.file("srgb.tif");
            if (output("/usr/bin/convert " + shellQuote(path) + " " + shellQuote(tif) +
                       " && tificc -n "
                       "-i/usr/share/color/icc/ghostscript/default_cmyk.icc " +
                       shellQuote(tif) + " " + shellQuote(rgb)))
                ref = magickRgb(rgb);
        } else if (auto pil = pillowRgb(path)) {
            ref = pil->rgb;
        }
        ASSERT_TRUE(ref) << c.name;
        const int diff = maxDiff(rgbOf(doc.pages[0]), *ref);
        EXPECT_GE(diff, 0) << c.name;
        EXPECT_LE(diff, c.tolerance) << c.name;
    }
}

// The large document variant: 8-byte layer section length, 4-byte row counts.
TEST(Psd, ReadsLargeDocuments) {
    TempDir dir;
    const Image pic = makePicture(Picture::Photo, 33, 17);
    const std::string src = dir.file("src.ppm"), dst = dir.file("big.psb");
    writePnm(src, pic);
    ASSERT_TRUE(output("/usr/bin/convert " + shellQuote(src) + " psb:" + shellQuote(dst)));
    const Bytes data = readBytes(dst);
    ASSERT_GE(data.size(), 6u);
    ASSERT_EQ(data[5], 2) << "ImageMagick wrote a version 2 header";
    EXPECT_EQ(readerNamed("PSD").sniff(data), Sniff::Strong);
    EXPECT_EQ(maxDiff(rgbOf(loadDocument(dst).pages[0]), rgbOf(pic)), 0);
}

// The shared samples: each decodes or fails with an Error; where Pillow reads
// the merged image in a mode it handles fully, the pixels agree exactly.
TEST(Psd, DecodesTheSharedSamplesLikePillow) {
    RASTEL_CORPUS_FILES(files, "psd");
    int compared = 0, decoded = 0;
    for (const std::string& path : files) {
        const std::string name = fs::path(path).filename().string();
        std::optional<Rgb8> mine;
        try {
            mine = rgbOf(loadDocument(path).pages[0]);
            ++decoded;
        } catch (const Error&) {
        }
        const auto pil = pillowRgb(path);
        // Pillow reads only 3 of the 57 channels of this sample at the wrong offsets.
        if (!pil || !mine || name.find("53alphas") != std::string::npos) continue;
        if (pil->mode != "L" && pil->mode != "P" && pil->mode != "RGB" && pil->mode != "RGBA") continue;
        EXPECT_EQ(maxDiff(*mine, pil->rgb), 0) << name;
        ++compared;
    }
    EXPECT_GE(decoded, 80);
    EXPECT_GE(compared, 10);
}

// Samples Pillow can't read (high depths, bitmap mode), against ImageMagick:
// the small ones kept in tests/data, the larger ones of the shared corpus.
struct HighDepthSample {
    const char* file;
    PixelFormat ours;
    int tolerance;
};

void expectLikeImageMagick(const std::string& path, const HighDepthSample& c) {
    const Document doc = loadDocument(path);
    EXPECT_EQ(doc.pages[0].format(), c.ours) << c.file;
    const auto im = magickRgb(path);
    ASSERT_TRUE(im) << c.file;
    const int diff = maxDiff(rgbOf(doc.pages[0]), *im);
    EXPECT_GE(diff, 0) << c.file;
    EXPECT_LE(diff, c.tolerance) << c.file;
}

TEST(Psd, DecodesHighDepthSamplesLikeImageMagick) {
    const HighDepthSample cases[] = {
        {"psdtools--colormodes__4x4_32bit_rgb.psd", PixelFormat::Rgb24, 1},
        {"psdtools--colormodes__4x4_32bit_grayscale.psd", PixelFormat::Gray8, 1},
        {"kimageformats--read__psd__argb16-raw-affinityphoto-1.8.5.psd", PixelFormat::Rgba32, 1},
        {"twelvemonkeys--psd__test_bitmap.psd", PixelFormat::Indexed, 0},
        {"kimageformats--read__psd__bitmap.psd", PixelFormat::Indexed, 0},
        {"psdtools--descriptors__stroke-color-descriptors-lab.psd", PixelFormat::Rgb24, 8},
    };
    for (const auto& c : cases) expectLikeImageMagick(fixture(c.file), c);
}

TEST(Psd, DecodesLargeHighDepthSamplesLikeImageMagick) {
    RASTEL_CORPUS_FILES(files, "psd");
    const HighDepthSample cases[] = {
        {"kimageformats--read__psd__16bit-rle.psd", PixelFormat::Rgb24, 1},
        {"kimageformats--read__psd__16bit_grayscale.psd", PixelFormat::Gray8, 1},
        {"psdtools--gray0.psd", PixelFormat::Gray8, 0},
    };
    for (const auto& c : cases) expectLikeImageMagick((corpusDir() / "psd" / c.file).string(), c);
}

TEST(Psd, RefusesBrokenSamples) { EXPECT_THROW(loadDocument(fixture("pillow--combined_larger_than_size.psd")), Error); }

TEST(Psd, RunsOverrunningTheRowEndAreClipped) {
    // 4 x 2 grayscale: the first row's repeat run and the second row's literal
    // run spill past the four bytes of the row; the spill is dropped.
    const Bytes file = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0,    0,    0,    4, 0, 8, 0, 1,
                        0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 6, 0xFB, 0x40, 0x04, 1, 2, 3, 4, 5};
    const Document doc = readerNamed("PSD").read(file, {});
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(rgbOf(doc.pages[0]).pixels, (Bytes{0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40,
                                                 1,    1,    1,    2,    2,    2,    3,    3,    3,    4,    4,    4}));
}

TEST(Psd, TruncatedFilesFailCleanly) {
    for (int bits : {1, 8, 24}) {
        const Bytes good = writePsd(makePicture(Picture::Photo, 50, 40), bits);
        keepFuzzSeed("fuzz_psd", "psd-" + std::to_string(bits) + ".bin", good);
        EXPECT_EQ(acceptedCut("PSD", good, good.size()), -1) << bits << " bits";
    }
}

TEST(Psd, RefusesInflatedOrInvalidFields) {
    const Bytes good = writePsd(makePicture(Picture::Photo, 30, 20), 24);
    const std::size_t colourLen = 26;
    const std::size_t resourceLen = colourLen + 4 + getU32be(good, colourLen);
    const std::size_t layerLen = resourceLen + 4 + getU32be(good, resourceLen);
    const std::size_t compression = layerLen + 4;
    struct Case {
        const char* name;
        std::size_t at;
        int width;  // bytes to overwrite, big-endian
        std::uint32_t value;
    };
    const Case cases[] = {
        {"signature", 0, 4, 0x38425053u + 1},
        {"version", 4, 2, 3},
        {"no channels", 12, 2, 0},
        {"zero height", 14, 4, 0},
        {"huge width", 18, 4, 0x7FFFFFFF},
        {"depth 7", 22, 2, 7},
        {"indexed at 16 bits", 22, 4, 0x00100002},
        {"bitmap mode at 8 bits", 24, 2, 0},
        {"unknown mode", 24, 2, 5},
        {"colour data past the end", colourLen, 4, 0xFFFFFF00u},
        {"resources past the end", resourceLen, 4, 0x00FFFFFFu},
        {"layers past the end", layerLen, 4, 0x7FFFFFFFu},
        {"unknown compression", compression, 2, 9},
        {"zip compression", compression, 2, 2},
        {"row count past the data", compression + 2, 2, 0xFFFF},
        {"row count too short", compression + 2, 2, 1},
        {"resource size past the block", resourceLen + 4 + 8, 4, 0x1000},
    };
    for (const auto& c : cases) {
        Bytes bad = good;
        for (int i = 0; i < c.width; ++i)
            bad[c.at + std::size_t(i)] = static_cast<std::uint8_t>(c.value >> (8 * (c.width - 1 - i)));
        EXPECT_THROW(readerNamed("PSD").read(bad, {}), Error) << c.name;
    }
    // A damaged resource block loses the resolution, not the picture.
    Bytes badResource = good;
    setU32be(badResource, resourceLen + 4, 0x41424344u);
    const Document doc = readerNamed("PSD").read(badResource, {});
    EXPECT_EQ(doc.pages[0].xDpi, 0);
    EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), rgbOf(readerNamed("PSD").read(good, {}).pages[0])), 0);

    // Indexed without its colour table.
    Bytes idx = writePsd(makePicture(Picture::ManyColours, 8, 8), 8);
    ASSERT_EQ(getU32be(idx, colourLen), 768u);
    Bytes noTable(idx.begin(), idx.begin() + 26);
    noTable.insert(noTable.end(), {0, 0, 0, 0});
    noTable.insert(noTable.end(), idx.begin() + 26 + 4 + 768, idx.end());
    EXPECT_THROW(readerNamed("PSD").read(noTable, {}), Error);
}

TEST(Psd, SniffsTheSignature) {
    const Bytes good = writePsd(makePicture(Picture::Photo, 4, 4), 24);
    EXPECT_EQ(readerNamed("PSD").sniff(good), Sniff::Strong);
    Bytes psb = good;
    psb[5] = 2;
    EXPECT_EQ(readerNamed("PSD").sniff(psb), Sniff::Strong);
    Bytes v3 = good;
    v3[5] = 3;
    EXPECT_EQ(readerNamed("PSD").sniff(v3), Sniff::No);
    EXPECT_EQ(readerNamed("PSD").sniff(Bytes{'8', 'B', 'P'}), Sniff::No);
}
