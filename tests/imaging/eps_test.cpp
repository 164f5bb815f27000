#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "imaging/codecs/common/subprocess.h"
#include "imaging/codecs/eps.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/registry.h"
#include "tests/support/prelude.h"

namespace {

using rastel::test::readerNamed;

constexpr int kEps = 16;

Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string toText(const Bytes& b) { return std::string(b.begin(), b.end()); }

Image withDpi(Image img, double dpi) {
    img.xDpi = img.yDpi = dpi;
    return img;
}

// Ghostscript's rendering of a file at `dpi`, straight from the command line.
std::optional<Rgb8> gsRender(const std::string& path, double dpi) {
    const auto out = output("gs -q -dSAFER -dBATCH -dNOPAUSE -dEPSCrop -sDEVICE=ppmraw -r" + std::to_string(int(dpi)) +
                            " -sOutputFile=- " + shellQuote(path));
    if (!out) return std::nullopt;
    Image img;
    try {
        img = eps::parsePpm(*out);
    } catch (const Error&) {
        return std::nullopt;
    }
    return rgbOf(img);
}

// A copy of an EPS file in `dir` whose header holds the last numeric
// %%BoundingBox of the file in place of "(atend)", or the HiResBoundingBox
// rounded outward, without blank lines.
std::string boxInHeader(const std::string& path, const TempDir& dir) {
    const std::string text = toText(readBytes(path));
    const std::size_t headerEnd = text.find("%%EndComments");
    const bool blankLine = text.substr(0, headerEnd).find("\n\n") != std::string::npos;
    double fine[4];
    const std::size_t hiRes = text.find("%%HiResBoundingBox:");
    const bool hasFine = hiRes != std::string::npos && std::sscanf(text.c_str() + hiRes + 19, "%lf %lf %lf %lf",
                                                                   &fine[0], &fine[1], &fine[2], &fine[3]) == 4;
    // Binary and CR-only files go to Ghostscript as they are.
    if (text.rfind("%!", 0) != 0 || text.find('\n') == std::string::npos ||
        (text.find("(atend)") == std::string::npos && !blankLine && !hasFine))
        return path;
    std::string box;
    for (std::size_t at = text.find("%%BoundingBox:"); at != std::string::npos;
         at = text.find("%%BoundingBox:", at + 1)) {
        const std::string line = text.substr(at, text.find_first_of("\r\n", at) - at);
        if (line.find("(atend)") == std::string::npos) box = line;
    }
    if (hasFine) {
        char outward[128];
        std::snprintf(outward, sizeof outward, "%%%%BoundingBox: %g %g %g %g", std::floor(fine[0]), std::floor(fine[1]),
                      std::ceil(fine[2]), std::ceil(fine[3]));
        box = outward;
    }
    std::string out;
    bool header = true;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        at = end;
        if (header && line.rfind("%%EndComments", 0) == 0) header = false;
        if (header && line.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        if (header && line.rfind("%%BoundingBox:", 0) == 0) line = box + "\n";
        if (header && line.rfind("%%HiResBoundingBox:", 0) == 0) continue;
        out += line;
    }
    const std::string copy = dir.file("header-box.eps");
    writeBytes(copy, toBytes(out));
    return copy;
}

// The top-left w x h pixels of a picture.
Rgb8 crop(const Rgb8& r, int w, int h) {
    Rgb8 out{w, h, {}};
    for (int y = 0; y < h && y < r.height; ++y)
        out.pixels.insert(out.pixels.end(), r.pixels.begin() + std::ptrdiff_t(y) * r.width * 3,
                          r.pixels.begin() + (std::ptrdiff_t(y) * r.width + std::min(w, r.width)) * 3);
    return out;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

// A minimal EPS around some PostScript.
std::string epsWith(const std::string& body, const std::string& box = "0 0 20 10") {
    return "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: " + box + "\n%%EndComments\n" + body + "\n%%EOF\n";
}

// A DOS binary EPS: 30-byte header, the PostScript, then a dummy TIFF preview.
Bytes dosEps(const Bytes& ps, std::uint32_t psOffset = 30, std::uint32_t psLength = 0) {
    const Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
    if (psLength == 0) psLength = static_cast<std::uint32_t>(ps.size());
    Bytes f = {0xC5, 0xD0, 0xD3, 0xC6};
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    u32(psOffset);
    u32(psLength);
    u32(0);
    u32(0);
    u32(static_cast<std::uint32_t>(30 + ps.size()));
    u32(static_cast<std::uint32_t>(tiff.size()));
    f.push_back(0xFF);
    f.push_back(0xFF);
    f.insert(f.end(), ps.begin(), ps.end());
    f.insert(f.end(), tiff.begin(), tiff.end());
    return f;
}

}  // namespace

// Every picture kind goes out as an 8-bit EPS whose bounding box follows the
// page size, which Ghostscript's bbox device confirms, and which Ghostscript
// renders at the page's resolution to exactly the 8-bit picture.
TEST(Eps, WrittenFilesRenderToTheSourcePixels) {
    struct Case {
        const char* name;
        Picture picture;
        int w, h;
        double dpi;
        const char* colourSpace;
        int boxW, boxH;    // %%BoundingBox
        int readW, readH;  // size of Ghostscript's rendering at 72 dpi
    };
    const Case cases[] = {
        {"gray at 72 dpi", Picture::Gray, 40, 30, 0, "/DeviceGray", 40, 30, 40, 30},
        {"two colours are gray", Picture::TwoColours, 33, 17, 72, "/DeviceGray", 33, 17, 33, 17},
        {"sixteen colours at 144 dpi", Picture::SixteenColours, 64, 48, 144, "/Indexed", 32, 24, 32, 24},
        {"many colours at 96 dpi", Picture::ManyColours, 96, 40, 96, "/Indexed", 72, 30, 72, 30},
        {"photo quantised", Picture::Photo, 50, 60, 72, "/Indexed", 50, 60, 50, 60},
        // 2.4 points: the fine box is rounded outward, so the part pixel is kept.
        {"box rounded up", Picture::Gray, 10, 10, 300, "/DeviceGray", 3, 3, 3, 3},
        {"one pixel", Picture::ManyColours, 1, 1, 72, "/Indexed", 1, 1, 1, 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const Image src = withDpi(makePicture(c.picture, c.w, c.h), c.dpi);
        const std::string path = dir.file("out.eps");
        savePage(path, src, kEps, 8, 2);
        const std::string text = toText(readBytes(path));
        keepFuzzSeed("fuzz_eps", std::string(c.name) + ".eps", readBytes(path));
        EXPECT_EQ(text.rfind("%!PS-Adobe-3.0 EPSF-3.0\n", 0), 0u) << c.name;
        EXPECT_NE(text.find(c.colourSpace), std::string::npos) << c.name;
        EXPECT_NE(text.find("%%EOF"), std::string::npos) << c.name;

        const std::string box = "%%BoundingBox: 0 0 " + std::to_string(c.boxW) + " " + std::to_string(c.boxH);
        EXPECT_NE(text.find(box + "\n"), std::string::npos) << c.name;
        // The bbox device measures the marks; its fine grid may reach a few
        // thousandths of a point past the picture's edge.
        const eps::Info ours = eps::parse(readBytes(path));
        ASSERT_TRUE(ours.hiResBoundingBox) << c.name;
        const auto bbox = output("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=bbox " + shellQuote(path) + " 2>&1");
        ASSERT_TRUE(bbox) << c.name;
        const eps::Info measured = eps::parse(toBytes("%!PS-Adobe-3.0 EPSF-3.0\n" + toText(*bbox)));
        ASSERT_TRUE(measured.hiResBoundingBox) << c.name;
        EXPECT_NEAR(measured.hiResBoundingBox->llx, 0, 0.02) << c.name;
        EXPECT_NEAR(measured.hiResBoundingBox->lly, 0, 0.02) << c.name;
        EXPECT_NEAR(measured.hiResBoundingBox->urx, ours.hiResBoundingBox->urx, 0.02) << c.name << toText(*bbox);
        EXPECT_NEAR(measured.hiResBoundingBox->ury, ours.hiResBoundingBox->ury, 0.02) << c.name << toText(*bbox);
        EXPECT_EQ(std::ceil(ours.hiResBoundingBox->urx - 1e-3), c.boxW) << c.name;
        EXPECT_EQ(std::ceil(ours.hiResBoundingBox->ury - 1e-3), c.boxH) << c.name;

        const Rgb8 expected = rgbOf(toBitsPerPixel(src, 8));
        const double dpi = c.dpi > 0 ? c.dpi : 72;
        const auto rendered = gsRender(path, dpi);
        ASSERT_TRUE(rendered) << c.name;
        EXPECT_EQ(maxDiff(crop(*rendered, c.w, c.h), expected), 0) << c.name << ": Ghostscript";

        EXPECT_EQ(probePageCount(path), 1) << c.name;
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u);
        const Image& page = doc.pages[0];
        EXPECT_EQ(page.width(), c.readW) << c.name;
        EXPECT_EQ(page.height(), c.readH) << c.name;
        EXPECT_EQ(page.xDpi, 72) << c.name;
        if (dpi == 72) {
            EXPECT_EQ(maxDiff(rgbOf(page), expected), 0) << c.name << ": own reader";
            EXPECT_EQ(page.format(),
                      c.colourSpace == std::string("/DeviceGray") ? PixelFormat::Gray8 : PixelFormat::Rgb24)
                << c.name;
        }
    }
}

TEST(Eps, WriterTakesEightBitsOnly) {
    const FormatWriter* w = Registry::instance().findWriter(kEps);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->depths(kEps), std::vector<int>{8});
    EXPECT_THROW(w->write(makePicture(Picture::Photo, 4, 4), WriteOptions{kEps, 24, 2, "x.eps"}), Error);
}

