#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gsf/gsf.h>

#include "tests/support/prelude.h"

namespace {

const fs::path kCorpus = rastel::test::corpusDir() / "fpx";

// Smooth gradients plus fine detail, with the tiles at tile coordinates in
// `flat` painted one colour each.
Image picture(int w, int h, const std::vector<std::pair<int, int>>& flat = {}) {
    Image img = makePicture(Picture::Photo, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = img.row(y) + 3 * x;
            for (auto [tx, ty] : flat)
                if (x / 64 == tx && y / 64 == ty) {
                    p[0] = static_cast<std::uint8_t>(40 + tx);
                    p[1] = static_cast<std::uint8_t>(90 + ty);
                    p[2] = 200;
                }
        }
    return img;
}

Bytes encode(const Image& img, int code, int bits, int quality = 2) {
    return Registry::instance().findWriter(code)->write(img, WriteOptions{code, bits, quality, "t.fpx"});
}

Image decode(const Bytes& bytes) {
    const FormatReader* r = Registry::instance().findReader(bytes, "t.fpx");
    if (!r || r->name() != "FlashPix") throw std::runtime_error("FlashPix reader not chosen");
    Document doc = r->read(bytes, ReadContext{"t.fpx"});
    if (doc.pages.size() != 1) throw std::runtime_error("expected one page");
    return std::move(doc.pages[0]);
}

Image expected(const Image& src, int bits) { return bits == 8 ? toGray8(src) : toRgb24(src); }

// The compound file as a tree, read and written through libgsf independently
// of the codec, so tests can inspect streams and plant damage in them.

struct Node {
    std::array<std::uint8_t, 16> clsid{};
    std::map<std::string, Node> storages;
    std::map<std::string, Bytes> streams;
};

void loadNode(GsfInfile* in, Node& node) {
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(in), node.clsid.data());
    for (int i = 0; i < gsf_infile_num_children(in); ++i) {
        GsfInput* child = gsf_infile_child_by_index(in, i);
        const std::string name = gsf_infile_name_by_index(in, i);
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            loadNode(GSF_INFILE(child), node.storages[name]);
        } else {
            Bytes bytes(static_cast<std::size_t>(gsf_input_size(child)));
            if (!bytes.empty()) gsf_input_read(child, bytes.size(), bytes.data());
            node.streams[name] = bytes;
        }
        g_object_unref(child);
    }
}

Node loadTree(const Bytes& file) {
    GsfInput* mem = gsf_input_memory_new(file.data(), static_cast<gsf_off_t>(file.size()), FALSE);
    GsfInfile* ole = gsf_infile_msole_new(mem, nullptr);
    Node root;
    if (ole) {
        loadNode(ole, root);
        g_object_unref(ole);
    }
    g_object_unref(mem);
    return root;
}

void saveNode(GsfOutfile* out, const Node& node) {
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out), node.clsid.data());
    for (const auto& [name, bytes] : node.streams) {
        GsfOutput* s = gsf_outfile_new_child(out, name.c_str(), FALSE);
        gsf_output_write(s, bytes.size(), bytes.data());
        gsf_output_close(s);
        g_object_unref(s);
    }
    for (const auto& [name, child] : node.storages) {
        GsfOutput* s = gsf_outfile_new_child(out, name.c_str(), TRUE);
        saveNode(GSF_OUTFILE(s), child);
        g_object_unref(s);
    }
    gsf_output_close(GSF_OUTPUT(out));
}

Bytes saveTree(const Node& root) {
    GsfOutput* mem = gsf_output_memory_new();
    GsfOutfile* ole = gsf_outfile_msole_new(mem);
    saveNode(ole, root);
    g_object_unref(ole);
    const guint8* p = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(mem));
    Bytes out(p, p + gsf_output_size(mem));
    g_object_unref(mem);
    return out;
}

