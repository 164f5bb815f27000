#include <gif_lib.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <string>

#include "imaging/codecs/gif_lzw.h"
#include "tests/support/page_checks.h"
#include "tests/support/prelude.h"

namespace {

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

// "" when our page shows ImageMagick's frame. Where ours is transparent,
// ImageMagick may instead show the screen's background colour: it starts its
// canvas with that colour, browsers and we with transparency.
std::string diffFrame(const Image& page, const std::string& rgba, Rgb background) {
    const Image ours = toRgba32(page);
    const std::size_t n = static_cast<std::size_t>(ours.width()) * static_cast<std::size_t>(ours.height());
    if (rgba.size() != 4 * n) return "size differs";
    for (std::size_t i = 0; i < n; ++i) {
        const auto* e = reinterpret_cast<const std::uint8_t*>(rgba.data()) + 4 * i;
        const std::uint8_t* o = ours.data() + 4 * i;
        const Rgb theirs{e[0], e[1], e[2]};
        const bool same = o[3] == 0 ? e[3] == 0 || theirs == background : e[3] != 0 && Rgb{o[0], o[1], o[2]} == theirs;
        if (!same)
            return "pixel " + std::to_string(i) + ": ours " + std::to_string(o[0]) + "," + std::to_string(o[1]) + "," +
                   std::to_string(o[2]) + "," + std::to_string(o[3]) + " theirs " + std::to_string(e[0]) + "," +
                   std::to_string(e[1]) + "," + std::to_string(e[2]) + "," + std::to_string(e[3]);
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
    // Noise, enough of it to fill the LZW table and clear it at every depth.
    // Below 8 bits the palette holds twice the colours in use and is cut to the depth.
    Image src(320, 240, PixelFormat::Indexed);
    for (int c = 0; c < (bits < 8 ? 2 * colours : colours); ++c)
        src.palette().push_back({static_cast<std::uint8_t>(c * 29), static_cast<std::uint8_t>(c),
                                 static_cast<std::uint8_t>(255 - c * 3)});
    std::mt19937 rng(static_cast<unsigned>(bits));
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x) src.row(y)[x] = static_cast<std::uint8_t>(rng() % unsigned(colours));
    src.xDpi = src.yDpi = 200;
    savePage(path, src, 2, bits, 2);

    const std::string text = runCommand("giftext -c '" + path + "' 2>&1");
    EXPECT_NE(text.find("Screen Size - Width = 320, Height = 240."), std::string::npos) << text;
    EXPECT_NE(text.find("BitsPerPixel = " + std::to_string(bits) + ","), std::string::npos) << text;
    const std::regex entry("[0-9a-f]{2}h [0-9a-f]{2}h [0-9a-f]{2}h");
    const auto entries = std::distance(std::sregex_iterator(text.begin(), text.end(), entry), std::sregex_iterator());
    EXPECT_EQ(entries, 1 << bits);
    EXPECT_EQ(runCommand("identify -format '%w %h %n' '" + path + "'"), "320 240 1");
    const auto bytes = readBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF87a");

    const Document back = loadDocument(path);
    ASSERT_EQ(back.pages.size(), 1u);
    EXPECT_EQ(back.pages[0].format(), PixelFormat::Indexed);
    EXPECT_EQ(back.pages[0].indexBits(), bits);
    EXPECT_EQ(rgb24Bytes(back.pages[0]), rgb24Bytes(src));
    const std::string im = runCommand("convert '" + path + "' -depth 8 rgb:-");
    EXPECT_EQ(std::vector<std::uint8_t>(im.begin(), im.end()), rgb24Bytes(src));
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, GifDepth, ::testing::Range(1, 9));

TEST(GifWriter, RefusesWhatAGifCannotHold) {
    const FormatWriter* w = Registry::instance().findWriter(2);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->canAppend(2));
    struct Case {
        int width, height, bits;
    };
    const Case cases[] = {{65536, 1, 8}, {1, 65536, 8}, {4, 4, 9}, {4, 4, 24}, {4, 4, 0}};
    for (const Case& c : cases)
        EXPECT_THROW(w->write(Image(c.width, c.height, PixelFormat::Gray8), WriteOptions{2, c.bits, 2, "x.gif"}), Error)
            << c.width << "x" << c.height << " at " << c.bits;
}

