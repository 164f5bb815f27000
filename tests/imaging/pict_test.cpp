#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "imaging/codecs/common/bilevel.h"
#include "imaging/codecs/common/byte_io.h"
#include "imaging/codecs/common/packbits.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

namespace {

using rastel::test::readerNamed;

constexpr int kPict = 56;

Bytes writePict(const Image& page, int bits) {
    return Registry::instance().findWriter(kPict)->write(page, WriteOptions{kPict, bits, 2, "x.pct"});
}

Rgb8 expectedRgb(const Image& src, int bits) {
    if (bits == 1) return rgbOf(toInkBits(src));
    if (bits <= 8) return rgbOf(toIndexed(src, bits));
    return rgbOf(src);
}

// Hand-made pictures for opcodes our writer never emits.
class PictBuilder {
public:
    explicit PictBuilder(int version, int w, int h, bool fileHeader = true) : version_(version) {
        if (fileHeader) out_.zeros(512);
        start_ = out_.size();
        out_.u16be(0);
        rect(0, 0, h, w);
        if (version == 1) {
            out_.u8(0x11);
            out_.u8(0x01);
        } else {
            out_.u16be(0x0011);
            out_.u16be(0x02FF);
            op(0x0C00);
            out_.u16be(0xFFFF);  // version 2 header: fixed-point bounds, no resolution
            out_.zeros(22);
        }
    }
    void op(unsigned code) {
        if (version_ == 1) {
            out_.u8(static_cast<std::uint8_t>(code));
        } else {
            if ((out_.size() - start_) % 2) out_.u8(0);
            out_.u16be(static_cast<std::uint16_t>(code));
        }
    }
    void rect(int t, int l, int b, int r) {
        for (int v : {t, l, b, r}) out_.u16be(static_cast<std::uint16_t>(v));
    }
    ByteWriter& raw() { return out_; }
    // A 1-bit BitMap opcode (0x90 unpacked or 0x98 packed) of `bits` rows
    // of `w` pixels (1 = black), drawn from its bounds into `dst`.
    // With `maskRegion` the Rgn form (0x91 / 0x99) carrying a rectangular mask.
    void bitmap(bool pack, int w, const std::vector<std::vector<std::uint8_t>>& rows, std::array<int, 4> dst,
                bool maskRegion = false) {
        op((pack ? 0x98 : 0x90) + (maskRegion ? 1 : 0));
        std::size_t rowBytes = (std::size_t(w) + 15) / 16 * 2;
        out_.u16be(static_cast<std::uint16_t>(rowBytes));
        rect(0, 0, int(rows.size()), w);
        rect(0, 0, int(rows.size()), w);
        rect(dst[0], dst[1], dst[2], dst[3]);
        out_.u16be(0);
        if (maskRegion) {
            out_.u16be(10);
            rect(dst[0], dst[1], dst[2], dst[3]);
        }
        for (const auto& r : rows) {
            std::vector<std::uint8_t> packed(rowBytes, 0);
            for (int x = 0; x < w; ++x)
                if (r[std::size_t(x)]) packed[std::size_t(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            if (!pack || rowBytes < 8) {
                out_.bytes(packed);
            } else {
                std::vector<std::uint8_t> enc;
                packBitsEncode(packed, enc);
                out_.u8(static_cast<std::uint8_t>(enc.size()));
                out_.bytes(enc);
            }
        }
    }
    Bytes finish() {
        op(0xFF);
        Bytes b = out_.take();
        return b;
    }

private:
    int version_;
    std::size_t start_ = 0;
    ByteWriter out_;
};

std::vector<std::vector<std::uint8_t>> checker(int w, int h) {
    std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(h),
                                                std::vector<std::uint8_t>(static_cast<std::size_t>(w)));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) rows[std::size_t(y)][std::size_t(x)] = static_cast<std::uint8_t>((x + y) % 3 == 0);
    return rows;
}

bool isPureBlack(const Image& img, int x, int y) { return pixelRgb(img, x, y) == Rgb{0, 0, 0}; }
bool isWhite(const Image& img, int x, int y) { return pixelRgb(img, x, y) == Rgb{255, 255, 255}; }

}  // namespace

