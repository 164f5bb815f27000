#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/codecs/common/exif.h"
#include "imaging/colour.h"
#include "tests/support/prelude.h"

namespace {

Bytes encode(const Image& img, int code, int bits, int quality) {
    return Registry::instance().findWriter(code)->write(img, WriteOptions{code, bits, quality, "mem.jpg"});
}

// Smooth colour ramps with a soft diagonal detail: JPEG-friendly content.
Image smoothImage(int w, int h) {
    Image img(w, h, PixelFormat::Rgb24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(255 * x / (w - 1));
            p[1] = static_cast<std::uint8_t>(255 * y / (h - 1));
            p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + y) / 9.0));
        }
    return img;
}

// Busy content so that every quality step changes the file size.
Image busyImage(int w, int h) {
    Image img = smoothImage(w, h);
    unsigned s = 12345;
    for (std::size_t i = 0; i < img.byteSize(); ++i) {
        s = s * 1103515245u + 12345u;
        img.data()[i] = static_cast<std::uint8_t>(img.data()[i] / 2 + ((s >> 16) & 0x7F));
    }
    return img;
}

int maxDiff(const Image& img, const Bytes& ref) {
    if (img.byteSize() != ref.size()) return 1000;
    int m = 0;
    for (std::size_t i = 0; i < ref.size(); ++i) m = std::max(m, std::abs(int(img.data()[i]) - int(ref[i])));
    return m;
}

// Samples of a binary PGM/PPM as djpeg writes it (single-space header).
Bytes pnmSamples(const std::string& path) {
    const Bytes data = readBytes(path);
    int newlines = 0;
    std::size_t i = 0;
    while (i < data.size() && newlines < 3)
        if (data[i++] == '\n') ++newlines;
    return Bytes(data.begin() + static_cast<long>(i), data.end());
}

// Offset of the SOS marker of a JPEG stream (walks the marker segments).
std::size_t sosOffset(const Bytes& d) {
    std::size_t p = 2;
    while (p + 4 <= d.size() && d[p] == 0xFF && d[p + 1] != 0xDA) p += 2 + ((d[p + 2] << 8) | d[p + 3]);
    return p;
}

// Writes a four-component file from CMYK samples through libjpeg: stored as
// YCCK or as CMYK, with or without the Adobe segment.
Bytes makeFourComponent(const Bytes& cmyk, int w, int h, J_COLOR_SPACE stored, bool adobe) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, stored);
    c.write_Adobe_marker = adobe ? TRUE : FALSE;
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(cmyk.data() + std::size_t(c.next_scanline) * 4 * w);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes result(out, out + size);
    std::free(out);
    return result;
}

// Keeps a copy of a test file as a seed for the fuzz target.
// Decodes and reports "ok", "error" or "other exception"; what reaches stderr
// during the call is returned through `console`.
std::string tryDecode(const Bytes& data, std::string& console) {
    testing::internal::CaptureStderr();
    std::string result = "ok";
    try {
        (void)readerNamed("JPEG").pageCount(data, ReadContext{"mem.jpg"});
    } catch (const Error&) {
    }
    try {
        const Image img = decodePage("JPEG", data);
        if (img.empty()) result = "empty image";
    } catch (const Error&) {
        result = "error";
    } catch (const std::exception& e) {
        result = std::string("other exception: ") + e.what();
    }
    console = testing::internal::GetCapturedStderr();
    return result;
}

}  // namespace

// Writer

struct Variant {
    int code, bits;
    const char* sampling;    // as ImageMagick reports it
    const char* colorspace;  // as ImageMagick reports it
    double minPsnr;          // round trip at quality factor 2 (4:1:1 chroma is replicated, not interpolated)
};

class JpegVariant : public testing::TestWithParam<Variant> {};

