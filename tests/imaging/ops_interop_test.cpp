// Cross-checks of the exact operations against netpbm, an independent
// implementation, on a noise picture through PPM files.

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "imaging/ops/grayscale.h"
#include "imaging/ops/mirror.h"
#include "imaging/ops/rotate.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using namespace rastel::test;

namespace {

namespace fs = std::filesystem;

// Reads a binary PGM/PPM with a plain header (as netpbm writes them).
bool readPnm(const fs::path& p, Image& out) {
    std::ifstream f(p, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    if (!(f >> magic >> w >> h >> maxval) || maxval != 255 || (magic != "P5" && magic != "P6")) return false;
    f.get();
    out = Image(w, h, magic == "P5" ? PixelFormat::Gray8 : PixelFormat::Rgb24);
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.byteSize()));
    return static_cast<std::size_t>(f.gcount()) == out.byteSize();
}

}  // namespace

TEST(OpsInterop, ExactOperationsMatchNetpbm) {
    RASTEL_REQUIRE_TOOLS("pamflip", "ppmtopgm");
    struct Case {
        const char* name;
        const char* command;  // netpbm filter, reads stdin, writes stdout
        std::function<Image(const Image&)> op;
        int tolerance;  // per sample
    };
    const Case cases[] = {
        {"mirror", "pamflip -lr",
         [](const Image& s) {
             Image m = s;
             mirrorInPlace(m);
             return m;
         },
         0},
        {"rotate 90", "pamflip -cw", [](const Image& s) { return rotate(s, 9000, true, {}); }, 0},
        {"rotate -90", "pamflip -ccw", [](const Image& s) { return rotate(s, -9000, true, {}); }, 0},
        {"rotate 180", "pamflip -r180", [](const Image& s) { return rotate(s, 18000, false, {}); }, 0},
        // netpbm rounds its fixed-point luma differently by at most one level.
        {"grayscale", "ppmtopgm", [](const Image& s) { return convertToGrayscale(s); }, 1},
    };
    TempDir tmp;
    const Image src = noiseImage({PixelFormat::Rgb24, 8}, 97, 61, 3);
    writePnm((tmp.path / "in.ppm").string(), src);
    for (const Case& c : cases) {
        const fs::path out = tmp.path / "out.pnm";
        const std::string cmd =
            std::string(c.command) + " < '" + (tmp.path / "in.ppm").string() + "' > '" + out.string() + "' 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << c.command;
        Image theirs;
        ASSERT_TRUE(readPnm(out, theirs)) << c.command;
        const Image ours = c.op(src);
        ASSERT_EQ(ours.width(), theirs.width()) << c.name;
        ASSERT_EQ(ours.height(), theirs.height()) << c.name;
        ASSERT_EQ(ours.byteSize(), theirs.byteSize()) << c.name;
        int worst = 0;
        for (std::size_t i = 0; i < ours.byteSize(); ++i)
            worst = std::max(worst, std::abs(ours.data()[i] - theirs.data()[i]));
        EXPECT_LE(worst, c.tolerance) << c.name;
    }
}