// Every depth of code 56 opens in ImageMagick and GraphicsMagick with the
// page's pixels; sizes cover unpacked rows (under 8 bytes) and word byte
// counts (rows over 250 bytes).
TEST(Pict, WritesEveryDepthOtherDecodersRead) {
    struct Case {
        const char* name;
        int bits;
        Picture picture;
        PixelFormat ours;
    };
    const Case cases[] = {
        {"bitmap", 1, Picture::TwoColours, PixelFormat::Indexed},
        {"bitmap from photo", 1, Picture::Photo, PixelFormat::Indexed},
        {"16 colours", 4, Picture::SixteenColours, PixelFormat::Indexed},
        {"16 colours quantised", 4, Picture::Photo, PixelFormat::Indexed},
        {"256 colours", 8, Picture::ManyColours, PixelFormat::Indexed},
        {"gray", 8, Picture::Gray, PixelFormat::Indexed},
        {"direct", 24, Picture::Photo, PixelFormat::Rgb24},
    };
    const int sizes[][2] = {{67, 45}, {1, 1}, {3, 2}, {301, 5}};
    TempDir dir;
    for (const auto& c : cases)
        for (const auto& s : sizes) {
            const std::string what = std::string(c.name) + " " + std::to_string(s[0]) + "x" + std::to_string(s[1]);
            const Image src = makePicture(c.picture, s[0], s[1]);
            const std::string path = dir.file("out.pct");
            savePage(path, src, kPict, c.bits, 2);
            const Rgb8 expected = expectedRgb(src, c.bits);

            const Document doc = loadDocument(path);
            EXPECT_EQ(doc.pages[0].format(), c.ours) << what;
            if (c.bits <= 8) {
                EXPECT_EQ(doc.pages[0].indexBits(), c.bits) << what;
            }
            EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), expected), 0) << what << ": own reader";

            for (Magick which : {Magick::Image, Magick::Graphics}) {
                const auto ref = magickRgb(path, "pict:", which);
                ASSERT_TRUE(ref) << what << (which == Magick::Image ? ": ImageMagick" : ": GraphicsMagick");
                EXPECT_EQ(maxDiff(*ref, expected), 0)
                    << what << (which == Magick::Image ? ": ImageMagick" : ": GraphicsMagick");
            }
        }
}

TEST(Pict, CarriesTheResolutionInPixelMaps) {
    struct Case {
        int bits;
        double expected;
    };
    const Case cases[] = {{1, 300}, {4, 300}, {8, 300}, {24, 300}};
    for (const auto& c : cases) {
        Image src = makePicture(Picture::Photo, 16, 8);
        src.xDpi = 300;
        src.yDpi = 300;
        const Document doc = readerNamed("MacPict").read(writePict(src, c.bits), {});
        EXPECT_NEAR(doc.pages[0].xDpi, c.expected, 0.01) << c.bits;
        EXPECT_NEAR(doc.pages[0].yDpi, c.expected, 0.01) << c.bits;
    }
}

TEST(Pict, RefusesPagesBeyondThePictureLimits) {
    struct Case {
        int w, h, bits;
    };
    const Case cases[] = {{32768, 1, 1}, {1, 32768, 8}, {4096, 1, 24}, {16383, 1, 8}};
    for (const auto& c : cases) {
        const Image big(c.w, c.h, PixelFormat::Gray8);
        EXPECT_THROW(writePict(big, c.bits), Error) << c.w << "x" << c.h << " at " << c.bits;
    }
    EXPECT_NO_THROW(writePict(Image(4095, 1, PixelFormat::Gray8), 24));
}