// Position of the value of property `id` (after its type word) in a property-set stream.
std::size_t propertyAt(const Bytes& set, std::uint32_t id) {
    const std::size_t section = getU32le(set, 44);
    const std::uint32_t count = getU32le(set, section + 4);
    for (std::uint32_t i = 0; i < count; ++i)
        if (getU32le(set, section + 8 + 8 * i) == id) return section + getU32le(set, section + 12 + 8 * i) + 4;
    throw std::runtime_error("no property");
}

Node& image(Node& root) { return root.storages.at("Data Object Store 000001"); }
Bytes& contents(Node& root) { return image(root).streams.at("\005Image Contents"); }
Node& fullLevel(Node& root) {
    const std::uint32_t levels = getU32le(contents(root), propertyAt(contents(root), 0x01000000));
    char name[32];
    std::snprintf(name, sizeof name, "Resolution %04u", levels - 1);
    return image(root).storages.at(name);
}
Bytes& header(Node& root) { return fullLevel(root).streams.at("Subimage 0000 Header"); }
Bytes& data(Node& root) { return fullLevel(root).streams.at("Subimage 0000 Data"); }

struct TileEntry {
    std::uint32_t offset, size, type, subtype;
};
std::vector<TileEntry> tileTable(const Bytes& hdr) {
    std::vector<TileEntry> out;
    const std::uint32_t count = getU32le(hdr, 28 + 12), table = 28 + getU32le(hdr, 28 + 28),
                        entry = getU32le(hdr, 28 + 32);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = table + i * entry;
        out.push_back({getU32le(hdr, at), getU32le(hdr, at + 4), getU32le(hdr, at + 8), getU32le(hdr, at + 12)});
    }
    return out;
}

struct RoundTrip {
    int code, bits, width, height;
};

class FlashPixRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(FlashPixRoundTrip, ReaderReturnsWhatWasWritten) {
    const RoundTrip c = GetParam();
    Image src = picture(c.width, c.height, {{1, 0}});
    src.xDpi = src.yDpi = 150;
    const Image got = decode(encode(src, c.code, c.bits));
    const Image want = expected(src, c.bits);
    ASSERT_EQ(got.width(), c.width);
    ASSERT_EQ(got.height(), c.height);
    ASSERT_EQ(got.format(), want.format());
    EXPECT_NEAR(got.xDpi, 150, 0.01);
    if (c.code == 83)
        EXPECT_GT(psnr(got, want), 40.0);
    else
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.byteSize()));
}

std::vector<RoundTrip> roundTrips() {
    std::vector<RoundTrip> out;
    for (int code : {80, 81, 83})
        for (int bits : {8, 24})
            for (auto [w, h] : {std::pair{1, 1}, {64, 64}, {200, 130}, {65, 300}}) out.push_back({code, bits, w, h});
    return out;
}

INSTANTIATE_TEST_SUITE_P(All, FlashPixRoundTrip, ::testing::ValuesIn(roundTrips()), [](const auto& info) {
    const RoundTrip& c = info.param;
    return "c" + std::to_string(c.code) + "_" + std::to_string(c.bits) + "bit_" + std::to_string(c.width) + "x" +
           std::to_string(c.height);
});

TEST(FlashPix, JpegQualityFactorTradesSizeForFidelity) {
    const Image src = picture(256, 192);
    const Bytes best = encode(src, 83, 24, 2), worst = encode(src, 83, 24, 255);
    EXPECT_LT(worst.size() * 3, best.size());
    EXPECT_GT(psnr(decode(best), src), psnr(decode(worst), src) + 10);
}

