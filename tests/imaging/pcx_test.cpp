#include <functional>

#include "tests/support/page_checks.h"
#include "tests/support/prelude.h"

namespace {

constexpr int kPcx = 1;

// A black and white picture, so that 1-bit output has no choice to make.
Image blackWhite(int w = 45, int h = 17) {
    Image img(w, h, PixelFormat::Gray8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.row(y)[x] = ((x / 3 + y / 2) % 3 == 0) ? 0 : 255;
    return img;
}

Image sourceFor(int bits) { return bits == 1 ? blackWhite() : testPicture(); }

class PcxWrite : public ::testing::TestWithParam<int> {};

TEST_P(PcxWrite, NetpbmAndPillowReadWhatWeWrite) {
    const int bits = GetParam();
    const Image src = sourceFor(bits);
    Image withDpi = src;
    withDpi.xDpi = 150;
    withDpi.yDpi = 300;
    const auto bytes = writerFor(kPcx).write(withDpi, WriteOptions{kPcx, bits, 2, "x.pcx"});
    ASSERT_GE(bytes.size(), 128u);
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 5);
    EXPECT_EQ(bytes[2], 1);
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 150);
    EXPECT_EQ(bytes[14] | (bytes[15] << 8), 300);
    EXPECT_EQ((bytes[66] | (bytes[67] << 8)) % 2, 0) << "bytes per line must be even";
    const int planes = bytes[65], planeBits = bytes[3];
    const int expectedPlanes = bits == 4 ? 4 : bits == 24 ? 3 : 1;
    const int expectedBits = bits == 8 || bits == 24 ? 8 : 1;
    EXPECT_EQ(planes, expectedPlanes);
    EXPECT_EQ(planeBits, expectedBits);
    if (bits == 8) {
        EXPECT_EQ(bytes[bytes.size() - 769], 0x0C);
    }

    const Image expected = expectedAt(src, bits);
    TempDir dir;
    const std::string path = dir.file("out.pcx");
    writeBytes(path, bytes);
    const auto netpbm = netpbmRead("pcxtoppm", path);
    ASSERT_TRUE(netpbm);
    EXPECT_EQ(pixelDifferences(*netpbm, expected), 0) << bits << " bits, pcxtoppm";
    EXPECT_EQ(pixelDifferences(magickRgba(path, true), expected), 0) << bits << " bits, GraphicsMagick";
    // Pillow reads 4-plane files with the planes in another order than netpbm
    // and GraphicsMagick, so it only checks the other depths.
    if (bits != 4) {
        EXPECT_EQ(pixelDifferences(pillowRgba(path), expected), 0) << bits << " bits, Pillow";
    }

    const Document back = decode("PCX", bytes);
    ASSERT_EQ(back.pages.size(), 1u);
    EXPECT_EQ(pixelDifferences(back.pages[0], expected), 0) << bits << " bits, own reader";
    EXPECT_EQ(back.pages[0].bitsPerPixel(), bits);
    EXPECT_EQ(back.pages[0].xDpi, 150);
    EXPECT_EQ(back.pages[0].yDpi, 300);
}

INSTANTIATE_TEST_SUITE_P(Depths, PcxWrite, ::testing::Values(1, 4, 8, 24));

TEST(Pcx, WriterStatesDefaultResolutionAndAppends) {
    const auto bytes = writerFor(kPcx).write(testPicture(), WriteOptions{kPcx, 24, 2, "x.pcx"});
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 72);
    EXPECT_TRUE(writerFor(kPcx).canAppend(kPcx));
}

// Literal bytes of 0xC0 and above must be coded as runs of one, and long runs
// split at 63.
TEST(Pcx, RunCodingKeepsHighBytesAndLongRuns) {
    Image img(200, 2, PixelFormat::Gray8);
    for (int x = 0; x < 200; ++x) {
        img.row(0)[x] = static_cast<std::uint8_t>(x < 130 ? 0xC5 : 0xFF);
        img.row(1)[x] = static_cast<std::uint8_t>(x);
    }
    const auto bytes = writerFor(kPcx).write(img, WriteOptions{kPcx, 8, 2, "x.pcx"});
    const Image back = decode("PCX", bytes).pages[0];
    EXPECT_EQ(pixelDifferences(back, toBitsPerPixel(img, 8)), 0);
}

