#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstring>

#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

namespace {

using rastel::test::readerNamed;

constexpr int kW = 768, kH = 512;
constexpr std::size_t kBaseAt = 0x30000;
constexpr std::size_t kFileSize = kBaseAt + kW * kH * 3 / 2;

std::uint8_t clip(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// An Image Pac made the way a Photo CD writer would: RGB -> PhotoYCC (Kodak's
// equations solved for Y, C1, C2), chroma averaged over 2 x 2 blocks, stored
// as two luma rows then one C1 and one C2 row per row pair at 0x30000.
Bytes makeImagePac(const Image& rgb, int orientation) {
    Bytes f(kFileSize, 0);
    std::fill_n(f.begin(), 0x800, 0xFF);
    std::memcpy(&f[0x800], "PCD_IPI", 7);
    f[0xE02] = static_cast<std::uint8_t>(orientation);
    std::size_t at = kBaseAt;
    auto ycc = [&](int x, int y, double& l, double& c1, double& c2) {
        const std::uint8_t* p = rgb.row(y) + 3 * x;
        l = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        c1 = p[2] - l;  // B - L
        c2 = p[0] - l;  // R - L
    };
    for (int y = 0; y < kH; y += 2) {
        for (int dy = 0; dy < 2; ++dy)
            for (int x = 0; x < kW; ++x) {
                double l, c1, c2;
                ycc(x, y + dy, l, c1, c2);
                f[at++] = clip(l / 1.3584);
            }
        double sum1[kW / 2] = {}, sum2[kW / 2] = {};
        for (int dy = 0; dy < 2; ++dy)
            for (int x = 0; x < kW; ++x) {
                double l, c1, c2;
                ycc(x, y + dy, l, c1, c2);
                sum1[x / 2] += c1 / 4;
                sum2[x / 2] += c2 / 4;
            }
        for (int i = 0; i < kW / 2; ++i) f[at++] = clip(sum1[i] / 2.2179 + 156);
        for (int i = 0; i < kW / 2; ++i) f[at++] = clip(sum2[i] / 1.8215 + 137);
    }
    return f;
}

// Pictures that PhotoYCC 4:2:0 carries almost losslessly: no saturated
// colours, chroma changing slowly or only on 2 x 2 block edges.
enum class Kind { Smooth, Blocks };
Image makeSource(Kind kind) {
    Image img(kW, kH, PixelFormat::Rgb24);
    static const Rgb cells[6] = {{200, 60, 60},   {60, 180, 70}, {70, 80, 190},
                                 {220, 220, 200}, {30, 30, 30},  {150, 110, 40}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            Rgb c;
            if (kind == Kind::Smooth)
                c = {static_cast<std::uint8_t>(30 + x * 190 / (kW - 1)),
                     static_cast<std::uint8_t>(40 + y * 180 / (kH - 1)),
                     static_cast<std::uint8_t>(60 + (x + y) * 130 / (kW + kH))};
            else
                c = cells[(x / 16 + y / 8 * 3) % 6];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    return img;
}

// The stored picture turned as an orientation value says (0 none, 1 quarter
// turn anticlockwise, 2 half turn, 3 quarter turn clockwise), by corner moves.
Rgb8 expectedTurned(const Image& stored, int orientation) {
    const Rgb8 s = rgbOf(stored);
    if (orientation == 0) return s;
    const bool quarter = orientation != 2;
    Rgb8 out{quarter ? kH : kW, quarter ? kW : kH, Bytes(s.pixels.size())};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int ox, oy;
            if (orientation == 1)
                ox = y, oy = kW - 1 - x;  // top-left -> bottom-left
            else if (orientation == 2)
                ox = kW - 1 - x, oy = kH - 1 - y;
            else
                ox = kH - 1 - y, oy = x;  // top-left -> top-right
            std::memcpy(&out.pixels[(std::size_t(oy) * out.width + ox) * 3], &s.pixels[(std::size_t(y) * kW + x) * 3],
                        3);
        }
    return out;
}

// ImageMagick's decoding of the Base image (its scene 3; scenes 0..2 are the
// smaller resolutions).
std::optional<Rgb8> magickBase(const std::string& path) {
    const std::string baseImage = shellQuote("pcd:" + path + "[3]");
    const auto size = output("/usr/bin/identify -format '%w %h\\n' " + baseImage);
    if (!size) return std::nullopt;
    Rgb8 r;
    std::istringstream(std::string(size->begin(), size->end())) >> r.width >> r.height;
    auto px = output("/usr/bin/convert " + baseImage + " -depth 8 rgb:-");
    if (!px || px->size() != std::size_t(r.width) * std::size_t(r.height) * 3) return std::nullopt;
    // ImageMagick squeezes the whole PhotoYCC range (up to 1.3584 x 255) into
    // 0..255, so reference white comes out at 182; bring it to our scale,
    // which puts reference white near 255 and clips the highlights above.
    r.pixels = std::move(*px);
    for (auto& v : r.pixels) v = clip(v * 1.3584);
    return r;
}

double meanDiff(const Rgb8& a, const Rgb8& b) {
    if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    return sum / double(a.pixels.size());
}

}  // namespace

TEST(PhotoCd, DecodesTheBaseImageOfSyntheticImagePacs) {
    struct Case {
        const char* name;
        Kind kind;
        int orientation;
        int maxDiff;
    };
    const Case cases[] = {
        {"smooth upright", Kind::Smooth, 0, 3},
        {"blocks upright", Kind::Blocks, 0, 3},
        {"quarter turn anticlockwise", Kind::Blocks, 1, 3},
        {"half turn", Kind::Smooth, 2, 3},
        {"quarter turn clockwise", Kind::Blocks, 3, 3},
        {"orientation in the low bits only", Kind::Smooth, 0xFC, 3},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const Image src = makeSource(c.kind);
        const std::string path = dir.file("img0001.pcd");
        writeBytes(path, makeImagePac(src, c.orientation));
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u) << c.name;
        EXPECT_EQ(doc.pages[0].format(), PixelFormat::Rgb24) << c.name;
        const Rgb8 expected = expectedTurned(src, c.orientation & 3);
        const Rgb8 got = rgbOf(doc.pages[0]);
        EXPECT_EQ(got.width, expected.width) << c.name;
        EXPECT_EQ(got.height, expected.height) << c.name;
        const int diff = maxDiff(got, expected);
        EXPECT_GE(diff, 0) << c.name;
        EXPECT_LE(diff, c.maxDiff) << c.name;
        EXPECT_EQ(probePageCount(path), 1) << c.name;
    }
}

