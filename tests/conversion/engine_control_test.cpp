// The imaging control over the real engine.

#include "conversion/engine_control.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "imaging/registry.h"
#include "tests/support/page_checks.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace rastel;

namespace {

class EngineControlTest : public ::testing::Test {
protected:
    test::TempDir scratch{"rastel-engine"};
    fs::path dir = scratch.path;
    std::string makeJpeg(const std::string& name, int w, int h) {
        const fs::path p = dir / name;
        const std::string cmd = "/usr/bin/convert -size " + std::to_string(w) + "x" + std::to_string(h) +
                                " gradient:red-blue -quality 95 '" + p.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return p.string();
    }
};

}  // namespace

TEST_F(EngineControlTest, LoadsProcessesAndSaves) {
    EngineControl c;
    const std::string in = makeJpeg("a.jpg", 300, 100);
    c.ReadFileInfo(in, 0);
    EXPECT_EQ(c.InfoPageCount(), 1);
    std::int16_t pages = 0;
    c.LoadFile(in, 0, 0, pages);
    EXPECT_EQ(pages, 1);

    const DisplayPicture full = c.CurrentPicture(1024);
    EXPECT_EQ(full.Width, 300);
    EXPECT_EQ(full.Height, 100);
    const DisplayPicture small = c.CurrentPicture(50);
    EXPECT_LE(std::max(small.Width, small.Height), 50);
    EXPECT_NEAR(static_cast<double>(small.Width) / small.Height, 3.0, 0.2) << "aspect ratio kept";
    // Top rows of a red-to-blue gradient are red.
    EXPECT_GT((full.Pixels[0] >> 16) & 0xFF, 200u);

    c.RotateImage(9000, true, FillColor{});
    EXPECT_EQ(c.currentPage().width(), 100);
    EXPECT_EQ(c.currentPage().height(), 300);
    c.ConvertToGrayscale(8);
    c.ReduceColors(1, 2, 1, 0);
    EXPECT_EQ(c.currentPage().bitsPerPixel(), 1);
    std::int16_t quality = 40;
    const std::string out = (dir / "a.out.jpg").string();
    c.SaveFile(out, 10, 8, quality, 0);
    EXPECT_EQ(quality, 40) << "the quality factor is never changed";
    EXPECT_TRUE(fs::exists(out));

    c.ClearImage(0);
    EXPECT_TRUE(c.CurrentPicture().empty());
    EXPECT_THROW(c.MirrorImage(), ImagingError);
}

TEST_F(EngineControlTest, FailuresAreImagingErrorsNamingTheFile) {
    EngineControl c;
    const std::string missing = (dir / "missing.jpg").string();
    try {
        c.ReadFileInfo(missing, 0);
        FAIL() << "no error";
    } catch (const ImagingError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(missing + ": ", 0), 0u) << e.what();
    }
    const std::string in = makeJpeg("b.jpg", 20, 10);
    std::int16_t pages = 0;
    EXPECT_THROW(c.LoadFile(in, 1, 0, pages), ImagingError) << "only the file's own depth";
    c.LoadFile(in, 0, 0, pages);
    EXPECT_THROW(c.SetCurrentPageIndex(1), ImagingError);
    EXPECT_THROW(c.SetCurrentPageIndex(-1), ImagingError);
    std::int16_t q = 2;
    EXPECT_THROW(c.SaveFile((dir / "x.gif").string(), 10, 24, q, 2), ImagingError) << "unknown mode";
    EXPECT_THROW(c.SaveFile((dir / "x.jpg").string(), 10, 16, q, 0), ImagingError) << "depth not offered";
    EXPECT_THROW(c.SaveFile((dir / "x.jpg").string(), 10, 24, q, 1), ImagingError) << "JPEG holds one page";
    EXPECT_THROW(c.SaveFile((dir / "x.awd").string(), 99, 1, q, 0), ImagingError);
    // Refusals from the image operations name the loaded file too.
    for (const auto& [bits, dither] : {std::pair{9, 0}, std::pair{4, 9}}) {
        try {
            c.ReduceColors(bits, 2, dither, 0);
            ADD_FAILURE() << "no error for " << bits << " bits, dither " << dither;
        } catch (const ImagingError& e) {
            EXPECT_EQ(e.Path(), in);
            EXPECT_EQ(std::string(e.what()).rfind(in + ": reduce: ", 0), 0u) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(dir / "x.jpg"));
    EXPECT_FALSE(fs::exists(dir / "x.awd"));
    // A failed load leaves no page of the earlier file to be saved under the new name.
    EXPECT_THROW(c.LoadFile(missing, 0, 0, pages), ImagingError);
    EXPECT_TRUE(c.CurrentPicture().empty());
    EXPECT_THROW(c.SaveFile((dir / "y.jpg").string(), 10, 24, q, 0), ImagingError);
}