struct ForeignCase {
    const char* name;
    const char* command;  // %s = input PPM, %o = output PCX
    int bits;             // bits per pixel our reader should report
};

class PcxForeign : public ::testing::TestWithParam<ForeignCase> {};

// Files written by other programs decode to the pixels they were made from.
TEST_P(PcxForeign, DecodesToTheSourcePixels) {
    const ForeignCase& c = GetParam();
    const bool mono = c.bits == 1;
    const Image src = mono          ? toRgb24(blackWhite())
                      : c.bits <= 4 ? toRgb24(toBitsPerPixel(testPicture(), c.bits == 2   ? 2
                                                                            : c.bits == 3 ? 3
                                                                                          : 4))
                      : c.bits == 8 ? toRgb24(toBitsPerPixel(testPicture(), 8))
                                    : testPicture();
    const Image img = decodeToolOutput("PCX", c.command, src, ".pcx", Sniff::Strong);
    ASSERT_FALSE(img.empty()) << c.command;
    EXPECT_EQ(pixelDifferences(img, src), 0) << c.name;
    EXPECT_EQ(img.bitsPerPixel(), c.bits) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, PcxForeign,
    ::testing::Values(
        ForeignCase{"ppmtopcx_24bit", "ppmtopcx -24bit %s > %o", 24},
        ForeignCase{"ppmtopcx_8bit", "ppmtopcx -8bit %s > %o", 8},
        ForeignCase{"ppmtopcx_4planes", "ppmtopcx -planes 4 %s > %o", 4},
        ForeignCase{"ppmtopcx_3planes", "ppmtopcx -planes 3 %s > %o", 3},
        ForeignCase{"ppmtopcx_2planes", "ppmtopcx -planes 2 %s > %o", 2},
        ForeignCase{"ppmtopcx_packed4", "ppmtopcx -packed %s > %o", 4},
        ForeignCase{"ppmtopcx_mono", "ppmtopcx %s > %o", 1},
        ForeignCase{"magick_24bit", "/usr/bin/convert %s -type TrueColor %o", 24},
        ForeignCase{"magick_palette", "/usr/bin/convert %s -type Palette %o", 8},
        ForeignCase{
            "pillow_rgb",
            "/usr/bin/python3 -c \"import sys;from PIL import Image;Image.open(sys.argv[1]).save(sys.argv[2])\" %s %o",
            24},
        ForeignCase{"pillow_palette",
                    "/usr/bin/python3 -c \"import sys;from PIL import "
                    "Image;Image.open(sys.argv[1]).quantize(256).save(sys.argv[2])\" %s %o",
                    8}),
    [](const auto& info) { return std::string(info.param.name); });