// Uniform tiles become one colour value in the tile table under code 81 only.
TEST(FlashPix, SingleColourTilesAreStoredAsTheirColour) {
    const Image src = picture(192, 100, {{0, 0}, {2, 1}});
    for (int bits : {8, 24}) {
        SCOPED_TRACE(bits);
        const Image want = expected(src, bits);
        Node tree = loadTree(encode(src, 81, bits));
        const auto tiles = tileTable(header(tree));
        ASSERT_EQ(tiles.size(), 6u);
        for (std::size_t i = 0; i < tiles.size(); ++i) {
            const int tx = int(i % 3), ty = int(i / 3);
            const bool flat = (tx == 0 && ty == 0) || (tx == 2 && ty == 1);
            EXPECT_EQ(tiles[i].type, flat ? 1u : 0u) << i;
            if (!flat) continue;
            const std::uint8_t* px = want.row(ty * 64) + tx * 64 * (bits / 8);
            const std::uint32_t colour = bits == 8 ? px[0] : px[0] | px[1] << 8 | px[2] << 16;
            EXPECT_EQ(tiles[i].subtype, colour) << i;
        }
        // Four stored tiles of 64 x 64 pixels after the stream preamble.
        EXPECT_EQ(data(tree).size(), 28u + 4 * 64 * 64 * (bits / 8));

        Node plain = loadTree(encode(src, 80, bits));
        for (const auto& t : tileTable(header(plain))) EXPECT_EQ(t.type, 0u);
    }
}

TEST(FlashPix, JpegTilesDescribeTheirSubsampling) {
    const Image src = picture(128, 64);
    struct Case {
        int bits, quality;
        std::uint32_t subtype;
    } cases[] = {{24, 2, 0x00011100}, {24, 100, 0x00012200}, {8, 100, 0x00001100}};
    for (const Case& c : cases) {
        Node tree = loadTree(encode(src, 83, c.bits, c.quality));
        for (const auto& t : tileTable(header(tree))) {
            EXPECT_EQ(t.type, 2u);
            EXPECT_EQ(t.subtype, c.subtype) << c.bits << " " << c.quality;
        }
    }
}

// Each level halves the one above, rounding up, until the larger side fits one
// tile; level 0 is the smallest, and a reduced pixel averages a 2x2 block (an
// odd last column with itself).
TEST(FlashPix, ResolutionHierarchyHalvesDownToOneTile) {
    struct Case {
        int width, height;
        std::pair<std::uint32_t, std::uint32_t> sizes[4];  // level 0 (smallest) first
    };
    const Case cases[] = {
        {300, 130, {{38, 17}, {75, 33}, {150, 65}, {300, 130}}},
        {317, 211, {{40, 27}, {80, 53}, {159, 106}, {317, 211}}},
    };
    for (const Case& c : cases) {
        const Image src = picture(c.width, c.height);
        Node tree = loadTree(encode(src, 80, 24));
        EXPECT_EQ(getU32le(contents(tree), propertyAt(contents(tree), 0x01000000)), 4u);
        for (std::uint32_t level = 0; level < 4; ++level) {
            char name[32];
            std::snprintf(name, sizeof name, "Resolution %04u", level);
            const Bytes& hdr = image(tree).storages.at(name).streams.at("Subimage 0000 Header");
            EXPECT_EQ(getU32le(hdr, 28 + 4), c.sizes[level].first) << c.width << " level " << level;
            EXPECT_EQ(getU32le(hdr, 28 + 8), c.sizes[level].second) << c.width << " level " << level;
            EXPECT_EQ(getU32le(contents(tree), propertyAt(contents(tree), 0x02000000 | level << 16)),
                      c.sizes[level].first);
        }
        // Uncompressed 64 x 64 tiles after the 28-byte preamble; the last column
        // of level 2 lies in the first row of tiles at x / 64.
        const Bytes& half = image(tree).storages.at("Resolution 0002").streams.at("Subimage 0000 Data");
        for (auto [x, y] : {std::pair{0, 0}, {5, 7}, {63, 63}, {static_cast<int>(c.sizes[2].first) - 1, 3}}) {
            const int x0 = 2 * x, x1 = std::min(2 * x + 1, c.width - 1);
            const std::size_t at =
                28 + static_cast<std::size_t>(x / 64) * 64 * 64 * 3 + static_cast<std::size_t>(y * 64 + x % 64) * 3;
            for (int ch = 0; ch < 3; ++ch) {
                const int sum = src.row(2 * y)[3 * x0 + ch] + src.row(2 * y)[3 * x1 + ch] +
                                src.row(2 * y + 1)[3 * x0 + ch] + src.row(2 * y + 1)[3 * x1 + ch];
                EXPECT_EQ(half.at(at + static_cast<std::size_t>(ch)), (sum + 2) / 4)
                    << c.width << ": " << x << "," << y;
            }
        }
    }
}

