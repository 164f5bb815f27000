#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <string>
#include <unistd.h>

#include "imaging/codec.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
namespace fs = std::filesystem;

namespace {

using rastel::test::readerNamed;

using rastel::test::keepFuzzSeed;
using rastel::test::readBytes;
using rastel::test::runCommand;
using rastel::test::TempDir;
using rastel::test::writeBytes;

Document gifDecode(const std::vector<std::uint8_t>& bytes) { return readerNamed("GIF").read(bytes, ReadContext{"mem.gif"}); }

std::vector<std::uint8_t> rgbBytes(const Image& img) {
    const Image rgb = toRgb24(img);
    return {rgb.data(), rgb.data() + rgb.byteSize()};
}

// ImageMagick's frames of a GIF as the viewer sees them (-coalesce), RGBA.
std::vector<std::string> coalescedFrames(const std::string& path, int w, int h, std::size_t pages) {
    int status = 0;
    const std::string all = runCommand("convert '" + path + "' -coalesce -depth 8 rgba:- 2>/dev/null", &status);
    const std::size_t frame = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
    std::vector<std::string> out;
    if (status != 0 || all.size() != frame * pages) return out;
    for (std::size_t i = 0; i < pages; ++i) out.push_back(all.substr(i * frame, frame));
    return out;
}

// "" when our page shows ImageMagick's frame; pixels ImageMagick leaves
// transparent must show our background colour.
std::string diffFrame(const Image& page, const std::string& rgba, Rgb background) {
    const Image rgb = toRgb24(page);
    const std::size_t n = static_cast<std::size_t>(rgb.width()) * static_cast<std::size_t>(rgb.height());
    if (rgba.size() != 4 * n) return "size differs";
    for (std::size_t i = 0; i < n; ++i) {
        const auto* e = reinterpret_cast<const std::uint8_t*>(rgba.data()) + 4 * i;
        const std::uint8_t* o = rgb.data() + 3 * i;
        const Rgb want = e[3] == 0 ? background : Rgb{e[0], e[1], e[2]};
        if (Rgb{o[0], o[1], o[2]} != want)
            return "pixel " + std::to_string(i) + ": ours " + std::to_string(o[0]) + "," + std::to_string(o[1]) + "," +
                   std::to_string(o[2]) + " expected " + std::to_string(want.r) + "," + std::to_string(want.g) + "," +
                   std::to_string(want.b);
    }
    return "";
}

// ---- Files made by our writer ---------------------------------------------

class GifDepth : public ::testing::TestWithParam<int> {};

TEST_P(GifDepth, WritesAColourTableOfTwoToTheBitsAndRoundTripsExactly) {
    const int bits = GetParam();
    const int colours = std::min(1 << bits, 200);  // fewer than the table holds at 8 bits: padding shows
    TempDir dir;
    const std::string path = dir / "out.gif";
    Image src(41, 13, PixelFormat::Rgb24);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x) {
            const int c = (x * 3 + y) % colours;
            src.row(y)[3 * x] = static_cast<std::uint8_t>(c * 29);
            src.row(y)[3 * x + 1] = static_cast<std::uint8_t>(c);
            src.row(y)[3 * x + 2] = static_cast<std::uint8_t>(255 - c * 3);
        }
    src.xDpi = src.yDpi = 200;
    savePage(path, src, 2, bits, 2);

    const std::string text = runCommand("giftext -c '" + path + "' 2>&1");
    EXPECT_NE(text.find("Screen Size - Width = 41, Height = 13."), std::string::npos) << text;
    EXPECT_NE(text.find("BitsPerPixel = " + std::to_string(bits) + ","), std::string::npos) << text;
    const std::regex entry("[0-9a-f]{2}h [0-9a-f]{2}h [0-9a-f]{2}h");
    const auto entries = std::distance(std::sregex_iterator(text.begin(), text.end(), entry), std::sregex_iterator());
    EXPECT_EQ(entries, 1 << bits);
    EXPECT_EQ(runCommand("identify -format '%w %h %n' '" + path + "'"), "41 13 1");
    const auto bytes = readBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF87a");