// A transparent picture previews as it converts: on white, not its hidden colour.
TEST_F(EngineControlTest, PreviewShowsTransparentPixelsOnWhite) {
    const fs::path p = dir / "clear.png";
    ASSERT_EQ(std::system(("/usr/bin/convert -size 8x8 'xc:rgba(0,0,0,0)' 'PNG32:" + p.string() + "'").c_str()), 0);
    EngineControl c;
    std::int16_t pages = 0;
    c.LoadFile(p.string(), 0, 0, pages);
    for (const auto px : c.CurrentPicture().Pixels) EXPECT_EQ(px & 0xFFFFFFu, 0xFFFFFFu);
}

// Pages are decoded when selected: each comes out as the reader decodes the
// whole file; a page that cannot be decoded fails when it is selected, naming
// the file and the format; a file changed after ReadFileInfo is read afresh.
TEST_F(EngineControlTest, PagesAreDecodedWhenSelected) {
    const fs::path p = dir / "three.tif";
    const std::string make =
        "/usr/bin/convert -size 40x30 gradient:red-blue xc:lime gradient:gray-white -compress Zip ";
    ASSERT_EQ(std::system((make + "'" + p.string() + "'").c_str()), 0);
    const auto bytes = test::readBytes(p.string());
    const imaging::Document whole =
        imaging::Registry::instance().reader("TIFF")->read(bytes, imaging::ReadContext{p.string()});
    ASSERT_EQ(whole.pages.size(), 3u);
    EngineControl c;
    c.ReadFileInfo(p.string(), 0);
    std::int16_t pages = 0;
    c.LoadFile(p.string(), 0, 0, pages);
    ASSERT_EQ(pages, 3);
    for (const int index : {0, 1, 2, 0}) {
        SCOPED_TRACE(index);
        c.SetCurrentPageIndex(index);
        EXPECT_TRUE(test::identical(c.currentPage(), whole.pages[static_cast<std::size_t>(index)]));
    }

    test::damageTiffPage(p.string(), 1);
    c.ReadFileInfo(p.string(), 0);
    c.LoadFile(p.string(), 0, 0, pages);
    EXPECT_EQ(pages, 3) << "the damaged page is not decoded before it is selected";
    try {
        c.SetCurrentPageIndex(1);
        ADD_FAILURE() << "page 2 decoded";
    } catch (const ImagingError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(p.string() + ": TIFF: ", 0), 0u) << e.what();
    }
    EXPECT_THROW(c.MirrorImage(), ImagingError) << "the failed page is not current";
    EXPECT_NO_THROW(c.SetCurrentPageIndex(2));

    // The file stays open and is read as pages are selected: cut short meanwhile, it fails cleanly.
    EXPECT_NO_THROW(c.SetCurrentPageIndex(0));
    fs::resize_file(p, 8);
    try {
        c.SetCurrentPageIndex(2);
        ADD_FAILURE() << "page 3 decoded from a file cut after its header";
    } catch (const ImagingError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(p.string() + ": TIFF: ", 0), 0u) << e.what();
    }
    ASSERT_EQ(std::system((make + "'" + p.string() + "'").c_str()), 0);

    c.ReadFileInfo(p.string(), 0);
    ASSERT_EQ(std::system(("/usr/bin/convert -size 20x10 xc:red '" + p.string() + "'").c_str()), 0);
    c.LoadFile(p.string(), 0, 0, pages);
    EXPECT_EQ(pages, 1) << "a file changed since ReadFileInfo is read again";
    EXPECT_EQ(c.currentPage().width(), 20);
}

// The pixel limit holds per page and for a document's pages together.
TEST_F(EngineControlTest, DocumentWhosePagesTogetherPassThePixelLimitIsRefused) {
    struct Case {
        const char* name;
        int pages;
        bool loads;
    };
    const Case cases[] = {{"two pages within the limit", 2, true}, {"five pages, each within it", 5, false}};
    const std::uint64_t limit = imaging::pixelLimit();
    imaging::setPixelLimit(400 * 400 * 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path p = dir / "pages.tif";
        std::string cmd = "/usr/bin/convert -size 400x400";
        for (int i = 0; i < c.pages; ++i) cmd += " xc:white";
        ASSERT_EQ(std::system((cmd + " -compress Group4 '" + p.string() + "'").c_str()), 0);
        EngineControl control;
        std::int16_t pages = 0;
        if (c.loads) {
            EXPECT_NO_THROW(control.LoadFile(p.string(), 0, 0, pages));
            continue;
        }
        try {
            control.LoadFile(p.string(), 0, 0, pages);
            ADD_FAILURE() << "loaded";
        } catch (const ImagingError& e) {
            EXPECT_NE(std::string(e.what()).find("pages together exceed the limit"), std::string::npos) << e.what();
        }
    }
    imaging::setPixelLimit(limit);
}