TEST(FlashPix, SniffRecognisesTheRootClass) {
    const Bytes file = encode(picture(8, 8), 80, 24);
    const FormatReader* r = Registry::instance().findReader(file, "t.fpx");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->name(), "FlashPix");
    EXPECT_EQ(r->sniff(file), Sniff::Strong);
    Node other = loadTree(file);
    other.clsid.fill(0x11);
    EXPECT_EQ(r->sniff(saveTree(other)), Sniff::No);
    EXPECT_EQ(r->sniff(Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}), Sniff::No);
}

TEST(FlashPix, FurtherPagesAreRefusedAndLeaveTheFileIntact) {
    TempDir dir;
    const std::string path = dir.file("a.fpx");
    for (int code : {80, 81, 83}) {
        savePage(path, picture(70, 40), code, 24, 30);
        const Bytes before = readBytes(path);
        EXPECT_FALSE(codeCanAppend(code));
        EXPECT_THROW(appendPage(path, picture(20, 20), code, 24, 30), Error);
        EXPECT_EQ(readBytes(path), before);
        EXPECT_EQ(probePageCount(path), 1);
    }
}

// Damage planted in one field at a time; each must come back as Error naming it.
TEST(FlashPix, DamagedFieldsAreRefused) {
    struct Case {
        const char* name;
        int code;
        std::function<void(Node&)> damage;
        const char* message;
    };
    auto tile0 = [](Node& t, int field, std::uint32_t v) {
        Bytes& h = header(t);
        setU32le(h, 28 + getU32le(h, 28 + 28) + 4 * field, v);
    };
    auto prop = [](Node& t, std::uint32_t id, std::uint32_t v) {
        setU32le(contents(t), propertyAt(contents(t), id), v);
    };
    const Case cases[] = {
        {"root class", 80, [](Node& t) { t.clsid.fill(0); }, "not a FlashPix image"},
        {"no image object", 80, [](Node& t) { t.storages.clear(); }, "missing image object"},
        {"no contents", 80, [](Node& t) { image(t).streams.clear(); }, "missing stream Image Contents"},
        {"zero levels", 80, [&](Node& t) { prop(t, 0x01000000, 0); }, "number of resolutions"},
        {"many levels", 80, [&](Node& t) { prop(t, 0x01000000, 1000); }, "number of resolutions"},
        {"huge width", 80, [&](Node& t) { prop(t, 0x01000002, 0x40000000); }, "exceeds the limit"},
        {"width mismatch", 80, [&](Node& t) { prop(t, 0x01000002, 201); }, "disagrees"},
        {"five channels", 80, [&](Node& t) { setU32le(contents(t), propertyAt(contents(t), 0x02020002) + 8, 5); },
         "channel count"},
        {"PhotoYCC", 80,
         [&](Node& t) {
             for (int c = 0; c < 3; ++c)
                 setU32le(contents(t), propertyAt(contents(t), 0x02020002) + 12 + 4 * c, 0x20000u | c);
         },
         "colour space"},
        {"header channels", 80, [](Node& t) { setU32le(header(t), 28 + 24, 1); }, "channel count"},
        {"tile size", 80, [](Node& t) { setU32le(header(t), 28 + 16, 32); }, "tile size"},
        {"tile count", 80, [](Node& t) { setU32le(header(t), 28 + 12, 5); }, "tile count"},
        {"table offset", 80, [](Node& t) { setU32le(header(t), 28 + 28, 0xFFFFFFF0u); }, "past the end"},
        {"entry size", 80, [](Node& t) { setU32le(header(t), 28 + 32, 8); }, "too short"},
        {"tile offset", 80, [&](Node& t) { tile0(t, 0, 0xFFFFFF00u); }, "outside the data stream"},
        {"tile length", 80, [&](Node& t) { tile0(t, 1, 0x7FFFFFFFu); }, "outside the data stream"},
        {"short raw tile", 80, [&](Node& t) { tile0(t, 1, 100); }, "too short"},
        {"compression", 80, [&](Node& t) { tile0(t, 2, 7); }, "unsupported tile compression"},
        {"no data", 80, [](Node& t) { fullLevel(t).streams.erase("Subimage 0000 Data"); },
         "missing stream Subimage 0000 Data"},
        {"no level", 80, [](Node& t) { image(t).storages.erase("Resolution 0002"); },
         "missing storage Resolution 0002"},
        {"jpeg garbage", 83, [](Node& t) { std::fill(data(t).begin() + 60, data(t).begin() + 300, 0x5A); },
         "JPEG tile"},
        {"jpeg tables", 83, [&](Node& t) { tile0(t, 3, 0x05011100); }, "missing tables"},
        {"jpeg not jpeg", 83, [&](Node& t) { tile0(t, 0, 4); }, "start marker"},
    };
    const Bytes good = encode(picture(200, 130), 80, 24);
    const Bytes goodJpeg = encode(picture(200, 130), 83, 24, 30);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Node tree = loadTree(c.code == 83 ? goodJpeg : good);
        c.damage(tree);
        try {
            decode(saveTree(tree));
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("FlashPix: ", 0), 0u) << e.what();
        }
    }
}