// Header fields that would make the decoder read or write out of bounds.
TEST(Pcx, RefusesInconsistentHeaders) {
    const auto good = writerFor(kPcx).write(testPicture(), WriteOptions{kPcx, 24, 2, "x.pcx"});
    struct Patch {
        const char* what;
        std::size_t at;
        std::vector<std::uint8_t> bytes;
    };
    const Patch patches[] = {
        {"xmax before xmin", 4, {10, 0, 0, 0, 5, 0}},
        {"bytes per line too small", 66, {4, 0}},
        {"five planes", 65, {5}},
        {"sixteen bits", 3, {16}},
        {"unknown version", 1, {7}},
        {"unknown encoding", 2, {2}},
        {"huge window", 8, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Patch& p : patches) {
        auto bad = good;
        std::copy(p.bytes.begin(), p.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(p.at));
        EXPECT_THROW(decode("PCX", bad), Error) << p.what;
    }
}

TEST(Pcx, TruncatedPixelDataIsRefused) {
    for (int bits : {1, 4, 8, 24}) {
        const auto file = writerFor(kPcx).write(sourceFor(bits), WriteOptions{kPcx, bits, 2, "x.pcx"});
        const std::size_t pixelEnd = bits == 8 ? file.size() - 769 : file.size();
        EXPECT_EQ(acceptedCut("PCX", file, pixelEnd), -1) << bits << " bits";
    }
}

// Runs may carry on into the next scan line; the decoder keeps them inside the
// picture buffer.
TEST(Pcx, RunsCrossingScanLinesStayInsideThePicture) {
    std::vector<std::uint8_t> f(128, 0);
    f[0] = 0x0A;
    f[1] = 5;
    f[2] = 1;
    f[3] = 8;
    f[8] = 3;   // xmax: width 4
    f[10] = 1;  // ymax: height 2
    f[65] = 1;
    f[66] = 4;
    // One run of 6 then a run of 63 that overshoots the 8-byte picture.
    for (std::uint8_t b : {0xC6, 7, 0xFF, 9}) f.push_back(b);
    const Image img = decode("PCX", f).pages[0];
    EXPECT_EQ(img.row(0)[0], 7);
    EXPECT_EQ(img.row(1)[1], 7);
    EXPECT_EQ(img.row(1)[2], 9);
    EXPECT_EQ(img.row(1)[3], 9);
}

// Files of the shared corpus decode like an independent decoder; the ones it
// refuses must be refused with an Error (never a crash). The reference is
// netpbm, except for monochrome files (netpbm applies the header palette to
// them, Pillow and GraphicsMagick read black and white, as we do) and for
// 4 planes of 8 bits (netpbm has no alpha: GraphicsMagick reads RGBA).
TEST(Pcx, SharedCorpusMatchesAnIndependentDecoder) {
    RASTEL_CORPUS_FILES(files, "pcx");
    int compared = 0;
    for (const std::string& path : files) {
        const auto bytes = readBytes(path);
        const int layout = bytes.size() >= 128 ? bytes[3] * 10 + bytes[65] : 0;
        Image ref;
        bool refOk = false;
        try {
            if (layout == 11) {
                ref = pillowRgba(path);
            } else if (layout == 84) {
                ref = magickRgba(path, true);
            } else {
                ref = netpbmRead("pcxtoppm", path).value_or(Image());
            }
            refOk = !ref.empty();
        } catch (const std::exception&) {
            refOk = false;
        }
        try {
            const Image ours = decode("PCX", bytes).pages[0];
            if (refOk) {
                EXPECT_EQ(pixelDifferences(ours, ref, layout == 84), 0) << path;
                ++compared;
            }
        } catch (const Error& e) {
            EXPECT_FALSE(refOk) << path << ": " << e.what();
        }
    }
    EXPECT_GT(compared, 10);
}

TEST(Pcx, EngineSavesAndLoadsEveryDepth) { expectEngineRoundTrips(1, ".pcx", blackWhite()); }

// ---- Multi-page output: DCX ----

std::uint32_t u32At(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (std::uint32_t{b.at(at + 3)} << 24);
}

// Page n of a test document: sizes and content differ from page to page.
Image pageFor(int bits, int n) {
    const Image src = bits == 1 ? blackWhite(30 + 7 * n, 11 + n) : testPicture(25 + 6 * n, 14 + 3 * n);
    return n % 2 ? mirrored(src) : src;
}

// In-memory DCX of `pages` pages at `bits` bits, made the way the engine makes it.
std::vector<std::uint8_t> dcxOf(int pages, int bits = 24) {
    const auto& w = writerFor(kPcx);
    const WriteOptions opt{kPcx, bits, 2, "x.pcx"};
    auto file = w.write(pageFor(bits, 0), opt);
    for (int n = 1; n < pages; ++n) file = w.append(file, pageFor(bits, n), opt);
    return file;
}

// Frame `index` of a multi-image file decoded by ImageMagick (or
// GraphicsMagick when `gm` is set), as RGBA.
Image magickFrame(const std::string& path, int index, bool gm = false) {
    const std::string frame = "'" + path + "[" + std::to_string(index) + "]'";
    bool ok = false;
    const auto dims =
        captureBytes((gm ? "gm identify" : "/usr/bin/identify") + std::string(" -format '%w %h' ") + frame, &ok);
    int w = 0, h = 0;
    std::sscanf(std::string(dims.begin(), dims.end()).c_str(), "%d %d", &w, &h);
    const auto px = captureBytes((gm ? "gm convert " : "/usr/bin/convert ") + frame + " -depth 8 rgba:-", &ok);
    Image img(std::max(w, 1), std::max(h, 1), PixelFormat::Rgba32);
    if (!ok || w <= 0 || px.size() != img.byteSize()) throw std::runtime_error("ImageMagick could not read " + frame);
    std::copy(px.begin(), px.end(), img.data());
    return img;
}

struct AppendCase {
    int bits;
    int pages;
};

class PcxAppend : public ::testing::TestWithParam<AppendCase> {};

// The engine keeps one page as plain PCX and turns the file into DCX when
// pages are added; we, GraphicsMagick and ImageMagick (by the .pcx name: both
// go by the magic number) read every page back exactly. ImageMagick 6 reads
// every 1-bit PCX with 0 as white (plain files too, whatever the header
// palette), unlike GraphicsMagick, Pillow and netpbm, so it only checks the
// page sizes there.
TEST_P(PcxAppend, EngineAndImageMagickReadEveryPage) {
    const auto [bits, pages] = GetParam();
    TempDir dir;
    const std::string path = dir.file("doc.pcx");
    savePage(path, pageFor(bits, 0), kPcx, bits, 2);
    ASSERT_EQ(readBytes(path).at(0), 0x0A) << "one page stays a plain PCX file";
    for (int n = 1; n < pages; ++n) appendPage(path, pageFor(bits, n), kPcx, bits, 2);

    const auto bytes = readBytes(path);
    ASSERT_EQ(u32At(bytes, 0), 987654321u);
    EXPECT_EQ(u32At(bytes, 4), 4100u) << "first page behind the full 1024-entry table";
    EXPECT_EQ(u32At(bytes, 4 + 4 * static_cast<std::size_t>(pages)), 0u);
    EXPECT_EQ(probePageCount(path), pages);
    const Document doc = loadDocument(path);
    ASSERT_EQ(doc.pages.size(), static_cast<std::size_t>(pages));
    const auto frames = capture("/usr/bin/identify -format '%w\n' '" + path + "'");
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), pages);
    for (int n = 0; n < pages; ++n) {
        const Image expected = expectedAt(pageFor(bits, n), bits);
        EXPECT_EQ(pixelDifferences(doc.pages[static_cast<std::size_t>(n)], expected), 0) << "page " << n;
        EXPECT_EQ(doc.pages[static_cast<std::size_t>(n)].bitsPerPixel(), bits) << "page " << n;
        EXPECT_EQ(pixelDifferences(magickFrame(path, n, true), expected), 0) << "GraphicsMagick, page " << n;
        const Image im = magickFrame(path, n);
        EXPECT_EQ(im.width(), expected.width()) << "ImageMagick, page " << n;
        EXPECT_EQ(im.height(), expected.height()) << "ImageMagick, page " << n;
        if (bits != 1) {
            EXPECT_EQ(pixelDifferences(im, expected), 0) << "ImageMagick, page " << n;
        }
    }
    if (bits == 24 && pages == 3) keepFuzzSeed("fuzz_pcx", "dcx3", bytes);
}