// Pictures written by ImageMagick, GraphicsMagick and netpbm decode to the
// pixels ImageMagick reads from them.
TEST(Pict, ReadsPicturesFromOtherWriters) {
    struct Case {
        const char* name;
        std::string command;  // %s: source PPM, %d: target
        Picture picture;
    };
    const Case cases[] = {
        {"ImageMagick truecolour", "/usr/bin/convert %s pict:%d", Picture::Photo},
        {"ImageMagick palette", "/usr/bin/convert %s -type Palette pict:%d", Picture::ManyColours},
        {"GraphicsMagick truecolour", "/usr/bin/gm convert %s pict:%d", Picture::Photo},
        {"netpbm ppmtopict", "ppmtopict %s > %d", Picture::SixteenColours},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const Image pic = makePicture(c.picture, 45, 31);
        const std::string src = dir.file("src.ppm"), dst = dir.file("dst.pct");
        writePnm(src, pic);
        std::string cmd = c.command;
        cmd.replace(cmd.find("%s"), 2, shellQuote(src));
        cmd.replace(cmd.find("%d"), 2, shellQuote(dst));
        ASSERT_TRUE(output(cmd)) << c.name;
        const Document doc = loadDocument(dst);
        EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), rgbOf(pic)), 0) << c.name;
    }
}

// The shared samples: bitmap pictures decode like ImageMagick where it reads
// them right (high-resolution ones: ImageMagick adds the bitmap's padding
// column, which is cut off for the comparison), QuickTime JPEG pictures like
// djpeg reads the embedded stream; pictures without bitmaps and broken files
// fail with an Error.
TEST(Pict, DecodesTheSharedSamples) {
    RASTEL_CORPUS_FILES(files, "pct");
    enum Expect { kLikeMagick, kLikeEmbeddedJpeg, kNoBitmap, kBroken };
    struct Case {
        const char* file;
        Expect expect;
        int tolerance;  // ImageMagick widens 5-bit samples by shifting, we replicate the bits
    };
    const Case cases[] = {
        {"twelvemonkeys--pict__BLK.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__BLU.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__GRN.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__YEL.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__FLAG_B24.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__TRU256.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__mire16.pct", kLikeMagick, 7},
        {"twelvemonkeys--pict__16bit.pct", kLikeMagick, 7},
        {"twelvemonkeys--pict__32bit.pct", kLikeMagick, 0},
        {"twelvemonkeys--pict__qt_mire.pct", kLikeEmbeddedJpeg, 0},
        {"twelvemonkeys--pict__qt_jpeg.pct", kLikeEmbeddedJpeg, 0},
        {"twelvemonkeys--pict__8.pct", kNoBitmap, 0},
        {"twelvemonkeys--pict__oom.pct", kNoBitmap, 0},
        {"twelvemonkeys--pict__7.pct", kNoBitmap, 0},
        {"quickdrawviewer--Graypatterns.pct", kNoBitmap, 0},
        {"quickdrawviewer--ClarisGradient2Colors.pct", kNoBitmap, 0},
        {"quickdrawviewer--ClarisGradient4Colors.pct", kNoBitmap, 0},
        {"quickdrawviewer--Clarisgradientstar.pct", kNoBitmap, 0},
        {"quickdrawviewer--docs__inside_macintosh.pct", kNoBitmap, 0},
        {"imagemagick--input.pct", kBroken, 0},
    };
    for (const auto& c : cases) {
        const std::string path = (corpusDir() / "pct" / c.file).string();
        if (c.expect == kLikeEmbeddedJpeg) {
            const Document doc = loadDocument(path);
            const Bytes file = readBytes(path);
            const Bytes soi = {0xFF, 0xD8, 0xFF};
            const auto at = std::search(file.begin(), file.end(), soi.begin(), soi.end());
            ASSERT_NE(at, file.end()) << c.file;
            TempDir dir;
            writeBytes(dir.file("q.jpg"), Bytes(at, file.end()));
            const auto djpeg = output("djpeg -ppm " + shellQuote(dir.file("q.jpg")));
            ASSERT_TRUE(djpeg) << c.file;
            EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), rgbOf(rastel::test::parsePnm(*djpeg))), 0) << c.file;
            continue;
        }
        if (c.expect == kLikeMagick) {
            const Document doc = loadDocument(path);
            auto im = magickRgb(path, "pict:");
            ASSERT_TRUE(im) << c.file;
            if (im->width == doc.pages[0].width() + 1) {
                Bytes cut;
                for (int y = 0; y < im->height; ++y)
                    cut.insert(cut.end(), im->pixels.begin() + std::ptrdiff_t(y) * im->width * 3,
                               im->pixels.begin() + (std::ptrdiff_t(y) * im->width + im->width - 1) * 3);
                *im = Rgb8{im->width - 1, im->height, cut};
            }
            const int diff = maxDiff(rgbOf(doc.pages[0]), *im);
            EXPECT_GE(diff, 0) << c.file;
            EXPECT_LE(diff, c.tolerance) << c.file;
            continue;
        }
        try {
            loadDocument(path);
            ADD_FAILURE() << c.file << " decoded";
        } catch (const Error& e) {
            if (c.expect == kNoBitmap) {
                EXPECT_NE(std::string(e.what()).find("MacPict: picture holds no bitmap"), std::string::npos)
                    << c.file << ": " << e.what();
            }
        }
    }
}