    const Document back = loadDocument(path);
    ASSERT_EQ(back.pages.size(), 1u);
    EXPECT_EQ(back.pages[0].format(), PixelFormat::Indexed);
    EXPECT_EQ(back.pages[0].indexBits(), bits);
    EXPECT_EQ(rgbBytes(back.pages[0]), rgbBytes(src));
    const std::string im = runCommand("convert '" + path + "' -depth 8 rgb:-");
    EXPECT_EQ(std::vector<std::uint8_t>(im.begin(), im.end()), rgbBytes(src));
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, GifDepth, ::testing::Range(1, 9));

TEST(GifWriter, RefusesWhatAGifCannotHold) {
    const FormatWriter* w = Registry::instance().findWriter(2);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->canAppend(2));
    struct Case { int width, height, bits; };
    const Case cases[] = {{65536, 1, 8}, {1, 65536, 8}, {4, 4, 9}, {4, 4, 24}, {4, 4, 0}};
    for (const Case& c : cases)
        EXPECT_THROW(w->write(Image(c.width, c.height, PixelFormat::Gray8), WriteOptions{2, c.bits, 2, "x.gif"}), Error)
            << c.width << "x" << c.height << " at " << c.bits;
}

// ---- Composition of frames ------------------------------------------------

// Palette of the hand-made files: one letter per entry.
constexpr const char* kLetters = "KRGBWCMY";
const Rgb kColours[8] = {{0, 0, 0},     {255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                         {255, 255, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};

struct Frame {
    int left, top, width, height;
    std::string pixels;     // letters, row by row
    int disposal = 0;       // 0..3
    char transparent = 0;   // letter drawn as transparent, 0 for none
    bool interlaced = false;
};

extern "C" int collect(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}

int letterIndex(char c) { return static_cast<int>(std::string(kLetters).find(c)); }

// A GIF89a built with giflib so each test states exactly what the file holds.
std::vector<std::uint8_t> buildGif(int sw, int sh, char background, const std::vector<Frame>& frames) {
    std::vector<std::uint8_t> out;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, collect, &err);
    GifColorType table[8];
    for (int i = 0; i < 8; ++i) table[i] = {kColours[i].r, kColours[i].g, kColours[i].b};
    ColorMapObject* map = GifMakeMapObject(8, table);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, sw, sh, 3, letterIndex(background), map);
    for (const Frame& f : frames) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = f.disposal;
        gcb.TransparentColor = f.transparent ? letterIndex(f.transparent) : NO_TRANSPARENT_COLOR;
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
        std::vector<int> order;
        if (f.interlaced) {
            for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
                for (int y = start; y < f.height; y += step) order.push_back(y);
        } else {
            for (int y = 0; y < f.height; ++y) order.push_back(y);
        }
        for (int y : order) {
            std::vector<GifPixelType> line;
            for (int x = 0; x < f.width; ++x)
                line.push_back(static_cast<GifPixelType>(letterIndex(f.pixels[std::size_t(y * f.width + x)])));
            EGifPutLine(gif, line.data(), f.width);
        }
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
    return out;
}

std::string lettersOf(const Image& page) {
    std::string s;
    for (int y = 0; y < page.height(); ++y) {
        if (y) s += ' ';
        for (int x = 0; x < page.width(); ++x) {
            const Rgb c = pixelRgb(page, x, y);
            const auto* it = std::find(std::begin(kColours), std::end(kColours), c);
            s += it == std::end(kColours) ? '?' : kLetters[it - std::begin(kColours)];
        }
    }
    return s;
}

struct Scene {
    const char* name;
    int width, height;
    char background;
    std::vector<Frame> frames;
    std::vector<std::string> pages;  // expected, rows separated by spaces
    bool indexed = false;            // the single page keeps the file's palette
};

void PrintTo(const Scene& s, std::ostream* os) { *os << s.name; }

class GifScene : public ::testing::TestWithParam<Scene> {};