INSTANTIATE_TEST_SUITE_P(DepthsAndPages, PcxAppend,
                         ::testing::Values(AppendCase{1, 2}, AppendCase{1, 3}, AppendCase{4, 2}, AppendCase{4, 3},
                                           AppendCase{8, 2}, AppendCase{8, 3}, AppendCase{24, 2}, AppendCase{24, 3}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) + "bit_" + std::to_string(info.param.pages) +
                                    "pages";
                         });

class PcxForeignDcx : public ::testing::TestWithParam<const char*> {};

// DCX files written by other programs read to the pixels they were made from,
// under either extension; adding a page to them keeps their pages.
TEST_P(PcxForeignDcx, ReadsAndExtendsThem) {
    const std::string tool = GetParam();
    TempDir dir;
    const Image a = testPicture(31, 9), b = mirrored(testPicture(12, 20));
    writePnm(dir.file("a.ppm"), a);
    writePnm(dir.file("b.ppm"), b);
    const std::string dcx = dir.file("out.dcx");
    ASSERT_TRUE(runQuiet(tool + " '" + dir.file("a.ppm") + "' '" + dir.file("b.ppm") + "' 'dcx:" + dcx + "'"));
    std::filesystem::copy_file(dcx, dir.file("out.pcx"));
    for (const std::string& path : {dcx, dir.file("out.pcx")}) {
        ASSERT_EQ(probePageCount(path), 2) << path;
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 2u);
        EXPECT_EQ(pixelDifferences(doc.pages[0], a), 0) << path;
        EXPECT_EQ(pixelDifferences(doc.pages[1], b), 0) << path;
    }
    appendPage(dcx, blackWhite(), kPcx, 1, 2);
    const Document doc = loadDocument(dcx);
    ASSERT_EQ(doc.pages.size(), 3u);
    EXPECT_EQ(pixelDifferences(doc.pages[0], a), 0);
    EXPECT_EQ(pixelDifferences(doc.pages[1], b), 0);
    EXPECT_EQ(pixelDifferences(doc.pages[2], blackWhite()), 0);
}