// The title comes from the file name without control characters; no data
// line may begin with '%' (a DSC reader would take it for a comment).
TEST(Eps, WriterKeepsCommentsAndDataApart) {
    const FormatWriter* w = Registry::instance().findWriter(kEps);
    Image img(300, 200, PixelFormat::Gray8);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) img.row(y)[x] = static_cast<std::uint8_t>((x * 37 + y * 101) % 256);
    const std::string text = toText(w->write(img, WriteOptions{kEps, 8, 2, "/some/dir/bad\nname.eps"}));
    EXPECT_NE(text.find("%%Title: bad_name.eps\n"), std::string::npos);
    std::size_t data = text.find("\nimage\n");
    ASSERT_NE(data, std::string::npos);
    for (std::size_t at = text.find('\n', data + 1); at != std::string::npos && at + 1 < text.size();
         at = text.find('\n', at + 1)) {
        if (text.compare(at + 1, 8, "grestore") == 0) break;
        ASSERT_NE(text[at + 1], '%') << "data line at " << at;
        ASSERT_LE(text.find('\n', at + 1) - at, 80u);
    }
}

// DSC parsing without rendering.
TEST(Eps, ParsesHeadersAndBoundingBoxes) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        double llx, lly, urx, ury;
    };
    const Case cases[] = {
        {"plain", epsWith("", "1 2 30 40"), true, 1, 2, 30, 40},
        {"reals and CR line ends", "%!PS-Adobe-3.0 EPSF-3.0\r%%BoundingBox: 0.5 0 10.25 7\r%%EndComments\r", true, 0.5,
         0, 10.25, 7},
        {"atend, last trailer value",
         "%!PS-Adobe-2.0 EPSF-2.0\n%%BoundingBox: (atend)\n%%EndComments\nx\n%%Trailer\n%%BoundingBox: 0 0 4 "
         "4\n%%BoundingBox: 0 0 8 9\n",
         true, 0, 0, 8, 9},
        {"atend, value after EOF",
         "%!PS-Adobe-2.0 EPSF-2.0\n%%BoundingBox: (atend)\n%%EndComments\nx\n%%Trailer\n%%EOF\n%%BoundingBox: 0 0 6 "
         "7\n",
         true, 0, 0, 6, 7},
        {"blank line among the comments",
         "%!PS-Adobe-2.0 EPSF-2.0\n\n%%Title: x\n  \n%%BoundingBox: 0 0 3 4\n%%EndComments\n", true, 0, 0, 3, 4},
        {"first header value wins", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 5 5\n%%BoundingBox: 0 0 9 9\n", true,
         0, 0, 5, 5},
        {"header ends at code", "%!PS-Adobe-3.0 EPSF-3.0\nshowpage\n%%BoundingBox: 0 0 5 5\n", false, 0, 0, 0, 0},
        {"atend without trailer", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: (atend)\n%%EndComments\n", false, 0, 0, 0,
         0},
        {"no box", "%!PS-Adobe-3.0 EPSF-3.0\n%%EndComments\n", false, 0, 0, 0, 0},
        {"empty box", epsWith("", "0 0 0 0"), false, 0, 0, 0, 0},
        {"inverted box", epsWith("", "10 10 5 20"), false, 0, 0, 0, 0},
        {"three numbers", epsWith("", "0 0 5"), false, 0, 0, 0, 0},
        {"not a number", epsWith("", "0 0 nan 5"), false, 0, 0, 0, 0},
        {"huge coordinates", epsWith("", "0 0 1e300 5"), false, 0, 0, 0, 0},
        {"no PostScript", "GIF89a", false, 0, 0, 0, 0},
        {"empty", "", false, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const Bytes data = toBytes(c.text);
        if (!c.ok) {
            EXPECT_THROW(eps::parse(data), Error) << c.name;
            continue;
        }
        const eps::Info info = eps::parse(data);
        ASSERT_TRUE(info.boundingBox) << c.name;
        EXPECT_EQ(info.boundingBox->llx, c.llx) << c.name;
        EXPECT_EQ(info.boundingBox->lly, c.lly) << c.name;
        EXPECT_EQ(info.boundingBox->urx, c.urx) << c.name;
        EXPECT_EQ(info.boundingBox->ury, c.ury) << c.name;
    }
}