// Cut or scrambled files: Error or a picture, never a crash (run under ASan).
TEST(FlashPix, TruncatedAndScrambledFilesNeverCrash) {
    for (int code : {80, 81, 83}) {
        const Bytes good = encode(picture(130, 70, {{1, 0}}), code, 24, 30);
        for (std::size_t cut : {std::size_t{0}, std::size_t{7}, std::size_t{512}, good.size() / 3, good.size() / 2,
                                good.size() - 600, good.size() - 1}) {
            Bytes bad(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
            const FormatReader* r = Registry::instance().findReader(good, "t.fpx");
            EXPECT_THROW(r->read(bad, ReadContext{"t.fpx"}), Error) << code << " cut at " << cut;
        }
        std::uint32_t seed = 12345u + static_cast<std::uint32_t>(code);
        for (int round = 0; round < 60; ++round) {
            Bytes bad = good;
            for (int k = 0; k < 8; ++k) {
                seed = seed * 1664525u + 1013904223u;
                bad[(seed >> 8) % bad.size()] ^= static_cast<std::uint8_t>(seed | 1);
            }
            try {
                decode(bad);
            } catch (const Error&) {
            } catch (const std::runtime_error& e) {
                if (std::string(e.what()) != "FlashPix reader not chosen") ADD_FAILURE() << e.what();
            }
        }
    }
}

// Files of other programs

TEST(FlashPixCorpus, ToolkitFilesDecode) {
    const std::string raw = (kCorpus / "imagemagick--fpx__input_256.fpx").string();
    const std::string jpeg = (kCorpus / "imagemagick--fpx__input_jpeg.fpx").string();
    if (!fs::exists(raw) || !fs::exists(jpeg)) RASTEL_MISSING("corpus missing");
    const Image a = loadDocument(raw).pages.at(0), b = loadDocument(jpeg).pages.at(0);
    ASSERT_EQ(a.width(), 70);
    ASSERT_EQ(a.height(), 46);
    ASSERT_EQ(b.width(), 70);
    ASSERT_EQ(b.height(), 46);
    // The same picture stored uncompressed and as JPEG.
    EXPECT_GT(psnr(a, b), 24.0);
    // First pixels of the uncompressed file, as stored in its first tile.
    const std::uint8_t first[] = {0x33, 0x2d, 0x2b, 0x33, 0x33, 0x2d};
    EXPECT_EQ(0, std::memcmp(a.row(0), first, sizeof first));
    // The second tile holds columns 64..69, stored 64 pixels wide.
    const std::uint8_t row1[] = {0x49, 0x3e, 0x75, 0x4e, 0x4d, 0x69};
    EXPECT_EQ(0, std::memcmp(a.row(1) + 64 * 3, row1, sizeof row1));
}

TEST(FlashPixCorpus, FiveBandFileIsRefused) {
    const std::string path = (kCorpus / "pillow--input_bw_five_bands.fpx").string();
    if (!fs::exists(path)) RASTEL_MISSING("corpus missing");
    EXPECT_THROW(loadDocument(path), Error);
}

// Pillow decodes uncompressed and JPEG tiles; its tile placement assumes the
// width is a multiple of 64 (and, for JPEG, the height too), and it has no
// decoder for single-colour tiles, so those cases are left out.
TEST(FlashPixInterop, PillowReadsOurFiles) {
    if (std::system("/usr/bin/python3 -c 'import PIL.FpxImagePlugin' >/dev/null 2>&1") != 0)
        RASTEL_MISSING("Pillow with olefile not available");
    TempDir dir;
    struct Case {
        int code, bits, width, height;
    } cases[] = {{80, 24, 128, 100}, {80, 8, 192, 70}, {83, 24, 128, 128}, {83, 8, 192, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + "/" + std::to_string(c.bits));
        const std::string in = dir.file("p.fpx"), out = dir.file("p.raw");
        const Image src = picture(c.width, c.height);
        savePage(in, src, c.code, c.bits, 2);
        const std::string cmd = "/usr/bin/python3 -c \"from PIL import Image; im=Image.open('" + in + "'); open('" +
                                out +
                                "','wb').write(im.size[0].to_bytes(4,'little')+im.size[1].to_bytes(4,'little')+im.mode."
                                "encode()[:1]+im.tobytes())\" 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const Bytes got = readBytes(out);
        ASSERT_GE(got.size(), 9u);
        EXPECT_EQ(getU32le(got, 0), std::uint32_t(c.width));
        EXPECT_EQ(getU32le(got, 4), std::uint32_t(c.height));
        EXPECT_EQ(got[8], c.bits == 8 ? 'L' : 'R');
        Image pillow(c.width, c.height, c.bits == 8 ? PixelFormat::Gray8 : PixelFormat::Rgb24);
        ASSERT_EQ(got.size() - 9, pillow.byteSize());
        std::memcpy(pillow.data(), got.data() + 9, pillow.byteSize());
        if (c.code == 80)
            EXPECT_EQ(psnr(pillow, expected(src, c.bits)), 99);
        else
            EXPECT_GT(psnr(pillow, expected(src, c.bits)), 40);
        // Also our own reader agrees with Pillow on the same file.
        EXPECT_GT(psnr(pillow, loadDocument(in).pages.at(0)), 45);
    }
}

// Small files of each kind of tile (with one single-colour tile) read back as
// their picture, and seed the fuzzer.
TEST(FlashPix, SmallFilesOfEachTileKindReadBack) {
    const Image src = picture(70, 66, {{0, 1}});
    for (int code : {80, 81, 83}) {
        const Bytes file = encode(src, code, 24, 60);
        EXPECT_GT(psnr(decode(file), src), code == 80 ? 98.0 : 20.0) << code;
        rastel::test::keepFuzzSeed("fuzz_flashpix", "gen" + std::to_string(code) + ".fpx", file);
    }
}

}  // namespace