INSTANTIATE_TEST_SUITE_P(Tools, PcxForeignDcx, ::testing::Values("/usr/bin/convert", "gm convert"),
                         [](const auto& info) {
                             return std::string(info.param[0] == 'g' ? "GraphicsMagick" : "ImageMagick");
                         });

// A table shorter than 1024 entries with the pages stored in another order
// than listed: pages come back in table order, each ending where the next
// stored page starts (an 8-bit page finds its palette at its own end).
TEST(Pcx, DcxPagesFollowTheTableNotTheStorageOrder) {
    const auto& w = writerFor(kPcx);
    const auto p1 = w.write(pageFor(8, 0), WriteOptions{kPcx, 8, 2, "x"});
    const auto p2 = w.write(pageFor(24, 1), WriteOptions{kPcx, 24, 2, "x"});
    std::vector<std::uint8_t> f(16, 0);  // magic, two offsets, the zero entry
    setU32le(f, 0, 987654321u);
    setU32le(f, 4, static_cast<std::uint32_t>(16 + p2.size()));
    setU32le(f, 8, 16);
    f.insert(f.end(), p2.begin(), p2.end());
    f.insert(f.end(), p1.begin(), p1.end());
    const auto check = [](const std::vector<std::uint8_t>& file, std::size_t pages) {
        const Document doc = decode("PCX", file);
        ASSERT_EQ(doc.pages.size(), pages);
        EXPECT_EQ(pixelDifferences(doc.pages[0], expectedAt(pageFor(8, 0), 8)), 0);
        EXPECT_EQ(pixelDifferences(doc.pages[1], pageFor(24, 1)), 0);
        expectPagesAsRead("PCX", file);
    };
    check(f, 2);
    keepFuzzSeed("fuzz_pcx", "dcx-short-table", f);
    check(w.append(f, pageFor(24, 2), WriteOptions{kPcx, 24, 2, "x"}), 3);
}