// The page rendered is the declared box, rounded outward to whole pixels,
// whether or not the file ends with showpage. Pixels are counted from the top.
TEST(Eps, RendersTheBoxItDeclares) {
    struct Case {
        const char* name;
        std::string text;
        int width, height;
        std::vector<std::pair<int, int>> black, white;
    };
    const std::string head = "%!PS-Adobe-3.0 EPSF-3.0\n";
    const Case cases[] = {
        {"no showpage",
         head + "%%BoundingBox: 0 0 10 10\n%%EndComments\n0 0 5 5 rectfill\n",
         10,
         10,
         {{0, 9}, {4, 5}},
         {{5, 9}, {0, 4}}},
        {"box in the trailer",
         "%!PS-Adobe-2.0 EPSF-2.0\n%%BoundingBox: (atend)\n%%EndComments\n10 10 5 5 rectfill showpage\n"
         "%%Trailer\n%%BoundingBox: 10 10 30 20\n",
         20,
         10,
         {{0, 9}, {4, 5}},
         {{5, 9}, {19, 0}}},
        {"fractional fine box",
         head + "%%BoundingBox: 0 0 11 11\n%%HiResBoundingBox: 0.6 0.6 10.5 10.5\n%%EndComments\n"
                "10.1 0.6 0.4 9.9 rectfill showpage\n",
         11,
         11,
         {{10, 5}},
         {{9, 5}}},
    };
    for (const auto& c : cases) {
        Image img;
        try {
            img = eps::render(toBytes(c.text), eps::RenderOptions{});
        } catch (const Error& e) {
            ADD_FAILURE() << c.name << ": " << e.what();
            continue;
        }
        ASSERT_EQ(img.width(), c.width) << c.name;
        ASSERT_EQ(img.height(), c.height) << c.name;
        for (const auto& [x, y] : c.black)
            EXPECT_EQ(pixelRgb(img, x, y), (Rgb{0, 0, 0})) << c.name << " " << x << "," << y;
        for (const auto& [x, y] : c.white)
            EXPECT_EQ(pixelRgb(img, x, y), (Rgb{255, 255, 255})) << c.name << " " << x << "," << y;
    }
}