TEST_P(JpegVariant, ToolsSeeSizeSamplingColourAndResolution) {
    RASTEL_REQUIRE_TOOLS("identify");
    const Variant v = GetParam();
    TempDir tmp;
    Image src = smoothImage(37, 23);  // odd sizes: partial MCUs on both edges
    src.xDpi = 150;
    src.yDpi = 75;
    const std::string path = tmp.file("v.jpg");
    savePage(path, src, v.code, v.bits, 2);
    const std::string expected = std::string("37 23 ") + v.sampling + " " + v.colorspace + " 150 75";
    EXPECT_EQ(capture("identify -format '%w %h %[jpeg:sampling-factor] %[colorspace] %x %y' " + path), expected);

    const Image back = loadDocument(path).pages.at(0);
    ASSERT_EQ(back.format(), v.bits == 8 ? PixelFormat::Gray8 : PixelFormat::Rgb24);
    EXPECT_DOUBLE_EQ(back.xDpi, 150);
    EXPECT_DOUBLE_EQ(back.yDpi, 75);
    const Image ref = v.bits == 8 ? toGray8(src) : src;
    EXPECT_GT(psnr(back, ref), v.minPsnr) << "code " << v.code << " bits " << v.bits;
}

INSTANTIATE_TEST_SUITE_P(EveryCodeAndDepth, JpegVariant,
                         testing::Values(Variant{10, 24, "1x1,1x1,1x1", "sRGB", 45},
                                         Variant{23, 24, "2x1,1x1,1x1", "sRGB", 42},
                                         Variant{21, 24, "4x1,1x1,1x1", "sRGB", 30}, Variant{10, 8, "1x1", "Gray", 50},
                                         Variant{23, 8, "1x1", "Gray", 50}, Variant{21, 8, "1x1", "Gray", 50},
                                         Variant{98, 24, "2x1,1x1,1x1", "sRGB", 42},
                                         Variant{101, 24, "2x1,1x1,1x1", "sRGB", 42}));

TEST(JpegWriter, ExifFilesCarryTheirVersionAndNoJfif) {
    RASTEL_REQUIRE_TOOLS("identify");
    struct Case {
        int code;
        const char* version;
    };
    for (const Case c : {Case{98, "0220"}, Case{101, "0200"}}) {
        TempDir tmp;
        Image src = smoothImage(40, 30);
        src.xDpi = 300;
        src.yDpi = 200;
        const Bytes data = encode(src, c.code, 24, 20);
        writeBytes(tmp.file("e.jpg"), data);
        rastel::test::keepFuzzSeed("fuzz_jpeg", "exif" + std::to_string(c.code) + ".jpg", data);

        // APP1 "Exif\0\0" directly after SOI and no APP0 (JFIF) anywhere in the header.
        ASSERT_GT(data.size(), 12u);
        EXPECT_EQ(data[2], 0xFF);
        EXPECT_EQ(data[3], 0xE1);
        EXPECT_EQ(std::memcmp(data.data() + 6, "Exif\0\0", 6), 0);
        for (std::size_t p = 2; p + 4 <= data.size() && data[p + 1] != 0xDA;
             p += 2 + ((data[p + 2] << 8) | data[p + 3]))
            EXPECT_NE(data[p + 1], 0xE0) << "APP0 at " << p;

        std::string version;
        for (const char ch : {c.version[0], c.version[1], c.version[2], c.version[3]})
            version += (version.empty() ? "" : ", ") + std::to_string(int(ch));
        EXPECT_EQ(capture("identify -format '%[EXIF:ExifVersion]|%[EXIF:ColorSpace]|%[EXIF:PixelXDimension]x"
                          "%[EXIF:PixelYDimension]|%[EXIF:ComponentsConfiguration]|%[EXIF:XResolution] "
                          "%[EXIF:YResolution] %[EXIF:ResolutionUnit]|%[EXIF:YCbCrPositioning]' " +
                          tmp.file("e.jpg")),
                  version + "|1|40x30|1, 2, 3, 0|300/1 200/1 2|1")
            << "code " << c.code;
        if (std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0) {
            EXPECT_EQ(capture("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + tmp.file("e.jpg") +
                              "'); print(im.getexif().get_ifd(0x8769)[0x9000].decode(), 'jfif' in im.info)\""),
                      std::string(c.version) + " False\n");
        }
    }
}

TEST(JpegWriter, FileSizeFallsAsTheQualityFactorRises) {
    const Image src = busyImage(96, 64);
    for (const auto& [code, bits] : {std::pair{23, 24}, std::pair{10, 8}, std::pair{98, 24}}) {
        std::size_t previous = SIZE_MAX;
        std::vector<std::size_t> sizes;
        for (const int q : {2, 50, 128, 255}) {
            const std::size_t size = encode(src, code, bits, q).size();
            EXPECT_LE(size, previous) << "code " << code << " q " << q;
            previous = size;
            sizes.push_back(size);
        }
        EXPECT_LT(sizes.back() * 3, sizes.front()) << "code " << code;
    }
    EXPECT_LT(psnr(decodePage("JPEG", encode(src, 10, 24, 255)), src),
              psnr(decodePage("JPEG", encode(src, 10, 24, 2)), src));
}