// Damaged DCX files are refused by the reader, by the page count and by
// append (which must never pass a damaged file on with a page missing).
TEST(Pcx, DamagedDcxIsRefusedEverywhere) {
    const auto good = dcxOf(3);
    const std::size_t page2 = u32At(good, 8), page3 = u32At(good, 12);
    struct Damage {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> apply;
        const char* message;  // part of the Error text
    };
    const Damage cases[] = {
        {"offset inside the table", [](auto& f) { setU32le(f, 8, 12); }, "inside the page table"},
        {"offset past the end", [](auto& f) { setU32le(f, 8, static_cast<std::uint32_t>(f.size())); }, "past the end"},
        {"two entries for one page", [&](auto& f) { setU32le(f, 12, static_cast<std::uint32_t>(page2)); }, "share"},
        {"page too short for a header", [&](auto& f) { setU32le(f, 12, static_cast<std::uint32_t>(f.size() - 20)); },
         "too short"},
        {"empty table", [](auto& f) { setU32le(f, 4, 0); }, "no pages"},
        {"table without its zero entry",
         [](auto& f) {
             for (std::size_t i = 0; i < 1024; ++i) setU32le(f, 4 + 4 * i, 4100);
         },
         "zero entry"},
        {"table cut short", [](auto& f) { f.resize(10); }, "truncated"},
        {"bad header of page 2", [&](auto& f) { f[page2] = 0x0B; }, "page 2 of 3"},
        {"bad layout of page 3", [&](auto& f) { f[page3 + 65] = 7; }, "page 3 of 3"},
    };
    for (const Damage& d : cases) {
        auto bad = good;
        d.apply(bad);
        const auto expectRefused = [&](const char* where, auto&& call) {
            try {
                call();
                ADD_FAILURE() << d.what << ": accepted by " << where;
            } catch (const Error& e) {
                EXPECT_NE(std::string(e.what()).find(d.message), std::string::npos) << d.what << ": " << e.what();
            }
        };
        expectRefused("read", [&] { (void)decode("PCX", bad); });
        expectRefused("pageCount", [&] { (void)readerNamed("PCX").pageCount(bad, ReadContext{"x"}); });
        expectRefused("append", [&] {
            (void)writerFor(kPcx).append(bad, blackWhite(), WriteOptions{kPcx, 1, 2, "x"});
        });
    }
}

// Cut-off files: every prefix is refused by the reader, and append refuses a
// file whose last page lost its tail (plain PCX or DCX) and anything that is
// no PCX at all. A failed append leaves the file as it was.
TEST(Pcx, TruncatedFilesAreRefusedByReaderAndAppend) {
    const auto dcx = dcxOf(3);
    EXPECT_EQ(acceptedCut("PCX", dcx, dcx.size()), -1);
    const auto plain = writerFor(kPcx).write(testPicture(), WriteOptions{kPcx, 24, 2, "x"});
    const std::vector<std::vector<std::uint8_t>> refused = {
        {plain.begin(), plain.end() - 5}, {dcx.begin(), dcx.end() - 5}, {}, {'G', 'I', 'F', '8', '9', 'a'}};
    TempDir dir;
    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_THROW((void)writerFor(kPcx).append(refused[i], blackWhite(), WriteOptions{kPcx, 1, 2, "x"}), Error) << i;
        const std::string path = dir.file("bad" + std::to_string(i) + ".pcx");
        writeBytes(path, refused[i]);
        EXPECT_THROW(appendPage(path, blackWhite(), kPcx, 1, 2), Error) << i;
        EXPECT_EQ(readBytes(path), refused[i]) << i;
    }
    keepFuzzSeed("fuzz_pcx", "dcx2-8bit", dcxOf(2, 8));
    expectSurvivesDamage("PCX", dcx, "DCX");
}

// The table has room for 1023 pages: the 1024th is refused with a clear
// message rather than written past the table.
TEST(Pcx, DcxHoldsAtMost1023Pages) {
    const auto& w = writerFor(kPcx);
    const WriteOptions opt{kPcx, 1, 2, "x"};
    const Image tiny = blackWhite(3, 2);
    auto file = w.write(tiny, opt);
    for (int n = 1; n < 1023; ++n) file = w.append(file, tiny, opt);
    EXPECT_EQ(readerNamed("PCX").pageCount(file, ReadContext{"x"}), 1023);
    EXPECT_EQ(u32At(file, 4 + 4 * 1023), 0u);
    try {
        (void)w.append(file, tiny, opt);
        ADD_FAILURE() << "page 1024 accepted";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "PCX: a DCX file holds at most 1023 pages");
    }
}

}  // namespace
