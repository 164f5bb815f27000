#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/engine.h"
#include "imaging/error.h"
#include "tests/support/test_support.h"

using namespace rastel::imaging;
using rastel::test::readBytes;
using rastel::test::TempDir;
using rastel::test::writeBytes;

namespace {

Image sample() {
    Image img(9, 5, PixelFormat::Rgb24);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            std::uint8_t* p = img.row(y) + x * 3;
            p[0] = static_cast<std::uint8_t>(x * 28);
            p[1] = static_cast<std::uint8_t>(y * 60);
            p[2] = static_cast<std::uint8_t>((x ^ y) * 20);
        }
    return img;
}

struct Undocumented {
    int code;
    int bits;
    const char* ext;
    const char* format;  // what the message must name
};

const Undocumented kCases[] = {
    {99, 1, ".awd", "AWD"}, {69, 1, ".wfx", "WFX"}, {70, 1, ".wfx", "WFX"},
    {5, 24, ".cmp", "CMP"}, {5, 8, ".cmp", "CMP"},  {26, 1, ".cmp", "CMP"},
};

// Saving fails naming the format, and a file already under the name is kept
// byte for byte (a new name is not created at all).
TEST(Undocumented, SavingFailsClearlyAndTouchesNothing) {
    TempDir dir;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.code);
        const std::string fresh = dir / (std::string("new") + c.ext);
        try {
            savePage(fresh, sample(), c.code, c.bits, 2);
            ADD_FAILURE() << "save succeeded";
        } catch (const Error& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(c.format), std::string::npos) << msg;
            EXPECT_NE(msg.find("cannot be written"), std::string::npos) << msg;
        }
        EXPECT_FALSE(std::filesystem::exists(fresh));

        const std::string old = dir / (std::string("old") + c.ext);
        const std::vector<std::uint8_t> before{1, 2, 3, 4, 5};
        writeBytes(old, before);
        EXPECT_THROW(savePage(old, sample(), c.code, c.bits, 2), Error);
        EXPECT_EQ(readBytes(old), before);
    }
}

// Inputs under these extensions load when their content is a known format and
// fail with an error otherwise.
TEST(Undocumented, InputsAreReadByTheirContent) {
    TempDir dir;
    for (const char* ext : {".awd", ".wfx", ".cmp"}) {
        SCOPED_TRACE(ext);
        const std::string png = dir / (std::string("png") + ext);
        const std::string tmp = dir / "tmp.png";
        savePage(tmp, sample(), 75, 24, 2);
        std::filesystem::rename(tmp, png);
        const Document doc = loadDocument(png);
        ASSERT_EQ(doc.pages.size(), 1u);
        EXPECT_EQ(doc.pages[0].width(), 9);
        EXPECT_EQ(doc.pages[0].height(), 5);

        const std::string junk = dir / (std::string("junk") + ext);
        writeBytes(junk, std::vector<std::uint8_t>(300, 0x5A));
        EXPECT_THROW(loadDocument(junk), Error);
    }
}

}  // namespace