TEST(JpegWriter, RefusesCodesAndDepthsItDoesNotHave) {
    const Image src = smoothImage(8, 8);
    const FormatWriter* w = Registry::instance().findWriter(98);
    ASSERT_NE(w, nullptr);
    EXPECT_THROW(w->write(src, WriteOptions{98, 8, 2, ""}), Error);
    EXPECT_THROW(w->write(src, WriteOptions{10, 16, 2, ""}), Error);
    EXPECT_THROW(w->write(src, WriteOptions{6, 24, 2, ""}), Error);
    EXPECT_THROW(w->write(Image(), WriteOptions{10, 24, 2, ""}), Error);
    EXPECT_THROW(w->write(Image(65501, 1, PixelFormat::Gray8), WriteOptions{10, 8, 2, ""}), Error);
    // 8-bit writes grayscale whatever the source layout is.
    Image idx = toIndexed(src, 4);
    EXPECT_EQ(decodePage("JPEG", w->write(idx, WriteOptions{21, 8, 2, ""})).format(), PixelFormat::Gray8);
}

// Reader against files written by other programs

struct Foreign {
    const char* name;
    const char* make;  // shell command; $S source PPM, $F target JPEG
    bool viaDjpeg;     // reference from djpeg (exact) or ImageMagick
    int tolerance;
    PixelFormat format;
};

TEST(JpegReader, DecodesForeignFilesLikeIndependentDecoders) {
    RASTEL_REQUIRE_TOOLS("djpeg", "cjpeg", "convert");
    const Foreign cases[] = {
        {"baseline-420", "cjpeg -quality 90 $S > $F", true, 0, PixelFormat::Rgb24},
        {"progressive", "convert $S -interlace Plane -quality 85 $F", true, 0, PixelFormat::Rgb24},
        {"restart-every-row", "cjpeg -restart 1 $S > $F", true, 0, PixelFormat::Rgb24},
        {"restart-every-block", "cjpeg -restart 1B -sample 1x1 $S > $F", true, 0, PixelFormat::Rgb24},
        {"progressive-restart", "cjpeg -progressive -restart 2 $S > $F", true, 0, PixelFormat::Rgb24},
        {"gray", "convert $S -colorspace gray $F", true, 0, PixelFormat::Gray8},
        {"rgb-no-transform", "cjpeg -rgb $S > $F", true, 0, PixelFormat::Rgb24},
    };
    TempDir tmp;
    const Image src = smoothImage(61, 45);
    const std::string s = tmp.file("src.ppm");
    writePnm(s, src);
    for (const Foreign& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string f = tmp.file(std::string(c.name) + ".jpg");
        std::string cmd = c.make;
        cmd.replace(cmd.find("$S"), 2, s);
        cmd.replace(cmd.find("$F"), 2, f);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        const Bytes data = readBytes(f);
        rastel::test::keepFuzzSeed("fuzz_jpeg", std::string(c.name) + ".jpg", data);
        const Image img = decodePage("JPEG", data);
        ASSERT_EQ(img.format(), c.format);
        ASSERT_EQ(img.width(), 61);
        ASSERT_EQ(img.height(), 45);
        const std::string ref = tmp.file("ref");
        if (c.viaDjpeg) {
            ASSERT_EQ(std::system(("djpeg -dct int -pnm -outfile " + ref + " " + f).c_str()), 0);
            EXPECT_LE(maxDiff(img, pnmSamples(ref)), c.tolerance);
        } else {
            ASSERT_EQ(std::system(("convert " + f + " -depth 8 rgb:" + ref).c_str()), 0);
            EXPECT_LE(maxDiff(img, readBytes(ref)), c.tolerance);
        }
        // ImageMagick's gray weights differ from ours, so only colour is compared with the source.
        if (c.format == PixelFormat::Rgb24) {
            EXPECT_GT(psnr(img, src), 28.0);
        }
    }
}