// ---- Composition of frames ------------------------------------------------

// Palette of the hand-made files: one letter per entry.
constexpr const char* kLetters = "KRGBWCMY";
const Rgb kColours[8] = {{0, 0, 0},       {255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                         {255, 255, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};

struct Frame {
    int left, top, width, height;
    std::string pixels;    // letters, row by row; fewer than the frame holds end the data early
    int disposal = 0;      // 0..3
    char transparent = 0;  // letter drawn as transparent, 0 for none
    bool interlaced = false;
    int codeSize = 3;  // LZW minimum code size
};

int letterIndex(char c) { return static_cast<int>(std::string(kLetters).find(c)); }

// `indices` as an LZW stream of single-index codes: a clear code first, the end
// code last, code widths growing as the decoder's table grows. Past 4096
// entries the table stays full without a clear, as some encoders leave it.
Bytes literalLzw(const std::vector<int>& indices, int codeSize) {
    const int clear = 1 << codeSize;
    int width = codeSize + 1, next = clear + 2;
    Bytes out;
    std::uint32_t acc = 0;
    int bits = 0;
    auto put = [&](int code) {
        acc |= std::uint32_t(code) << bits;
        for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out.push_back(static_cast<std::uint8_t>(acc));
    };
    put(clear);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        put(indices[i]);
        if (i > 0 && next < 4096 && ++next == (1 << width) && width < 12) ++width;
    }
    put(clear + 1);
    if (bits) out.push_back(static_cast<std::uint8_t>(acc));
    return out;
}

// A GIF89a written byte by byte so each test states exactly what the file
// holds: a global table of the eight letters' colours, a graphic control
// extension before every frame.
Bytes buildGif(int sw, int sh, char background, const std::vector<Frame>& frames) {
    Bytes b{'G', 'I', 'F', '8', '9', 'a'};
    auto u16 = [&](int v) { b.push_back(std::uint8_t(v & 0xFF)), b.push_back(std::uint8_t(v >> 8)); };
    u16(sw), u16(sh);
    b.insert(b.end(), {0xF2, std::uint8_t(letterIndex(background)), 0});
    for (const Rgb& c : kColours) b.insert(b.end(), {c.r, c.g, c.b});
    for (const Frame& f : frames) {
        b.insert(b.end(), {0x21, 0xF9, 4, std::uint8_t(f.disposal << 2 | (f.transparent ? 1 : 0)), 0, 0,
                           std::uint8_t(f.transparent ? letterIndex(f.transparent) : 0), 0, 0x2C});
        u16(f.left), u16(f.top), u16(f.width), u16(f.height);
        b.push_back(f.interlaced ? 0x40 : 0);
        std::vector<int> order;
        for (auto [start, step] : f.interlaced ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}}
                                               : std::vector<std::pair<int, int>>{{0, 1}})
            for (int y = start; y < f.height; y += step)
                for (int x = 0; x < f.width; ++x)
                    if (std::size_t(y * f.width + x) < f.pixels.size())
                        order.push_back(letterIndex(f.pixels[std::size_t(y * f.width + x)]));
        const Bytes data = literalLzw(order, f.codeSize);
        b.push_back(std::uint8_t(f.codeSize));
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            b.push_back(std::uint8_t(n));
            b.insert(b.end(), data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + n));
        }
        b.push_back(0);
    }
    b.push_back(0x3B);
    return b;
}