// A version 1 picture of one 1-bit BitMap (ImageMagick and GraphicsMagick
// draw this one all black), and a picture without the 512-byte file header.
TEST(Pict, ReadsVersion1BitmapsAndHeaderlessPictures) {
    const Document fc10 = loadDocument(fixture("twelvemonkeys--pict__FC10.pct"));
    const Image& bird = fc10.pages[0];
    EXPECT_EQ(bird.width(), 2265);
    EXPECT_EQ(bird.height(), 2593);
    EXPECT_EQ(bird.format(), PixelFormat::Indexed);
    EXPECT_EQ(bird.indexBits(), 1);
    std::size_t black = 0;
    for (int y = 0; y < bird.height(); ++y)
        for (int x = 0; x < bird.width(); ++x) black += bird.row(y)[x];
    const double share = double(black) / (double(bird.width()) * bird.height());
    EXPECT_GT(share, 0.02);
    EXPECT_LT(share, 0.5) << "a drawing on white paper";

    // 8 x 8 white, direct pixels with four components, no file header.
    const Document exif = loadDocument(fixture("exiftool--PICT.pct"));
    EXPECT_EQ(exif.pages[0].width(), 8);
    EXPECT_EQ(exif.pages[0].height(), 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_TRUE(isWhite(exif.pages[0], x, y));

    // Our own file with the first 512 bytes cut off.
    const Image src = makePicture(Picture::Photo, 9, 7);
    const Bytes full = writePict(src, 24);
    const Bytes bare(full.begin() + 512, full.end());
    EXPECT_EQ(readerNamed("MacPict").sniff(bare), Sniff::Weak);
    EXPECT_EQ(maxDiff(rgbOf(readerNamed("MacPict").read(bare, {}).pages[0]), rgbOf(src)), 0);
}

// Opcodes around the bitmaps are stepped over by their sizes, in both
// versions; several bitmaps are drawn into the frame, scaled from their source
// to their destination rectangles, on white.
TEST(Pict, SkipsOtherOpcodesAndComposesBitmaps) {
    for (int version : {1, 2}) {
        PictBuilder b(version, 20, 10);
        b.op(0x01);  // clip region
        b.raw().u16be(10);
        b.rect(0, 0, 10, 20);
        b.op(0x03);  // font
        b.raw().u16be(3);
        b.op(0x28);  // long text
        b.raw().u32be(0x00050005);
        b.raw().u8(5);
        b.raw().bytes("Hello", 5);
        b.op(0x2B);  // DHDV text, odd length
        b.raw().u16be(0x0101);
        b.raw().u8(2);
        b.raw().bytes("Hi", 2);
        b.op(0x31);  // paint rect
        b.rect(1, 1, 5, 5);
        b.op(0x38);  // frame same rect
        b.op(0x60);  // frame arc
        b.rect(0, 0, 4, 4);
        b.raw().u32be(0x0010005A);
        b.op(0x70);  // frame polygon
        b.raw().u16be(14);
        b.rect(0, 0, 2, 2);
        b.raw().u32be(0x00010001);
        b.op(0xA0);  // short comment
        b.raw().u16be(100);
        b.op(0xA1);  // long comment, odd size
        b.raw().u16be(100);
        b.raw().u16be(3);
        b.raw().bytes("abc", 3);
        if (version == 2) {
            b.op(0x1A);  // RGB foreground
            b.raw().zeros(6);
            b.op(0x12);  // dither pixel pattern
            b.raw().u16be(2);
            b.raw().zeros(8 + 6);
            b.op(0x13);  // pen pixel pattern: 8 x 8 pixels at 2 bits, colour table, unpacked rows
            b.raw().u16be(1);
            b.raw().zeros(8);
            b.raw().u16be(0x8002);
            b.rect(0, 0, 8, 8);
            b.raw().zeros(18);
            b.raw().u16be(2);  // pixelSize
            b.raw().zeros(16);
            b.raw().u32be(0);
            b.raw().u16be(0);
            b.raw().u16be(3);  // four entries
            b.raw().zeros(4 * 8);
            b.raw().zeros(2 * 8);
            b.op(0x8201);  // uncompressed QuickTime, skipped by its length
            b.raw().u32be(3);
            b.raw().bytes("xyz", 3);
            b.op(0x0200);  // reserved: 4 bytes
            b.raw().u32be(0);
        }
        // Left half: a 10 x 10 checker drawn 1:1; right half: a 2 x 1 black
        // and white pair stretched over 10 x 10 (black left 5 columns).
        b.bitmap(false, 10, checker(10, 10), {0, 0, 10, 10});
        b.bitmap(true, 2, {{1, 0}}, {0, 10, 10, 20}, /*maskRegion=*/version == 2);
        const Document doc = readerNamed("MacPict").read(b.finish(), {});
        const Image& img = doc.pages[0];
        ASSERT_EQ(img.width(), 20) << version;
        ASSERT_EQ(img.height(), 10);
        EXPECT_EQ(img.format(), PixelFormat::Rgb24);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x) EXPECT_EQ(isPureBlack(img, x, y), (x + y) % 3 == 0) << x << "," << y;
        for (int y = 0; y < 10; ++y)
            for (int x = 10; x < 20; ++x) EXPECT_EQ(isPureBlack(img, x, y), x < 15) << x << "," << y;
    }
    // A bitmap covering part of the frame: white around it.
    PictBuilder part(2, 8, 8);
    part.bitmap(true, 16, std::vector<std::vector<std::uint8_t>>(2, std::vector<std::uint8_t>(16, 1)), {2, 2, 4, 6});
    const Image img = readerNamed("MacPict").read(part.finish(), {}).pages[0];
    EXPECT_TRUE(isWhite(img, 0, 0));
    EXPECT_TRUE(isPureBlack(img, 2, 2));
    EXPECT_TRUE(isPureBlack(img, 5, 3));
    EXPECT_TRUE(isWhite(img, 6, 3));
    EXPECT_TRUE(isWhite(img, 2, 4));
}