TEST(Eps, DosBinaryHeaders) {
    const Bytes ps = toBytes(epsWith("0.5 setgray 0 0 20 10 rectfill", "0 0 20 10"));
    struct Case {
        const char* name;
        Bytes file;
        bool ok;
    };
    const Case cases[] = {
        {"PostScript then TIFF preview", dosEps(ps), true},
        {"offset inside the header", dosEps(ps, 20), false},
        {"length past the end", dosEps(ps, 30, 1u << 20), false},
        {"zero length",
         [&] {
             Bytes f = dosEps(ps);
             std::fill_n(f.begin() + 8, 4, 0);
             return f;
         }(),
         false},
        {"offset overflowing 32 bits", dosEps(ps, 0xFFFFFFF0u, 0x20), false},
        {"header cut short", Bytes{0xC5, 0xD0, 0xD3, 0xC6, 30, 0}, false},
        {"section not PostScript", dosEps(toBytes("II*\0")), false},
    };
    for (const auto& c : cases) {
        if (!c.ok) {
            EXPECT_THROW(eps::parse(c.file), Error) << c.name;
            continue;
        }
        const eps::Info info = eps::parse(c.file);
        EXPECT_TRUE(info.dosBinary) << c.name;
        EXPECT_EQ(info.postscript.size(), ps.size()) << c.name;
    }
    // The whole file through the engine: the preview is ignored, the PostScript rendered.
    TempDir dir;
    writeBytes(dir.file("dos.eps"), dosEps(ps));
    keepFuzzSeed("fuzz_eps", "dos.eps", dosEps(ps));
    const Document doc = loadDocument(dir.file("dos.eps"));
    ASSERT_EQ(doc.pages.size(), 1u);
    EXPECT_EQ(doc.pages[0].width(), 20);
    EXPECT_EQ(doc.pages[0].height(), 10);
    EXPECT_EQ(pixelRgb(doc.pages[0], 5, 5), (Rgb{127, 127, 127}));
}