// One letter per pixel, '.' for a transparent one.
std::string lettersOf(const Image& page) {
    std::string s;
    for (int y = 0; y < page.height(); ++y) {
        if (y) s += ' ';
        for (int x = 0; x < page.width(); ++x) {
            const Rgb c = pixelRgb(page, x, y);
            const auto* it = std::find(std::begin(kColours), std::end(kColours), c);
            if (page.format() == PixelFormat::Rgba32 && page.row(y)[4 * x + 3] == 0)
                s += '.';
            else
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
    std::vector<std::string> pages;  // expected, rows separated by spaces, '.' transparent
    bool indexed = false;            // the single page keeps the file's palette
    bool magickReads = true;         // ImageMagick calls data ending early corrupt
};

void PrintTo(const Scene& s, std::ostream* os) { *os << s.name; }

class GifScene : public ::testing::TestWithParam<Scene> {};

TEST_P(GifScene, ComposesFramesAsABrowserShowsThem) {
    const Scene& s = GetParam();
    const auto bytes = buildGif(s.width, s.height, s.background, s.frames);
    keepFuzzSeed("fuzz_gif", std::string(s.name) + ".gif", bytes);
    const Document doc = decode("GIF", bytes);
    ASSERT_EQ(doc.pages.size(), s.pages.size());
    expectPagesAsRead("GIF", bytes);
    EXPECT_EQ(readerNamed("GIF").pageCount(bytes, ReadContext{"x.gif"}), static_cast<int>(s.pages.size()));
    for (std::size_t i = 0; i < s.pages.size(); ++i) {
        EXPECT_EQ(lettersOf(doc.pages[i]), s.pages[i]) << "page " << i;
        const PixelFormat want = s.indexed                                   ? PixelFormat::Indexed
                                 : s.pages[i].find('.') != std::string::npos ? PixelFormat::Rgba32
                                                                             : PixelFormat::Rgb24;
        EXPECT_EQ(doc.pages[i].format(), want) << "page " << i;
    }
    // ImageMagick agrees wherever we draw something. It clips frames to the
    // screen, so a grown canvas is not compared.
    if (!s.magickReads || doc.pages[0].width() != s.width || doc.pages[0].height() != s.height) return;
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
        Scene{"unused_transparent_index_keeps_palette", 3, 1, 'B', {{0, 0, 3, 1, "RGK", 0, 'W'}}, {"RGK"}, true},
        Scene{"uncovered_pixels_are_transparent", 3, 2, 'B', {{1, 0, 2, 1, "RG"}}, {".RG ..."}},
        Scene{"transparent_pixels_show_what_is_below",
              3,
              2,
              'B',
              {{0, 0, 3, 2, "RRRGGG", 1}, {0, 0, 3, 2, "GKGKGK", 1, 'G'}},
              {"RRR GGG", "RKR KGK"}},
        Scene{"transparent_first_frame_stays_transparent", 3, 1, 'Y', {{0, 0, 3, 1, "RKR", 0, 'R'}}, {".K."}},
        Scene{"dispose_to_background_clears_the_frame_only",
              3,
              2,
              'B',
              {{0, 0, 3, 2, "RRRRRR", 1}, {0, 0, 1, 1, "G", 2}, {2, 1, 1, 1, "K"}},
              {"RRR RRR", "GRR RRR", ".RR RRK"}},
        Scene{"dispose_to_previous_restores",
              3,
              2,
              'B',
              {{0, 0, 3, 2, "RRRRRR", 1}, {1, 0, 2, 2, "GGGG", 3}, {0, 1, 1, 1, "K"}},
              {"RRR RRR", "RGG RGG", "RRR KRR"}},
        Scene{"dispose_to_previous_restores_transparency",
              2,
              1,
              'B',
              {{0, 0, 1, 1, "R", 1}, {0, 0, 2, 1, "GG", 3}, {1, 0, 1, 1, "K"}},
              {"R.", "GG", "RK"}},
        Scene{
            "no_disposal_keeps_the_frame", 2, 2, 'B', {{0, 0, 1, 1, "R", 0}, {1, 1, 1, 1, "G", 1}}, {"R. ..", "R. .G"}},
        Scene{"frames_past_the_screen_grow_the_canvas", 3, 2, 'B', {{2, 1, 2, 2, "RGKW"}}, {".... ..RG ..KW"}},
        Scene{"a_later_frame_grows_every_page",
              2,
              1,
              'B',
              {{0, 0, 2, 1, "RG", 1}, {1, 1, 1, 1, "B"}},
              {"RG ..", "RG .B"}},
        Scene{"interlaced_rows_land_in_place",
              1,
              10,
              'B',
              {{0, 0, 1, 10, "KRGBWCMYKR", 0, 0, true}},
              {"K R G B W C M Y K R"},
              true},
        Scene{"data_ending_early_leaves_the_rest_undrawn", 2, 2, 'B', {{0, 0, 2, 2, "RGB"}}, {"RG B."}, false, false},
        // Minimum code sizes above 8 (browsers read them, giflib does not).
        Scene{"code_size_9", 3, 1, 'B', {{0, 0, 3, 1, "RGB", 0, 0, false, 9}}, {"RGB"}, true},
        Scene{"code_sizes_10_and_11",
              2,
              2,
              'B',
              {{0, 0, 2, 2, "RGBK", 1, 0, true, 10}, {1, 0, 1, 2, "WY", 0, 'Y', false, 11}},
              {"RG BK", "RW BK"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Read whole and through the engine page by page: every canvas counts once,
// so a document exactly at the limit is read.
TEST(GifReader, FramesBeyondThePixelLimitAreRefused) {
    struct Case {
        std::size_t frames;
        std::uint64_t limit;
        bool read;
    };
    const Case cases[] = {{5, 16 * 4, false}, {5, 16 * 5, true}, {1, 16, true}};
    const std::uint64_t saved = pixelLimit();
    TempDir dir;
    for (const Case& c : cases) {
        const auto bytes = buildGif(4, 4, 'B', std::vector<Frame>(c.frames, Frame{0, 0, 4, 4, std::string(16, 'R')}));
        writeBytes(dir / "x.gif", bytes);
        setPixelLimit(c.limit);
        for (const bool paged : {false, true}) {
            try {
                const Document doc = paged ? loadDocument(dir / "x.gif") : decode("GIF", bytes);
                EXPECT_TRUE(c.read && doc.pages.size() == c.frames) << c.frames << " frames, limit " << c.limit;
            } catch (const Error& e) {
                EXPECT_FALSE(c.read) << c.frames << " frames, limit " << c.limit << ": " << e.what();
                EXPECT_EQ(e.kind(), Error::Kind::TooLarge) << e.what();
            }
        }
    }
    setPixelLimit(saved);
}

TEST(GifReader, SniffsBothVersionsOnly) {
    struct Case {
        std::string head;
        Sniff expect;
    };
    const Case cases[] = {{"GIF87a..", Sniff::Strong}, {"GIF89a..", Sniff::Strong}, {"GIF88a..", Sniff::No},
                          {"GIF89", Sniff::No},        {"gif89a..", Sniff::No},     {"", Sniff::No}};
    for (const Case& c : cases)
        EXPECT_EQ(readerNamed("GIF").sniff({reinterpret_cast<const std::uint8_t*>(c.head.data()), c.head.size()}),
                  c.expect)
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
    ASSERT_EQ(std::system((cd +
                           "convert -size 40x30 gradient:red-blue -depth 8 a.ppm && "
                           "convert a.ppm -fill yellow -draw 'rectangle 5,5 14,12' b.ppm && "
                           "convert b.ppm -fill green -draw 'circle 30,20 34,24' c.ppm && " +
                           c.make)
                              .c_str()),
              0);
    const std::string path = dir / "x.gif";
    keepFuzzSeed("fuzz_gif", std::string(c.name) + ".gif", readBytes(path));
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), c.pages);
    EXPECT_EQ(probePageCount(path), static_cast<int>(c.pages));
    const auto frames = coalescedFrames(path, 40, 30, c.pages);
    ASSERT_EQ(frames.size(), c.pages);
    for (std::size_t i = 0; i < c.pages; ++i) EXPECT_EQ(diffFrame(doc.pages[i], frames[i], Rgb{}), "") << "page " << i;
}

INSTANTIATE_TEST_SUITE_P(OtherWriters, GifForeign,
                         ::testing::Values(ForeignGif{"animated", "convert -delay 10 a.ppm b.ppm c.ppm x.gif", 3},
                                           ForeignGif{"optimised_animation",
                                                      "convert -delay 10 a.ppm b.ppm c.ppm -layers optimize x.gif", 3},
                                           ForeignGif{"interlaced", "convert c.ppm -interlace GIF x.gif", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

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
    const std::string printed = capturedStderr([&] {
        for (const auto& good : sources) {
            for (std::size_t cut = 0; cut < good.size(); ++cut) {
                const std::vector<std::uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
                try {
                    decode("GIF", b);
                } catch (const Error&) {
                    ++refused;
                }
                try {
                    (void)readerNamed("GIF").pageCount(b, ReadContext{"x"});
                } catch (const Error&) {
                }
            }
            for (int i = 0; i < 400; ++i) {
                auto b = good;
                for (int k = 0; k < 2; ++k) b[6 + rng() % (b.size() - 6)] = static_cast<std::uint8_t>(rng());
                try {
                    decode("GIF", b);
                } catch (const Error&) {
                    ++refused;
                }
            }
        }
    });
    EXPECT_EQ(printed, "");
    EXPECT_GT(refused, 0);
}

TEST(GifReader, BrokenImageDataIsAnError) {
    struct Case {
        const char* what;
        std::size_t keep;
    };
    const auto good = buildGif(8, 8, 'B', {{0, 0, 8, 8, std::string(64, 'R')}});
    // Cut inside the image data, and in the middle of the image descriptor.
    const Case cases[] = {{"data cut short", good.size() - 6}, {"descriptor cut short", 13 + 24 + 8 + 5}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(c.keep));
        EXPECT_THROW(decode("GIF", b), Error) << c.what;
    }
    // Everything before the trailer is there: the picture is complete.
    const std::vector<std::uint8_t> noTrailer(good.begin(), good.end() - 1);
    EXPECT_EQ(decode("GIF", noTrailer).pages.size(), 1u);
}

TEST(GifReader, RefusesWhatItCannotDecode) {
    EXPECT_THROW(decode("GIF", buildGif(2, 1, 'B', {})), Error);  // a trailer and no image
    // A far-off frame grows the canvas past the pixel limit: refused before allocating.
    EXPECT_THROW(decode("GIF", buildGif(1, 1, 'B', {{60000, 60000, 1, 1, "R"}})), Error);
    // 12 leaves no room for a single 12-bit table entry.
    const auto wide = buildGif(2, 1, 'B', {{0, 0, 2, 1, "RG", 0, 0, false, 12}});
    EXPECT_THROW(decode("GIF", wide), Error);
    EXPECT_THROW((void)readerNamed("GIF").pageCount(wide, ReadContext{"x"}), Error);
    // Codes 8 (clear), 1, 2, 9 (end) at 4 bits; the 2 made a 12, which the table does not hold yet.
    auto bad = buildGif(2, 1, 'B', {{0, 0, 2, 1, "RG"}});
    ASSERT_EQ(bad[bad.size() - 3], 0x92);
    bad[bad.size() - 3] = 0x9C;
    EXPECT_THROW(decode("GIF", bad), Error);
}

// Long frames at every code size: Pillow reads them to the same picture,
// also past 4096 codes, where the table stays full.
TEST(GifReader, EveryCodeSizeDecodesLikePillow) {
    RASTEL_REQUIRE_TOOLS("python3");
    struct Case {
        int codeSize, width, height;
    };
    const Case cases[] = {{2, 70, 70}, {3, 9, 5}, {8, 90, 50}, {9, 33, 7}, {10, 5, 3}, {11, 70, 70}};
    std::uint32_t seed = 5;
    for (const Case& c : cases) {
        std::string letters;
        for (int i = 0; i < c.width * c.height; ++i) {
            seed = seed * 1664525u + 1013904223u;
            letters += kLetters[(seed >> 24) % (c.codeSize == 2 ? 4 : 8)];
        }
        const auto bytes =
            buildGif(c.width, c.height, 'K', {{0, 0, c.width, c.height, letters, 0, 0, false, c.codeSize}});
        const Document doc = decode("GIF", bytes);
        std::string want;
        for (int y = 0; y < c.height; ++y)
            want += (y ? " " : "") + letters.substr(std::size_t(y * c.width), std::size_t(c.width));
        EXPECT_EQ(lettersOf(doc.pages[0]), want) << "code size " << c.codeSize;
        TempDir dir;
        writeBytes(dir / "x.gif", bytes);
        EXPECT_EQ(rastel::test::pixelDifferences(rastel::test::pillowRgba(dir / "x.gif"), doc.pages[0], true), 0)
            << "code size " << c.codeSize;
    }
}

extern "C" int readMemory(GifFileType* gif, GifByteType* dest, int n) {
    auto* in = static_cast<std::pair<const Bytes*, std::size_t>*>(gif->UserData);
    const int k = static_cast<int>(std::min<std::size_t>(std::size_t(std::max(n, 0)), in->first->size() - in->second));
    std::copy_n(in->first->data() + in->second, k, dest);
    in->second += std::size_t(k);
    return k;
}

// Every frame's indices in stored order as giflib decodes them, each next to
// what our decoder makes of the same data; nothing when giflib refuses the file.
std::vector<std::pair<std::vector<std::uint16_t>, std::vector<std::uint16_t>>> giflibAndOurs(const Bytes& file) {
    std::vector<std::pair<std::vector<std::uint16_t>, std::vector<std::uint16_t>>> frames;
    int err = 0;
    std::pair<const Bytes*, std::size_t> in{&file, 0}, raw{&file, 0};
    GifFileType* whole = DGifOpen(&in, readMemory, &err);
    if (!whole) return {};
    if (DGifSlurp(whole) == GIF_OK) {
        GifFileType* gif = DGifOpen(&raw, readMemory, &err);
        GifRecordType type;
        for (int i = 0; DGifGetRecordType(gif, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE;) {
            GifByteType* block = nullptr;
            int code = 0;
            if (type == EXTENSION_RECORD_TYPE) {
                DGifGetExtension(gif, &code, &block);
                while (block) DGifGetExtensionNext(gif, &block);
                continue;
            }
            DGifGetImageDesc(gif);
            Bytes data;
            for (DGifGetCode(gif, &code, &block); block; DGifGetCodeNext(gif, &block))
                data.insert(data.end(), block + 1, block + 1 + block[0]);
            const SavedImage& s = whole->SavedImages[i++];
            const int w = s.ImageDesc.Width, h = s.ImageDesc.Height;
            std::vector<std::uint16_t> theirs, ours(std::size_t(w) * std::size_t(h));
            for (auto [start, step] : s.ImageDesc.Interlace
                                          ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}}
                                          : std::vector<std::pair<int, int>>{{0, 1}})
                for (int y = start; y < h; y += step)
                    theirs.insert(theirs.end(), s.RasterBits + y * w, s.RasterBits + (y + 1) * w);
            GifLzwDecoder lzw(data, code);
            ours.resize(lzw.read(ours));
            frames.emplace_back(std::move(theirs), std::move(ours));
        }
        DGifCloseFile(gif, &err);
    }
    DGifCloseFile(whole, &err);
    return frames;
}

// Our LZW decoder gives giflib's indices for files from our writer, from
// ImageMagick and from the sample folder.
TEST(GifReader, DecodesLikeGiflib) {
    const FormatWriter* w = Registry::instance().findWriter(2);
    const Image photo = rastel::test::makePicture(rastel::test::Picture::Photo, 300, 200);
    std::vector<std::pair<std::string, Bytes>> files;
    for (int bits : {1, 4, 8})
        files.emplace_back("ours at " + std::to_string(bits), w->write(photo, WriteOptions{2, bits, 2, "x"}));
    TempDir dir;
    if (rastel::test::runQuiet("convert -seed 3 -size 160x120 xc: +noise Random -colors 200 -interlace GIF " +
                               rastel::test::shellQuote(dir / "im.gif")))
        files.emplace_back("ImageMagick noise", readBytes(dir / "im.gif"));
    const auto corpus = rastel::test::corpusFiles("gif");
    for (const std::string& path : corpus) files.emplace_back(path, readBytes(path));
    int compared = 0;
    for (const auto& [name, bytes] : files) {
        for (const auto& [theirs, ours] : giflibAndOurs(bytes)) {
            EXPECT_TRUE(theirs == ours) << name;
            ++compared;
        }
    }
    // Without the sample folder beside the checkout only our files and ImageMagick's are compared.
    EXPECT_GE(compared, corpus.empty() ? 4 : 20);
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
            doc = decode("GIF", bytes);
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
    const char* broken[] = {"gdkpixbuf--fail__overflow-codes-max.gif",
                            "libgd--gif__gif-conformance__invalid__bad_lzw_code.gif",
                            "libgd--gif__gif-conformance__invalid__truncated_lzw.gif",
                            "gdkpixbuf--gif-test-suite__invalid-code.gif",
                            "libgd--fuzzing__corpus__gif__ossfuzz5700.gif",
                            "pillow--zero_width.gif"};
    for (const char* name : broken) {
        const fs::path p = dir / name;
        if (fs::exists(p)) {
            EXPECT_THROW(decode("GIF", readBytes(p.string())), Error) << name;
        }
    }
}

}  // namespace