TEST_P(GifScene, ComposesFramesAsAViewerShowsThem) {
    const Scene& s = GetParam();
    const auto bytes = buildGif(s.width, s.height, s.background, s.frames);
    keepFuzzSeed("fuzz_gif", std::string(s.name) + ".gif", bytes);
    const Document doc = gifDecode(bytes);
    ASSERT_EQ(doc.pages.size(), s.pages.size());
    EXPECT_EQ(readerNamed("GIF").pageCount(bytes, ReadContext{"x.gif"}), static_cast<int>(s.pages.size()));
    for (std::size_t i = 0; i < s.pages.size(); ++i) {
        EXPECT_EQ(lettersOf(doc.pages[i]), s.pages[i]) << "page " << i;
        EXPECT_EQ(doc.pages[i].format(), s.indexed ? PixelFormat::Indexed : PixelFormat::Rgb24) << "page " << i;
    }
    // ImageMagick agrees wherever it draws something; where it leaves the
    // screen transparent we show the background colour.
    TempDir dir;
    const std::string path = dir / "scene.gif";
    writeBytes(path, bytes);
    const auto frames = coalescedFrames(path, s.width, s.height, s.pages.size());
    ASSERT_EQ(frames.size(), s.pages.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(diffFrame(doc.pages[i], frames[i], kColours[letterIndex(s.background)]), "") << "page " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, GifScene,
    ::testing::Values(
        Scene{"opaque_full_frame_keeps_palette", 3, 2, 'B', {{0, 0, 3, 2, "RGKWCY"}}, {"RGK WCY"}, true},
        Scene{"partial_first_frame_shows_background", 3, 2, 'B', {{1, 0, 2, 1, "RG"}}, {"BRG BBB"}},
        Scene{"transparent_pixels_show_what_is_below",
              3, 2, 'B',
              {{0, 0, 3, 2, "RRRGGG", 1}, {0, 0, 3, 2, "GKGKGK", 1, 'G'}},
              {"RRR GGG", "RKR KGK"}},
        Scene{"transparent_first_frame_shows_background", 3, 1, 'Y', {{0, 0, 3, 1, "RKR", 0, 'R'}}, {"YKY"}},
        Scene{"dispose_to_background_clears_the_frame_only",
              3, 2, 'B',
              {{0, 0, 3, 2, "RRRRRR", 1}, {0, 0, 1, 1, "G", 2}, {2, 1, 1, 1, "K"}},
              {"RRR RRR", "GRR RRR", "BRR RRK"}},
        Scene{"dispose_to_previous_restores",
              3, 2, 'B',
              {{0, 0, 3, 2, "RRRRRR", 1}, {1, 0, 2, 2, "GGGG", 3}, {0, 1, 1, 1, "K"}},
              {"RRR RRR", "RGG RGG", "RRR KRR"}},
        Scene{"no_disposal_keeps_the_frame",
              2, 2, 'B',
              {{0, 0, 1, 1, "R", 0}, {1, 1, 1, 1, "G", 1}},
              {"RB BB", "RB BG"}},
        Scene{"frames_past_the_screen_are_clipped", 3, 2, 'B', {{2, 1, 2, 2, "RGKW"}}, {"BBB BBR"}},
        Scene{"interlaced_rows_land_in_place",
              1, 10, 'B',
              {{0, 0, 1, 10, "KRGBWCMYKR", 0, 0, true}},
              {"K R G B W C M Y K R"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GifReader, FramesBeyondThePixelLimitAreRefused) {
    std::vector<Frame> frames(5, Frame{0, 0, 4, 4, std::string(16, 'R')});
    const auto bytes = buildGif(4, 4, 'B', frames);
    const std::uint64_t saved = pixelLimit();
    setPixelLimit(16 * 4);
    EXPECT_THROW(gifDecode(bytes), Error);
    setPixelLimit(16 * 5);
    EXPECT_EQ(gifDecode(bytes).pages.size(), 5u);
    setPixelLimit(saved);
}

TEST(GifReader, SniffsBothVersionsOnly) {
    struct Case { std::string head; Sniff expect; };
    const Case cases[] = {{"GIF87a..", Sniff::Strong}, {"GIF89a..", Sniff::Strong}, {"GIF88a..", Sniff::No},
                          {"GIF89", Sniff::No},        {"gif89a..", Sniff::No},     {"", Sniff::No}};
    for (const Case& c : cases)
        EXPECT_EQ(readerNamed("GIF").sniff({reinterpret_cast<const std::uint8_t*>(c.head.data()), c.head.size()}), c.expect)
            << c.head;
}

// ---- Files made by other programs -----------------------------------------

struct ForeignGif {
    const char* name;
    const char* make;  // shell command in the temp dir: frames a.ppm b.ppm c.ppm exist, make x.gif
    std::size_t pages;
};

void PrintTo(const ForeignGif& c, std::ostream* os) { *os << c.name; }

class GifForeign : public ::testing::TestWithParam<ForeignGif> {};

TEST_P(GifForeign, MatchesImageMagickFrames) {
    const ForeignGif& c = GetParam();
    TempDir dir;
    const std::string cd = "cd '" + dir.path.string() + "' && ";
    ASSERT_EQ(std::system((cd + "convert -size 40x30 gradient:red-blue -depth 8 a.ppm && "
                                "convert a.ppm -fill yellow -draw 'rectangle 5,5 14,12' b.ppm && "
                                "convert b.ppm -fill green -draw 'circle 30,20 34,24' c.ppm && " + c.make)
                               .c_str()),
              0);
    const std::string path = dir / "x.gif";
    keepFuzzSeed("fuzz_gif", std::string(c.name) + ".gif", readBytes(path));
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), c.pages);
    EXPECT_EQ(probePageCount(path), static_cast<int>(c.pages));
    const auto frames = coalescedFrames(path, 40, 30, c.pages);
    ASSERT_EQ(frames.size(), c.pages);
    for (std::size_t i = 0; i < c.pages; ++i)
        EXPECT_EQ(diffFrame(doc.pages[i], frames[i], Rgb{}), "") << "page " << i;
}

INSTANTIATE_TEST_SUITE_P(
    OtherWriters, GifForeign,
    ::testing::Values(ForeignGif{"animated", "convert -delay 10 a.ppm b.ppm c.ppm x.gif", 3},
                      ForeignGif{"optimised_animation", "convert -delay 10 a.ppm b.ppm c.ppm -layers optimize x.gif", 3},
                      ForeignGif{"interlaced", "convert c.ppm -interlace GIF x.gif", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs `body` with standard error captured; returns what was printed there.
template <class F>
std::string gifStderr(F body) {
    std::fflush(stderr);
    char name[] = "/tmp/rastel-gif-stderr-XXXXXX";
    const int fd = ::mkstemp(name);
    // Named up front: should the body crash, its report stays in this file.
    std::cout << "[ capture  ] standard error goes to " << name << std::endl;
    const int saved = ::dup(2);
    ::dup2(fd, 2);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fd);
    std::ifstream f(name);
    std::string text{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    std::remove(name);
    return text;
}

TEST(GifReader, DamagedFilesFailCleanlyAndSilently) {
    const FormatWriter* w = Registry::instance().findWriter(2);
    Image src(29, 11, PixelFormat::Rgb24);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < 3 * src.width(); ++x) src.row(y)[x] = static_cast<std::uint8_t>(x * y * 7);
    std::vector<std::vector<std::uint8_t>> sources = {
        w->write(src, WriteOptions{2, 8, 2, "x"}), w->write(src, WriteOptions{2, 2, 2, "x"}),
        buildGif(3, 2, 'B', {{0, 0, 3, 2, "RRRRRR", 1}, {1, 0, 2, 2, "GGGG", 3, 'G', true}, {0, 1, 1, 1, "K", 2}})};
    std::mt19937 rng(99);
    int refused = 0;
    const std::string printed = gifStderr([&] {
        for (const auto& good : sources) {
            for (std::size_t cut = 0; cut < good.size(); ++cut) {
                const std::vector<std::uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
                try { gifDecode(b); } catch (const Error&) { ++refused; }
                try { (void)readerNamed("GIF").pageCount(b, ReadContext{"x"}); } catch (const Error&) {}
            }
            for (int i = 0; i < 400; ++i) {
                auto b = good;
                for (int k = 0; k < 2; ++k) b[6 + rng() % (b.size() - 6)] = static_cast<std::uint8_t>(rng());
                try { gifDecode(b); } catch (const Error&) { ++refused; }
            }
        }
    });
    EXPECT_EQ(printed, "");
    EXPECT_GT(refused, 0);
}

TEST(GifReader, BrokenImageDataIsAnError) {
    struct Case { const char* what; std::size_t keep; };
    const auto good = buildGif(8, 8, 'B', {{0, 0, 8, 8, std::string(64, 'R') }});
    // Cut inside the image data, and in the middle of the image descriptor.
    const Case cases[] = {{"data cut short", good.size() - 6}, {"descriptor cut short", 13 + 24 + 8 + 5}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(c.keep));
        EXPECT_THROW(gifDecode(b), Error) << c.what;
    }
    // Everything before the trailer is there: the picture is complete.
    const std::vector<std::uint8_t> noTrailer(good.begin(), good.end() - 1);
    EXPECT_EQ(gifDecode(noTrailer).pages.size(), 1u);
}

// Samples from other libraries' suites: what ImageMagick reads cleanly we read
// to the same frames; malformed ones are refused with an Error.
TEST(GifCorpus, DecodesLikeImageMagick) {
    const fs::path dir = rastel::test::corpusDir() / "gif";
    if (!fs::exists(dir)) RASTEL_MISSING("no sample folder");
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string path = entry.path().string();
        const auto bytes = readBytes(path);
        int status = 0;
        const std::string complaints = runCommand("convert '" + path + "' -coalesce null: 2>&1", &status);
        const bool imClean = status == 0 && complaints.empty();
        Document doc;
        try {
            doc = gifDecode(bytes);
        } catch (const Error& e) {
            EXPECT_FALSE(imClean) << path << ": we refuse (" << e.what() << ") a file ImageMagick reads cleanly";
            continue;
        }
        EXPECT_EQ(readerNamed("GIF").pageCount(bytes, ReadContext{path}), static_cast<int>(doc.pages.size())) << path;
        if (!imClean) continue;
        const auto frames = coalescedFrames(path, doc.pages[0].width(), doc.pages[0].height(), doc.pages.size());
        if (frames.empty()) continue;  // ImageMagick sizes the screen differently
        // Background as we chose it: the global table's background entry.
        TempDir tmp;
        const std::string text = runCommand("giftext -c '" + path + "' 2>/dev/null");
        Rgb bg{};
        std::smatch m;
        if (std::regex_search(text, m, std::regex("BackGround = ([0-9]+)"))) {
            const std::string entry = " " + m[1].str() + ": ";
            const std::size_t at = text.find(entry, text.find("Global Color Map:"));
            if (text.find("Global Color Map:") != std::string::npos && at != std::string::npos) {
                unsigned r, g, b;
                if (std::sscanf(text.c_str() + at + entry.size(), "%xh %xh %xh", &r, &g, &b) == 3)
                    bg = {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)};
            }
        }
        for (std::size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(diffFrame(doc.pages[i], frames[i], bg), "") << path << " page " << i;
        ++compared;
    }
    EXPECT_GE(compared, 10);
    const char* broken[] = {"gdkpixbuf--fail__overflow-codes-max.gif", "libgd--gif__gif-conformance__invalid__bad_lzw_code.gif",
                            "libgd--gif__gif-conformance__invalid__truncated_lzw.gif", "gdkpixbuf--gif-test-suite__invalid-code.gif",
                            "libgd--fuzzing__corpus__gif__ossfuzz5700.gif", "pillow--zero_width.gif"};
    for (const char* name : broken) {
        const fs::path p = dir / name;
        if (fs::exists(p)) {
            EXPECT_THROW(gifDecode(readBytes(p.string())), Error) << name;
        }
    }
}

}  // namespace