TEST(Eps, SniffsSignatures) {
    struct Case {
        const char* name;
        Bytes head;
        Sniff expected;
    };
    const Case cases[] = {
        {"EPSF", toBytes("%!PS-Adobe-3.0 EPSF-3.0\n"), Sniff::Strong},
        {"DOS binary", Bytes{0xC5, 0xD0, 0xD3, 0xC6, 30, 0, 0, 0}, Sniff::Strong},
        {"PostScript without EPSF", toBytes("%!PS-Adobe-3.0\n%%EPSF later\n"), Sniff::Weak},
        {"bare %!", toBytes("%!\n"), Sniff::No},
        {"PDF", toBytes("%PDF-1.4\n"), Sniff::No},
        {"empty", Bytes{}, Sniff::No},
    };
    for (const auto& c : cases) EXPECT_EQ(readerNamed("EPS").sniff(c.head), c.expected) << c.name;
}

TEST(Eps, ParsesThePpmGhostscriptWrites) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        int w, h;
        PixelFormat format;
        int first;
    };
    const Case cases[] = {
        {"P6 colour", std::string("P6\n2 1\n255\n") + std::string("\x10\x20\x30\x01\x02\x03", 6), true, 2, 1,
         PixelFormat::Rgb24, 0x10},
        {"P6 gray pixels", std::string("P6 1 2 255 ") + std::string("\x40\x40\x40\x41\x41\x41", 6), true, 1, 2,
         PixelFormat::Gray8, 0x40},
        {"comments", std::string("P6\n# made by\n1 1\n# x\n255\n") + "abc", true, 1, 1, PixelFormat::Rgb24, 'a'},
        {"P5 maxval 15", std::string("P5\n1 1\n15\n\x0f", 11), true, 1, 1, PixelFormat::Gray8, 255},
        {"short data", std::string("P6\n2 2\n255\n") + "abcdefghijk", false, 0, 0, PixelFormat::Rgb24, 0},
        {"16-bit samples", std::string("P6\n1 1\n65535\n") + "abcdef", false, 0, 0, PixelFormat::Rgb24, 0},
        {"zero maxval", std::string("P6\n1 1\n0\n") + "abc", false, 0, 0, PixelFormat::Rgb24, 0},
        {"zero width", std::string("P6\n0 1\n255\n"), false, 0, 0, PixelFormat::Rgb24, 0},
        {"past the pixel limit", std::string("P6\n999999999 999999999\n255\n"), false, 0, 0, PixelFormat::Rgb24, 0},
        {"ASCII PPM", std::string("P3\n1 1\n255\n1 2 3\n"), false, 0, 0, PixelFormat::Rgb24, 0},
        {"header cut", std::string("P6\n12"), false, 0, 0, PixelFormat::Rgb24, 0},
        {"endless comment", std::string("P6\n# no end"), false, 0, 0, PixelFormat::Rgb24, 0},
    };
    for (const auto& c : cases) {
        const Bytes data = toBytes(c.text);
        if (!c.ok) {
            EXPECT_THROW(eps::parsePpm(data), Error) << c.name;
            continue;
        }
        const Image img = eps::parsePpm(data);
        EXPECT_EQ(img.width(), c.w) << c.name;
        EXPECT_EQ(img.height(), c.h) << c.name;
        EXPECT_EQ(img.format(), c.format) << c.name;
        EXPECT_EQ(img.data()[0], c.first) << c.name;
    }
}