TEST(JpegReader, FourComponentConventionsAreRecognised) {
    // The same samples mean different inks with and without an Adobe segment
    // (Adobe stores 255 - ink); each must reach the colour conversion the right way round.
    const int w = 33, h = 17;
    Bytes cmyk(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &cmyk[(std::size_t(y) * w + x) * 4];
            p[0] = std::uint8_t(x * 7);
            p[1] = std::uint8_t(y * 15);
            p[2] = std::uint8_t(200 - x * 3);
            p[3] = std::uint8_t(60 + x + y * 4);
        }
    struct Case {
        const char* name;
        J_COLOR_SPACE stored;
        bool adobe;
    };
    const Case cases[] = {
        {"ycck-adobe", JCS_YCCK, true}, {"cmyk-adobe", JCS_CMYK, true}, {"cmyk-plain", JCS_CMYK, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = makeFourComponent(cmyk, w, h, c.stored, c.adobe);
        rastel::test::keepFuzzSeed("fuzz_jpeg", std::string(c.name) + ".jpg", data);
        const Image img = decodePage("JPEG", data);
        ASSERT_EQ(img.format(), PixelFormat::Rgb24);
        Bytes expected(std::size_t(w) * h * 3);
        CmykToRgb(std::span<const std::uint8_t>{}, c.adobe).convert(cmyk.data(), expected.data(), unsigned(w * h));
        // YCCK passes through one more lossy colour transform.
        EXPECT_LE(maxDiff(img, expected), c.stored == JCS_YCCK ? 8 : 4);
    }
}

TEST(JpegReader, ResolutionFromJfifOrExif) {
    RASTEL_REQUIRE_TOOLS("convert");
    struct Case {
        const char* name;
        const char* convertArgs;
        double x, y;
    };
    const Case cases[] = {
        {"dpi", "-units PixelsPerInch -density 150x75", 150, 75},
        {"dpcm", "-units PixelsPerCentimeter -density 40", 101.6, 101.6},
        {"ratio-only", "-units Undefined -density 2x1", 0, 0},
    };
    TempDir tmp;
    writePnm(tmp.file("s.ppm"), smoothImage(16, 16));
    for (const Case& c : cases) {
        const std::string f = tmp.file(std::string(c.name) + ".jpg");
        ASSERT_EQ(std::system(("convert " + tmp.file("s.ppm") + " " + c.convertArgs + " " + f).c_str()), 0);
        const Image img = decodePage("JPEG", readBytes(f));
        EXPECT_NEAR(img.xDpi, c.x, 0.01) << c.name;
        EXPECT_NEAR(img.yDpi, c.y, 0.01) << c.name;
    }

    // Exif only; then the same with a JFIF segment that states no unit: Exif wins.
    Image src = smoothImage(16, 16);
    src.xDpi = 300;
    src.yDpi = 72.5;
    Bytes exif = encode(src, 98, 24, 2);
    EXPECT_NEAR(decodePage("JPEG", exif).xDpi, 300, 1e-9);
    EXPECT_NEAR(decodePage("JPEG", exif).yDpi, 72.5, 1e-9);
    const Bytes jfifNoUnit = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    exif.insert(exif.begin() + 2, jfifNoUnit.begin(), jfifNoUnit.end());
    EXPECT_NEAR(decodePage("JPEG", exif).xDpi, 300, 1e-9);
}

TEST(JpegReader, SniffsOnTheStartOfImageMarker) {
    struct Case {
        Bytes head;
        Sniff expected;
    };
    const Case cases[] = {
        {{0xFF, 0xD8, 0xFF, 0xE0}, Sniff::Strong},
        {{0xFF, 0xD8, 0xFF}, Sniff::Strong},
        {{0xFF, 0xD8, 0x00, 0x01}, Sniff::Weak},  // padding before the first marker
        {{0xFF, 0xD9, 0xFF}, Sniff::No},
        {{0x89, 'P', 'N', 'G'}, Sniff::No},
        {{0xFF}, Sniff::No},
        {{}, Sniff::No},
    };
    for (const Case& c : cases) EXPECT_EQ(readerNamed("JPEG").sniff(c.head), c.expected) << c.head.size();
}

TEST(JpegReader, PixelLimitIsCheckedBeforeDecoding) {
    const Bytes data = encode(smoothImage(37, 23), 10, 24, 2);
    const std::uint64_t old = pixelLimit();
    setPixelLimit(37 * 23 - 1);
    EXPECT_THROW(decodePage("JPEG", data), Error);
    setPixelLimit(37 * 23);
    EXPECT_NO_THROW(decodePage("JPEG", data));
    setPixelLimit(old);
    EXPECT_EQ(readerNamed("JPEG").pageCount(data, ReadContext{"x.jpg"}), 1);
}

// Damaged input

TEST(JpegReader, TruncationIsReportedUnlessOnlyTheEndMarkerIsMissing) {
    RASTEL_REQUIRE_TOOLS("cjpeg");
    TempDir tmp;
    const Image src = smoothImage(64, 48);
    writePnm(tmp.file("s.ppm"), src);
    ASSERT_EQ(std::system(("cjpeg -progressive " + tmp.file("s.ppm") + " > " + tmp.file("p.jpg")).c_str()), 0);
    const Bytes progressive = readBytes(tmp.file("p.jpg"));
    const Bytes baseline = encode(src, 23, 24, 2);
    Bytes restart;
    ASSERT_EQ(std::system(("cjpeg -restart 1 " + tmp.file("s.ppm") + " > " + tmp.file("r.jpg")).c_str()), 0);
    restart = readBytes(tmp.file("r.jpg"));

    for (const Bytes* file : std::vector<const Bytes*>{&baseline, &progressive, &restart}) {
        const Image whole = decodePage("JPEG", *file);
        // Without the final EOI marker the picture is complete and must decode unchanged.
        const Image noEoi = decodePage("JPEG", Bytes(file->begin(), file->end() - 2));
        EXPECT_EQ(std::memcmp(whole.data(), noEoi.data(), whole.byteSize()), 0);
        // Cuts inside the scans lose pixels: an error, never a gray-filled image.
        const std::size_t sos = sosOffset(*file);
        for (const std::size_t cut : {sos + 20, (sos + file->size()) / 2, file->size() - 40}) {
            try {
                decodePage("JPEG", Bytes(file->begin(), file->begin() + long(cut)));
                ADD_FAILURE() << "cut at " << cut << " of " << file->size() << " decoded";
            } catch (const Error& e) {
                // A single scan says how much of the picture is there.
                if (file != &progressive) {
                    EXPECT_NE(std::string(e.what()).find(" of 48 rows"), std::string::npos) << e.what();
                }
            }
        }
        // A cut right before a later scan leaves well-formed but missing data.
        std::size_t lastSos = file->size() - 2;
        while (lastSos > 0 && !((*file)[lastSos] == 0xFF && (*file)[lastSos + 1] == 0xDA)) --lastSos;
        if (lastSos > sos) {
            EXPECT_THROW(decodePage("JPEG", Bytes(file->begin(), file->begin() + long(lastSos))), Error);
        }
        // Every other length: an Error or a picture, never a crash or console output.
        for (std::size_t len = 0; len < file->size(); len += 1 + file->size() / 300) {
            std::string console;
            const std::string r = tryDecode(Bytes(file->begin(), file->begin() + long(len)), console);
            EXPECT_TRUE(r == "ok" || r == "error") << r << " at length " << len;
            EXPECT_EQ(console, "") << "at length " << len;
        }
    }
}

// Damage libjpeg recovers from, as every viewer shows it: the picture is the
// one djpeg makes of the same bytes.
TEST(JpegReader, RecoverableDamageDecodesLikeDjpeg) {
    if (!haveTool("cjpeg") || !haveTool("djpeg")) GTEST_SKIP() << "libjpeg tools missing";
    TempDir tmp;
    writePnm(tmp.file("s.ppm"), smoothImage(64, 48));
    ASSERT_EQ(std::system(("cjpeg -restart 1 " + tmp.file("s.ppm") + " > " + tmp.file("r.jpg")).c_str()), 0);
    const Bytes good = readBytes(tmp.file("r.jpg"));
    const std::size_t scan = sosOffset(good) + 14;
    struct Case {
        const char* name;
        Bytes file;
    };
    Bytes entropy = good;
    for (std::size_t i = scan + 40; i < scan + 48; ++i) entropy[i] = std::uint8_t(entropy[i] ^ 0x5A);
    Bytes exif = good;
    const Bytes app1 = {0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0xFF};
    exif.insert(exif.begin() + 2, app1.begin(), app1.end());
    Bytes gainMap = good;
    const Bytes second = encode(smoothImage(16, 8), 10, 8, 50);
    gainMap.insert(gainMap.end(), second.begin(), second.end());
    const Case cases[] = {
        {"corrupt entropy data", entropy}, {"damaged exif", exif}, {"second picture after the end", gainMap}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(tmp.file("x.jpg"), c.file);
        ASSERT_NE(
            std::system(
                ("djpeg -dct int -pnm -outfile " + tmp.file("ref") + " " + tmp.file("x.jpg") + " 2>/dev/null").c_str()),
            1);
        std::string console;
        ASSERT_EQ(tryDecode(c.file, console), "ok");
        EXPECT_EQ(console, "");
        EXPECT_EQ(maxDiff(decodePage("JPEG", c.file), pnmSamples(tmp.file("ref"))), 0);
    }
}

TEST(JpegReader, CorruptedBytesGiveAnErrorOrAPictureButNoConsoleOutput) {
    RASTEL_REQUIRE_TOOLS("cjpeg");
    TempDir tmp;
    writePnm(tmp.file("s.ppm"), smoothImage(40, 24));
    ASSERT_EQ(std::system(("cjpeg -progressive -restart 1 " + tmp.file("s.ppm") + " > " + tmp.file("p.jpg")).c_str()),
              0);
    const Bytes files[] = {encode(smoothImage(40, 24), 98, 24, 30), encode(smoothImage(40, 24), 10, 8, 30),
                           readBytes(tmp.file("p.jpg"))};
    int errors = 0, pictures = 0;
    for (const Bytes& file : files) {
        const std::size_t headerEnd = std::min(file.size(), sosOffset(file) + 14);
        std::vector<std::size_t> positions;
        for (std::size_t p = 0; p < headerEnd; ++p) positions.push_back(p);
        for (std::size_t p = headerEnd; p < file.size(); p += 7) positions.push_back(p);  // entropy data
        for (const std::size_t p : positions)
            for (const int change : {0x00, 0xFF, -0x01, -0x80}) {
                Bytes bad = file;
                bad[p] = change >= 0 ? std::uint8_t(change) : std::uint8_t(bad[p] ^ -change);
                std::string console;
                const std::string r = tryDecode(bad, console);
                ASSERT_TRUE(r == "ok" || r == "error") << r << " at " << p;
                ASSERT_EQ(console, "") << "at " << p;
                (r == "ok" ? pictures : errors)++;
            }
    }
    EXPECT_GT(errors, 0);
    EXPECT_GT(pictures, 0);
}

TEST(JpegReader, RefusesFloodsOfScans) {
    RASTEL_REQUIRE_TOOLS("cjpeg");
    TempDir tmp;
    writePnm(tmp.file("s.ppm"), smoothImage(16, 16));
    writeBytes(tmp.file("scans"), Bytes{'0', ';', '1', ';', '2', ';'});
    // One scan per component; the first scan is then repeated, which libjpeg
    // decodes again and again without complaint.
    ASSERT_EQ(std::system(
                  ("cjpeg -scans " + tmp.file("scans") + " " + tmp.file("s.ppm") + " > " + tmp.file("m.jpg")).c_str()),
              0);
    const Bytes file = readBytes(tmp.file("m.jpg"));
    std::vector<std::size_t> sos;
    for (std::size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) sos.push_back(i);
    ASSERT_EQ(sos.size(), 3u);
    for (const auto& [copies, refused] : {std::pair{100, false}, std::pair{600, true}}) {
        Bytes flood(file.begin(), file.begin() + long(sos[0]));
        for (int i = 0; i < copies; ++i)
            flood.insert(flood.end(), file.begin() + long(sos[0]), file.begin() + long(sos[1]));
        flood.insert(flood.end(), file.begin() + long(sos[1]), file.end());
        if (refused) {
            EXPECT_THROW(decodePage("JPEG", flood), Error);
        } else {
            EXPECT_NO_THROW(decodePage("JPEG", flood));
        }
    }
}

TEST(JpegReader, PaddingBetweenSegmentsIsHarmless) {
    const Bytes file = encode(smoothImage(24, 16), 10, 24, 10);
    Bytes padded = file;
    const std::size_t at = 2 + 2 + ((file[4] << 8) | file[5]);  // after the JFIF segment
    padded.insert(padded.begin() + long(at), {0x00, 0x12, 0x34});
    std::string console;
    ASSERT_EQ(tryDecode(padded, console), "ok");
    EXPECT_EQ(console, "");
    EXPECT_EQ(psnr(decodePage("JPEG", padded), decodePage("JPEG", file)), 99);
}

// Shared corpus: files written by other programs, some broken on purpose

TEST(JpegReader, CorpusDecodesLikeImageMagickOrIsRefused) {
    const fs::path dir = rastel::test::corpusDir() / "jpg";
    if (!fs::is_directory(dir) || !haveTool("convert")) RASTEL_MISSING("corpus or ImageMagick missing");
    // Files that hold no decodable picture (not JPEG, lossless process, missing
    // tables, no scan) or whose scans are cut short.
    const std::set<std::string> refused = {
        "commonsimaging--IMAGING-220__timeout-48eb4251935b4ca8b26d1859ea525c1b42ae0c78.jpg",
        "dtformats--test_data___I103S5F.jpg",
        "gdkpixbuf--fail__CVE-2017-2862.jpg",
        "gdkpixbuf--randomly-modified__bug775697.jpg",
        "imagers--regression__jpg__oss-fuzz-36829.jpg",
        "libgd--fuzzing__corpus__uhdr__truncated.jpg",
        "libvips--truncated.jpg",
        "pillow--ultrahdr.jpg",
        "twelvemonkeys--broken-jpeg__513f29d0-02a8-11e7-9756-6035edb96e79.jpg",
        "twelvemonkeys--broken-jpeg__51432b02-02a8-11e7-9203-b42b1c43c0c3.jpg",
        "twelvemonkeys--broken-jpeg__5145e95a-02a8-11e7-8372-4787a7307ab8.jpg",
        "twelvemonkeys--broken-jpeg__514c48ea-02a8-11e7-8789-bb75321f404f.jpg",
        "twelvemonkeys--broken-jpeg__515e763c-02a8-11e7-85fb-573b41201f05.jpg",
        "twelvemonkeys--broken-jpeg__broken-adobe-marker-bad-length.jpg",
        "twelvemonkeys--jpeg-lossless__8_ls.jpg",
        "twelvemonkeys--jpeg-lossless__f-18.jpg",
        "twelvemonkeys--jpeg-lossless__gradient_ls.jpg",
    };
    const std::set<std::string> cmyk = {
        "twelvemonkeys--jpeg__cmyk-sample-no-icc.jpg",
        "twelvemonkeys--jpeg__jfif-cmyk-invalid-icc-profile-srgb.jpg",
        "twelvemonkeys--jpeg__duplicate-component-ids.jpg",
    };
    TempDir tmp;
    int decoded = 0, seenRefused = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::string path = entry.path().string();
        SCOPED_TRACE(name);
        testing::internal::CaptureStderr();
        if (refused.count(name)) {
            ++seenRefused;
            EXPECT_THROW(loadDocument(path), Error);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            continue;
        }
        Image img;
        try {
            img = loadDocument(path).pages.at(0);
        } catch (const Error& e) {
            ADD_FAILURE() << e.what();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        if (img.empty()) continue;
        ++decoded;
        // CMYK converts through a profile, ImageMagick's plain decode does not;
        // the colour tests compare those with LittleCMS instead.
        if (cmyk.count(name)) continue;
        const std::string ref = tmp.file("ref.rgb");
        ASSERT_EQ(std::system(("convert '" + path + "' -auto-orient -depth 8 rgb:" + ref + " 2>/dev/null").c_str()), 0);
        EXPECT_LE(maxDiff(toRgb24(img), readBytes(ref)), 1);
    }
    EXPECT_EQ(seenRefused, int(refused.size()));
    EXPECT_GT(decoded, 20);
}

// Exif structures

namespace {

// A one-field-set TIFF IFD0 written by hand in either byte order.
Bytes handTiff(bool big, std::uint32_t xNum, std::uint32_t xDen, int unit, std::uint32_t rationalOffset = 0) {
    Bytes b;
    auto u16 = [&](unsigned v) {
        if (big)
            b.insert(b.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
        else
            b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    };
    auto u32 = [&](std::uint32_t v) {
        if (big) {
            u16(v >> 16);
            u16(v & 0xFFFF);
        } else {
            u16(v & 0xFFFF);
            u16(v >> 16);
        }
    };
    b = big ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
    u16(42);
    u32(8);
    const int entries = unit ? 3 : 2;
    const std::uint32_t data = rationalOffset ? rationalOffset : 8 + 2 + 12 * entries + 4;
    u16(entries);
    u16(0x011A);
    u16(5);
    u32(1);
    u32(data);
    u16(0x011B);
    u16(5);
    u32(1);
    u32(data);
    if (unit) {
        u16(0x0128);
        u16(3);
        u32(1);
        u16(unit);
        u16(0);
    }
    u32(0);
    u32(xNum);
    u32(xDen);
    return b;
}

}  // namespace

TEST(Exif, ReadsResolutionInEitherByteOrderAndRefusesNonsense) {
    struct Case {
        const char* what;
        Bytes data;
        double expected;  // 0: nothing
    };
    Bytes prefixed = {'E', 'x', 'i', 'f', 0, 0};
    const Bytes le = handTiff(false, 144, 2, 0);
    prefixed.insert(prefixed.end(), le.begin(), le.end());
    const Case cases[] = {
        {"little-endian, unit defaults to inch", le, 72},
        {"with Exif prefix", prefixed, 72},
        {"big-endian centimetres", handTiff(true, 100, 1, 3), 254},
        {"unit inch", handTiff(true, 300, 1, 2), 300},
        {"no absolute unit", handTiff(false, 300, 1, 1), 0},
        {"zero denominator", handTiff(false, 300, 0, 2), 0},
        {"rational past the end", handTiff(false, 300, 1, 2, 5000), 0},
        {"cut inside the directory", Bytes(le.begin(), le.begin() + 20), 0},
        {"bad byte order", Bytes{'X', 'X', 42, 0, 8, 0, 0, 0}, 0},
        {"empty", Bytes{}, 0},
    };
    for (const Case& c : cases) {
        const auto r = readExifResolution(c.data);
        if (c.expected == 0) {
            EXPECT_FALSE(r.has_value()) << c.what;
        } else {
            ASSERT_TRUE(r.has_value()) << c.what;
            EXPECT_NEAR(r->xDpi, c.expected, 1e-9) << c.what;
            EXPECT_NEAR(r->yDpi, c.expected, 1e-9) << c.what;
        }
    }
}

TEST(Exif, BuilderSortsTagsReplacesDuplicatesAndPointsAtTheExifDirectory) {
    TiffIfd ifd0, exif;
    ifd0.addShort(0x0128, {2});
    ifd0.addRational(0x011B, 50, 1);
    ifd0.addRational(0x011A, 999, 1);
    ifd0.addRational(0x011A, 72, 1);  // replaces the first
    exif.addUndefined(0x9000, {'0', '2', '2', '0'});
    exif.addAscii(0x9003, "2026:01:01 00:00:00");  // longer than four bytes: stored after the IFD
    const Bytes t = buildExifTiff(ifd0, exif);
    auto u16 = [&](std::size_t at) { return unsigned(t.at(at) | (t.at(at + 1) << 8)); };
    auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    ASSERT_EQ(u16(8), 4u);  // three fields + Exif pointer
    const unsigned expectTags[] = {0x011A, 0x011B, 0x0128, 0x8769};
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(u16(10 + 12 * i), expectTags[i]);
    const std::size_t exifAt = u32(10 + 12 * 3 + 8);
    ASSERT_EQ(u16(exifAt), 2u);
    EXPECT_EQ(u16(exifAt + 2), 0x9000u);
    EXPECT_EQ(std::memcmp(&t.at(exifAt + 2 + 8), "0220", 4), 0);
    const std::size_t dateAt = u32(exifAt + 2 + 12 + 8);
    EXPECT_EQ(dateAt % 2, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t.at(dateAt))), "2026:01:01 00:00:00");
    const auto r = readExifResolution(t);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->xDpi, 72);
    EXPECT_EQ(r->yDpi, 50);
}