// A high-resolution picture: the extended header states the native
// resolution and the frame at it, larger than the 72-dpi picture frame; every
// pixel of the bitmap is kept and the page carries the native resolution.
TEST(Pict, HighResolutionPicturesKeepEveryPixel) {
    const double dpis[] = {96, 144, 300};
    for (const double dpi : dpis) {
        const Image src = makePicture(Picture::Photo, 50, 30);
        Bytes file = writePict(src, 24);
        // picFrame at 514 (top, left, bottom, right); the header's hRes and vRes at 532 and 536.
        const auto put16 = [&](std::size_t at, int v) {
            file[at] = static_cast<std::uint8_t>(v >> 8);
            file[at + 1] = static_cast<std::uint8_t>(v);
        };
        put16(518, static_cast<int>(std::lround(30 * 72 / dpi)));
        put16(520, static_cast<int>(std::lround(50 * 72 / dpi)));
        ASSERT_EQ((file[526] << 8) | file[527], 0x0C00);
        const auto fixed = static_cast<std::uint32_t>(dpi * 65536);
        for (std::size_t at : {532u, 536u})
            for (int i = 0; i < 4; ++i) file[at + std::size_t(i)] = static_cast<std::uint8_t>(fixed >> (24 - 8 * i));
        const Document doc = readerNamed("MacPict").read(file, {});
        EXPECT_EQ(maxDiff(rgbOf(doc.pages[0]), rgbOf(src)), 0) << dpi;
        EXPECT_NEAR(doc.pages[0].xDpi, dpi, 0.01);
        EXPECT_NEAR(doc.pages[0].yDpi, dpi, 0.01);
    }
}