// The Ghostscript process may read its input and write its output, nothing else.
TEST(Eps, TheRendererCannotTouchOtherFiles) {
    TempDir dir;
    const std::string victim = dir.file("created-by-eps");
    struct Case {
        const char* name;
        std::string body;
    };
    const Case cases[] = {
        {"read /etc/passwd", "(/etc/passwd) (r) file 100 string readstring pop show"},
        {"write a file", "(" + victim + ") (w) file dup (x) writestring closefile"},
        {"delete a file", "(" + victim + ") deletefile"},
        {"redirect the output", "<< /OutputFile (" + victim + ") >> setpagedevice 0 0 5 5 rectfill showpage"},
        {"run a command", "(%pipe%touch " + victim + ") (w) file closefile"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("evil.eps");
        writeBytes(path, toBytes(epsWith(c.body)));
        try {
            (void)loadDocument(path);
        } catch (const Error&) {
        }
        EXPECT_FALSE(fs::exists(victim)) << c.name;
        std::error_code ec;
        fs::remove(victim, ec);
    }
    writeBytes(dir.file("passwd.eps"), toBytes(epsWith(cases[0].body)));
    const std::string message = errorOf([&] { (void)loadDocument(dir.file("passwd.eps")); });
    EXPECT_NE(message.find("invalidfileaccess"), std::string::npos) << message;
}

TEST(Eps, RendererFailuresBecomeErrors) {
    const Bytes loop = toBytes(epsWith("{} loop"));
    const auto start = std::chrono::steady_clock::now();
    const std::string timeout = errorOf([&] { (void)eps::render(loop, eps::RenderOptions{"", 72, 1.0}); });
    EXPECT_NE(timeout.find("did not finish"), std::string::npos) << timeout;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    const Bytes simple = toBytes(epsWith("0 0 5 5 rectfill"));
    EXPECT_EQ(errorOf([&] {
                  (void)eps::render(simple, eps::RenderOptions{"/nonexistent/gs", 72, 5});
              }),
              "EPS: rendering needs Ghostscript (gs), which is not installed");
    EXPECT_NE(
        errorOf([&] { (void)eps::render(toBytes(epsWith("1 0 div")), eps::RenderOptions{}); }).find("undefinedresult"),
        std::string::npos);

    // The pixel limit applies to the bounding box before anything runs (a
    // missing Ghostscript would give another message).
    const std::uint64_t saved = pixelLimit();
    setPixelLimit(10000);
    const std::string big = errorOf([&] {
        (void)eps::render(toBytes(epsWith("", "0 0 101 100")), eps::RenderOptions{"/nonexistent/gs", 72, 5});
    });
    setPixelLimit(saved);
    EXPECT_EQ(big.find("rendering needs"), std::string::npos) << big;
    EXPECT_NE(big.find("EPS:"), std::string::npos) << big;
    EXPECT_THROW(eps::render(toBytes(epsWith("", "0 0 100 100")), eps::RenderOptions{"", 1e9, 5}), Error);
}

// EPS files written by ImageMagick (level 2 and 3) read back at their size
// with the picture's pixels.
TEST(Eps, ReadsFilesFromImageMagick) {
    // (The local policy forbids ImageMagick's level-1 "eps:" coder.)
    const char* coders[] = {"eps2:", "eps3:", "epsi:"};
    TempDir dir;
    const Image src = makePicture(Picture::SixteenColours, 60, 40);
    const Rgb8 s = rgbOf(src);
    writeBytes(dir.file("src.rgb"), s.pixels);
    for (const char* coder : coders) {
        const std::string path = dir.file("im.eps");
        ASSERT_TRUE(output("/usr/bin/convert -size 60x40 -depth 8 " + shellQuote("rgb:" + dir.file("src.rgb")) +
                           " -density 72 -units PixelsPerInch -compress none " + shellQuote(std::string(coder) + path)))
            << coder;
        const Document doc = loadDocument(path);
        ASSERT_EQ(doc.pages.size(), 1u) << coder;
        EXPECT_EQ(doc.pages[0].width(), 60) << coder;
        EXPECT_EQ(doc.pages[0].height(), 40) << coder;
        EXPECT_LE(maxDiff(rgbOf(doc.pages[0]), s), 2) << coder;
    }
}

// The sample files: each either renders to what Ghostscript itself renders or
// is refused with an Error.
TEST(Eps, SharedCorpus) {
    const fs::path dir = rastel::test::corpusDir() / "eps";
    if (!fs::exists(dir)) RASTEL_MISSING("no corpus");
    TempDir scratch;
    int rendered = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string path = entry.path().string();
        try {
            const Document doc = loadDocument(path);
            ASSERT_EQ(doc.pages.size(), 1u) << path;
            // Ghostscript crops to a box it finds in the header: give it the
            // one the trailer holds, and drop blank lines among the comments.
            const auto ref = gsRender(boxInHeader(path, scratch), 72);
            if (!ref) {
                std::printf("no reference rendering (gs -dEPSCrop fails) for %s\n", entry.path().filename().c_str());
                continue;
            }
            // A fine box rounded outward may add a part row or column at the
            // top or right; the rest is Ghostscript's cropped page.
            const Rgb8 ours = rgbOf(doc.pages[0]);
            ASSERT_GE(ours.width, ref->width) << path;
            ASSERT_GE(ours.height, ref->height) << path;
            ASSERT_LE(ours.width - ref->width + ours.height - ref->height, 2) << path;
            Rgb8 bottomLeft{ref->width, ref->height, {}};
            for (int y = ours.height - ref->height; y < ours.height; ++y)
                bottomLeft.pixels.insert(bottomLeft.pixels.end(),
                                         ours.pixels.begin() + std::ptrdiff_t(y) * ours.width * 3,
                                         ours.pixels.begin() + (std::ptrdiff_t(y) * ours.width + ref->width) * 3);
            EXPECT_EQ(maxDiff(bottomLeft, *ref), 0) << path;
            ++rendered;
        } catch (const Error& e) {
            std::printf("refused %s: %s\n", entry.path().filename().c_str(), e.what());
        }
    }
    EXPECT_GE(rendered, 8);
}