// ImageMagick decodes our synthetic Image Pacs alike (up to its scaling of the
// PhotoYCC range and its own chroma upsampling), including the quarter turns;
// it ignores the half-turn value.
TEST(PhotoCd, ImageMagickAgreesOnSyntheticImagePacs) {
    const int orientations[] = {0, 1, 3};
    TempDir dir;
    for (int o : orientations) {
        const Image src = makeSource(Kind::Smooth);
        const std::string path = dir.file("synthetic.pcd");
        const Bytes file = makeImagePac(src, o);
        writeBytes(path, file);
        if (o == 0) keepFuzzSeed("fuzz_photocd", "synthetic.pcd", Bytes(file.begin(), file.begin() + 0x1000));
        const auto viaMagick = magickBase(path);
        ASSERT_TRUE(viaMagick) << "ImageMagick could not read orientation " << o;
        const Rgb8 ours = rgbOf(loadDocument(path).pages[0]);
        EXPECT_EQ(viaMagick->width, ours.width) << o;
        EXPECT_EQ(viaMagick->height, ours.height) << o;
        EXPECT_LT(meanDiff(*viaMagick, ours), 2.0) << o;
    }
}

// Image Pacs written by ImageMagick decode to what ImageMagick reads back.
TEST(PhotoCd, ReadsImagePacsWrittenByImageMagick) {
    TempDir dir;
    const Image src = makeSource(Kind::Smooth);
    writeBytes(dir.file("src.rgb"), rgbOf(src).pixels);
    ASSERT_TRUE(output("/usr/bin/convert -size 768x512 -depth 8 " + shellQuote("rgb:" + dir.file("src.rgb")) + " " +
                       shellQuote("pcd:" + dir.file("im.pcd"))));
    const auto viaMagick = magickBase(dir.file("im.pcd"));
    ASSERT_TRUE(viaMagick);
    const Document doc = loadDocument(dir.file("im.pcd"));
    const Rgb8 ours = rgbOf(doc.pages[0]);
    EXPECT_EQ(ours.width, 768);
    EXPECT_EQ(ours.height, 512);
    EXPECT_LT(meanDiff(ours, *viaMagick), 2.0);
}

TEST(PhotoCd, RefusesDamagedFiles) {
    const Bytes good = makeImagePac(makeSource(Kind::Smooth), 0);
    const FormatReader& r = readerNamed("PhotoCD");
    const std::size_t cuts[] = {0, 7, 0x800, 0x807, 0xE02, 0x2000, kBaseAt, kBaseAt + 1, kFileSize / 2, kFileSize - 1};
    for (std::size_t cut : cuts) {
        const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_THROW(r.read(part, ReadContext{"x.pcd"}), Error) << "cut at " << cut;
        EXPECT_THROW(r.pageCount(part, ReadContext{"x.pcd"}), Error) << "cut at " << cut;
    }
    Bytes noSignature = good;
    noSignature[0x800] = 'X';
    EXPECT_THROW(r.read(noSignature, ReadContext{"x.pcd"}), Error);
    Bytes overview(kFileSize, 0);
    std::memcpy(overview.data(), "PCD_OPA", 7);
    try {
        r.read(overview, ReadContext{"overview.pcd"});
        ADD_FAILURE() << "overview pack accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("overview"), std::string::npos) << e.what();
    }
}

TEST(PhotoCd, SniffsOnTheImagePacSignatures) {
    struct Case {
        const char* name;
        std::size_t at;
        const char* text;
        Sniff expected;
    };
    const Case cases[] = {
        {"image pac header", 0x800, "PCD_IPI", Sniff::Strong},
        {"overview pack", 0, "PCD_OPA", Sniff::Strong},
        {"signature one sector late", 0x1000, "PCD_IPI", Sniff::No},
        {"other text", 0x800, "PCD_XYZ", Sniff::No},
    };
    for (const auto& c : cases) {
        Bytes head(std::max<std::size_t>(4096, c.at + 16), 0xFF);
        std::memcpy(&head[c.at], c.text, 7);
        EXPECT_EQ(readerNamed("PhotoCD").sniff(head), c.expected) << c.name;
    }
    EXPECT_EQ(readerNamed("PhotoCD").sniff(Bytes(0x805, 0xFF)), Sniff::No);
}