// CompressedQuickTime opcode (0x8200) around the given image data.
void quickTime(PictBuilder& b, const char* codec, const Bytes& data, int w, int h, int scale = 1) {
    b.op(0x8200);
    ByteWriter q;
    q.u16be(0);  // version
    const std::uint32_t matrix[9] = {
        std::uint32_t(scale) << 16, 0, 0, 0, std::uint32_t(scale) << 16, 0, 0, 0, 0x40000000};
    for (const auto v : matrix) q.u32be(v);
    q.u32be(0);  // matte size
    q.zeros(8);  // matte rectangle
    q.u16be(0);  // mode
    for (int v : {0, 0, h, w}) q.u16be(static_cast<std::uint16_t>(v));
    q.u32be(0);  // accuracy
    q.u32be(0);  // mask size
    q.u32be(86);
    q.bytes(Bytes(codec, codec + 4));
    q.zeros(24);  // reserved, data reference, version, revision, vendor, temporal and spatial quality
    q.u16be(static_cast<std::uint16_t>(w));
    q.u16be(static_cast<std::uint16_t>(h));
    q.u32be(72u << 16);
    q.u32be(72u << 16);
    q.u32be(static_cast<std::uint32_t>(data.size()));
    q.u16be(1);
    q.zeros(32);
    q.u16be(24);
    q.u16be(0xFFFF);
    q.bytes(data);
    const Bytes body = q.take();
    b.raw().u32be(static_cast<std::uint32_t>(body.size()));
    b.raw().bytes(body);
}

// QuickTime JPEG images decode like djpeg reads the embedded stream, filling
// the frame or drawn scaled into it; other codecs are refused by name.
TEST(Pict, QuickTimeJpegImagesDecode) {
    TempDir dir;
    const Image src = makePicture(Picture::Photo, 24, 16);
    savePage(dir.file("q.jpg"), src, 10, 24, 30);  // JFIF, 4:4:4
    const Bytes jpeg = readBytes(dir.file("q.jpg"));
    const auto djpeg = output("djpeg -ppm " + shellQuote(dir.file("q.jpg")));
    ASSERT_TRUE(djpeg);
    const Rgb8 ref = rgbOf(rastel::test::parsePnm(*djpeg));

    PictBuilder fill(2, 24, 16);
    quickTime(fill, "jpeg", jpeg, 24, 16);
    EXPECT_EQ(maxDiff(rgbOf(readerNamed("MacPict").read(fill.finish(), {}).pages[0]), ref), 0);

    // Scaled twice into a larger frame: the rest of the frame stays white.
    PictBuilder twice(2, 60, 40);
    quickTime(twice, "jpeg", jpeg, 24, 16, 2);
    const Image big = readerNamed("MacPict").read(twice.finish(), {}).pages[0];
    ASSERT_EQ(big.width(), 60);
    for (auto [x, y] : {std::pair{0, 0}, {47, 31}, {13, 9}}) {
        const std::size_t at = 3 * std::size_t(y / 2 * 24 + x / 2);
        EXPECT_EQ(pixelRgb(big, x, y), (Rgb{ref.pixels[at], ref.pixels[at + 1], ref.pixels[at + 2]})) << x << "," << y;
    }
    EXPECT_TRUE(isWhite(big, 55, 35));

    PictBuilder rle(2, 24, 16);
    quickTime(rle, "rle ", Bytes(40, 0), 24, 16);
    try {
        readerNamed("MacPict").read(rle.finish(), {});
        ADD_FAILURE() << "decoded an 'rle ' QuickTime image";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("'rle ' codec"), std::string::npos) << e.what();
    }
}