// Cut files never crash the parser; cut versions of a written file either
// render or fail with an Error.
TEST(Eps, TruncatedFiles) {
    const FormatWriter* w = Registry::instance().findWriter(kEps);
    const Bytes file = w->write(makePicture(Picture::SixteenColours, 20, 20), WriteOptions{kEps, 8, 2, "x.eps"});
    for (std::size_t cut = 0; cut < file.size(); cut += 7) {
        const Bytes part(file.begin(), file.begin() + std::ptrdiff_t(cut));
        try {
            (void)eps::parse(part);
        } catch (const Error&) {
        }
    }
    const std::size_t renderCuts[] = {30, 60, 200, file.size() / 2, file.size() - 10};
    for (std::size_t cut : renderCuts) {
        const Bytes part(file.begin(), file.begin() + std::ptrdiff_t(cut));
        try {
            const Image img = eps::render(part, eps::RenderOptions{});
            EXPECT_EQ(img.width(), 20) << cut;
        } catch (const Error&) {
        }
    }
}

// the helper-process runner

TEST(Subprocess, RunsWithTheGivenEnvironmentAndLimits) {
    TempDir dir;
    const std::string out = dir.file("out.txt");
    struct Case {
        const char* name;
        std::string script;
        double timeout;
        std::uint64_t maxFile;
        bool timedOut;
        int exitCode;
        const char* output;  // expected start of the captured output
    };
    const Case cases[] = {
        {"exit code", "exit 3", 5, 0, false, 3, ""},
        {"environment is only what we pass", "echo \"[$HOME][$GS_OPTIONS][$FOO]\"", 5, 0, false, 0,
         "[/nowhere][][bar]"},
        {"stderr captured too", "echo oops >&2", 5, 0, false, 0, "oops"},
        {"stdin is empty", "cat; echo end", 5, 0, false, 0, "end"},
        {"working directory", "pwd", 5, 0, false, 0, "/"},
        {"time limit", "sleep 20", 0.3, 0, true, -1, ""},
        {"time limit kills the group", "sleep 20 & wait", 0.3, 0, true, -1, ""},
        {"file size limit", "head -c 100000 /dev/zero > big; echo $?", 5, 1000, false, 0, ""},
    };
    setenv("GS_OPTIONS", "-dNOSAFER", 1);
    for (const auto& c : cases) {
        SubprocessOptions opt;
        opt.program = "/bin/sh";
        opt.args = {"-c", c.script};
        opt.env = {"PATH=/usr/bin:/bin", "HOME=/nowhere", "FOO=bar"};
        opt.workDir = "/";
        if (std::string(c.name) == "file size limit") opt.workDir = dir.file("");
        opt.outputPath = out;
        opt.timeoutSeconds = c.timeout;
        opt.maxFileBytes = c.maxFile;
        const auto start = std::chrono::steady_clock::now();
        const SubprocessResult r = runSubprocess(opt, "TEST");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << c.name;
        EXPECT_TRUE(r.started) << c.name;
        EXPECT_EQ(r.timedOut, c.timedOut) << c.name;
        if (!c.timedOut) {
            EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
        }
        EXPECT_EQ(toText(readBytes(out)).rfind(c.output, 0), 0u) << c.name << ": " << toText(readBytes(out));
        if (c.maxFile) {
            EXPECT_LE(fs::file_size(dir.file("big")), c.maxFile) << c.name;
        }
    }
    unsetenv("GS_OPTIONS");

    SubprocessOptions missing;
    missing.program = "/nonexistent/program";
    missing.env = {"PATH=/usr/bin"};
    EXPECT_FALSE(runSubprocess(missing, "TEST").started);

    EXPECT_EQ(findExecutable("sh", "relative:/nonexistent:/bin"), "/bin/sh");
    EXPECT_EQ(findExecutable("no-such-program-here", "/usr/bin:/bin"), "");
    EXPECT_EQ(findExecutable("sh", "bin:"), "");
}