TEST(Pict, FailsClearlyOnPicturesItCannotShow) {
    PictBuilder none(2, 10, 10);
    none.op(0x31);
    none.rect(0, 0, 5, 5);
    none.op(0x2B);
    none.raw().u16be(0x0101);
    none.raw().u8(1);
    none.raw().u8('A');
    try {
        readerNamed("MacPict").read(none.finish(), {});
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "MacPict: picture holds no bitmap, only vector drawing (1 shape-drawing opcode and 1 text opcode), "
                  "which is not rendered");
    }
    PictBuilder noEnd(2, 10, 10);
    noEnd.bitmap(true, 10, checker(10, 10), {0, 0, 10, 10});
    Bytes cut = noEnd.finish();
    cut.resize(cut.size() - 2);
    EXPECT_THROW(readerNamed("MacPict").read(cut, {}), Error) << "no end opcode";
    EXPECT_EQ(readerNamed("MacPict").sniff(Bytes(600, 0)), Sniff::No);
}

TEST(Pict, TruncatedFilesFailCleanly) {
    for (int bits : {1, 4, 8, 24}) {
        const Bytes good = writePict(makePicture(Picture::Photo, 40, 30), bits);
        keepFuzzSeed("fuzz_pict", "pict-" + std::to_string(bits) + ".bin", good);
        EXPECT_EQ(acceptedCut("MacPict", good, good.size()), -1) << bits << " bits";
    }
}

TEST(Pict, RefusesInflatedOrInvalidFields) {
    // Offsets in our own 8-bit file: 512 header, picSize, frame (514), version
    // (522), header opcode (526), clip opcode (552) and region (554), then the
    // PackBitsRect opcode at 564: rowBytes 566, bounds 568, pixel map fields
    // with pixelSize at 594, colour table from 612 with its size at 618.
    const Bytes good = writePict(makePicture(Picture::ManyColours, 30, 20), 8);
    ASSERT_EQ(good[564], 0x00);
    ASSERT_EQ(good[565], 0x98);
    struct Case {
        const char* name;
        std::size_t at;
        std::uint16_t value;
    };
    const Case cases[] = {
        {"clip region too small", 554, 4},
        {"clip region past the end", 554, 0xFFF0},
        {"rowBytes too small for the width", 566, 0x8000 | 8},
        {"bounds inverted", 572, 0xFFFF},
        {"bounds huge", 572, 0x7FFF},
        {"pixel size 3", 594, 3},
        {"pixel size 32 in an indexed map", 594, 32},
        {"colour table of 4000 entries", 618, 4000},
        {"unknown opcode size", 564, 0x8100},
    };
    for (const auto& c : cases) {
        Bytes bad = good;
        bad[c.at] = static_cast<std::uint8_t>(c.value >> 8);
        bad[c.at + 1] = static_cast<std::uint8_t>(c.value);
        EXPECT_THROW(readerNamed("MacPict").read(bad, {}), Error) << c.name;
    }
    // Damaged bytes all through the pixel data: an Error or a picture, never a crash.
    const Bytes direct = writePict(makePicture(Picture::Photo, 30, 20), 24);
    for (std::size_t at = 600; at < direct.size(); at += 37) {
        Bytes bad = direct;
        bad[at] = 0xFF;
        try {
            readerNamed("MacPict").read(bad, {});
        } catch (const Error&) {
        }
    }
}