// Ghostscript runs in a private folder that is gone afterwards; inherited
// Ghostscript settings do not reach it; a page size the file sets itself does
// not enlarge the rendering past its bounding box.
TEST(Eps, RendererIsolation) {
    TempDir tmp;
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    setenv("TMPDIR", tmp.file("").c_str(), 1);
    setenv("GS_OPTIONS", "-sDEVICE=nosuchdevice", 1);
    const Bytes simple = toBytes(epsWith("0 0 5 5 rectfill"));
    const Image img = eps::render(simple, eps::RenderOptions{});
    EXPECT_EQ(img.width(), 20);
    EXPECT_EQ(fs::directory_iterator(tmp.file("")), fs::directory_iterator()) << "temporary files left behind";

    const std::uint64_t saved = pixelLimit();
    setPixelLimit(10000);
    const std::string huge = errorOf([&] {
        const Image big =
            eps::render(toBytes(epsWith("<< /PageSize [3000 3000] >> setpagedevice 0 0 5 5 rectfill")), {});
        EXPECT_EQ(big.width(), img.width());
        EXPECT_EQ(big.height(), img.height());
    });
    setPixelLimit(saved);
    EXPECT_EQ(huge, "(no error)");
    EXPECT_EQ(fs::directory_iterator(tmp.file("")), fs::directory_iterator()) << "temporary files left behind";

    unsetenv("GS_OPTIONS");
    if (oldTmp)
        setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        unsetenv("TMPDIR");
}
