#include "conversion/batch_conversion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"
#include "settings_model/setting_rules.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace rastel;

namespace {

// Records every imaging call as text; SaveFile writes a marker file so that the
// batch's file handling (staging, renames) runs for real.
class RecordingControl : public ImagingControl {
public:
    std::vector<std::string> calls;
    std::map<std::string, int> pages;  // by path; 1 when absent
    std::string failLoad;              // LoadFile of this path throws
    int failAfterMs = 0;               // ... after this long
    int failSaveNumber = 0;            // the n-th SaveFile call (1-based) throws

    void ReadFileInfo(const std::string& path, int page) override {
        calls.push_back("ReadFileInfo(" + path + "," + std::to_string(page) + ")");
        info_ = pages.count(path) ? pages[path] : 1;
    }
    std::int32_t InfoPageCount() const override { return info_; }
    void LoadFile(const std::string& path, int bits, int first, std::int16_t& count) override {
        calls.push_back("LoadFile(" + path + "," + std::to_string(bits) + "," + std::to_string(first) + "," +
                        std::to_string(count) + ")");
        if (path != failLoad) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(failAfterMs));
        throw ImagingError(path, "BMP: truncated file");
    }
    DisplayPicture CurrentPicture(int) const override {
        const_cast<RecordingControl*>(this)->calls.push_back("CurrentPicture");
        return {};
    }
    void ConvertToGrayscale(int bits) override { calls.push_back("ConvertToGrayscale(" + std::to_string(bits) + ")"); }
    void MirrorImage() override { calls.push_back("MirrorImage"); }
    void RotateImage(std::int32_t a, bool grow, FillColor f) override {
        calls.push_back("RotateImage(" + std::to_string(a) + "," + std::to_string(grow) + "," + std::to_string(f.Red) +
                        std::to_string(f.Green) + std::to_string(f.Blue) + ")");
    }
    void ReduceColors(int bits, int pal, int dither, int count) override {
        calls.push_back("ReduceColors(" + std::to_string(bits) + "," + std::to_string(pal) + "," +
                        std::to_string(dither) + "," + std::to_string(count) + ")");
    }
    void SaveFile(const std::string& path, std::int32_t code, int bits, std::int16_t& q, int mode) override {
        ++saves_;
        calls.push_back("SaveFile(" + fs::path(path).filename().string() + "," + std::to_string(code) + "," +
                        std::to_string(bits) + "," + std::to_string(q) + "," + std::to_string(mode) + ")");
        if (saves_ == failSaveNumber) throw ImagingError(path, "TIFF: disk full");
        if (mode == 0) {
            std::ofstream(path) << "page1";
        } else {
            ASSERT_TRUE(fs::exists(path)) << "append to a file that was never created";
            std::ofstream(path, std::ios::app) << "+page";
        }
    }
    void SetCurrentPageIndex(std::int32_t i) override {
        calls.push_back("SetCurrentPageIndex(" + std::to_string(i) + ")");
    }
    void ClearImage(int) override { calls.push_back("ClearImage"); }

private:
    int info_ = 1;
    int saves_ = 0;
};

class RecordingObserver : public BatchObserver {
public:
    std::vector<std::string>& calls;
    explicit RecordingObserver(std::vector<std::string>& c) : calls(c) {}
    void ShowProgress(std::size_t index, std::size_t count) override {
        calls.push_back("Progress " + ProgressText(index, count));
    }
    void Yield() override { calls.push_back("Yield"); }
    void ShowPreview(const DisplayPicture&) override { calls.push_back("Preview"); }
    void ItemDone(std::size_t i, const BatchItem& item) override {
        calls.push_back("Done " + std::to_string(i) +
                        (item.Status == BatchItem::State::Converted ? " converted" : " failed"));
    }
};

struct Settings {
    int family = 1, details = 0, color = 4, gray = 0, dither = 0, rotate = 0, mirror = 0, quality = 2;
};

void applySettings(const Settings& s) {
    ResetSettingsState();
    BuildExtensionTable();
    BuildDitherCodes();
    BuildRotateAngles();
    ConvertSettings.FormatType = static_cast<int16_t>(s.family);
    ConvertSettings.FormatDetails = static_cast<int16_t>(s.details);
    ConvertSettings.ColorType = static_cast<int16_t>(s.color);
    ConvertSettings.Grayscale = static_cast<int16_t>(s.gray);
    ConvertSettings.DitheringType = static_cast<int16_t>(s.dither);
    ConvertSettings.RotateType = static_cast<int16_t>(s.rotate);
    ConvertSettings.Reverse = static_cast<int16_t>(s.mirror);
    ConvertSettings.Quality = static_cast<int16_t>(s.quality);
    RebuildDerivedLists();
}

class BatchTest : public ::testing::Test {
protected:
    test::TempDir scratch{"rastel-batch"};
    fs::path dir = scratch.path;
    std::string in(const std::string& name) const { return (dir / name).string(); }
};

}  // namespace

TEST_F(BatchTest, EmptyQueueTouchesNothing) {
    applySettings({});
    RecordingControl control;
    RecordingObserver observer(control.calls);
    std::vector<std::string> queue{""};
    EXPECT_EQ(ConvertQueue(queue, control, observer), 0);
    EXPECT_TRUE(control.calls.empty());
    EXPECT_EQ(queue, std::vector<std::string>{""});
}

TEST_F(BatchTest, CallSequencesFollowTheSettings) {
    struct Case {
        const char* name;
        Settings settings;
        int pages;
        std::vector<std::string> expected;  // after the common prefix
    };
    const std::string P = "a.tif";
    const Case cases[] = {
        {"defaults: BMP 24 bits, no processing", {}, 1, {"SaveFile(a.bmp,6,24,2,0)"}},
        {"grayscale at 24 bits is not reduced",
         {.family = 19, .details = 3, .color = 9, .gray = 1},
         1,
         {"ConvertToGrayscale(8)", "SaveFile(a.tif,17,24,2,0)"}},
        {"grayscale at 1 bit is reduced with the dither code",
         {.family = 19, .details = 17, .color = 0, .gray = 1, .dither = 1},
         1,
         {"ConvertToGrayscale(8)", "ReduceColors(1,2,1,0)", "SaveFile(a.tif,29,1,2,0)"}},
        {"8 bits reduced; Stucki position 2 gives code 3",
         {.family = 7, .details = 0, .color = 7, .dither = 2},
         1,
         {"ReduceColors(8,2,3,0)", "SaveFile(a.gif,2,8,2,0)"}},
        {"16 bits not reduced", {.family = 1, .color = 3}, 1, {"SaveFile(a.bmp,6,16,2,0)"}},
        {"left 270 passes -27000 with white fill, mirror before rotation",
         {.rotate = 6, .mirror = 1, .quality = 77},
         1,
         {"MirrorImage", "RotateImage(-27000,1,255255255)", "SaveFile(a.bmp,6,24,77,0)"}},
        {"rotation right 90", {.rotate = 1}, 1, {"RotateImage(9000,1,255255255)", "SaveFile(a.bmp,6,24,2,0)"}},
        {"flags other than 1 count as off", {.gray = 2, .mirror = -1}, 1, {"SaveFile(a.bmp,6,24,2,0)"}},
        {"three pages to TIFF LZW: every page processed, then appended",
         {.family = 19, .details = 3, .color = 9, .gray = 1, .rotate = 2, .mirror = 1},
         3,
         {"ConvertToGrayscale(8)", "MirrorImage", "RotateImage(18000,1,255255255)",
          "SaveFile(.a.tif.rastel-" + std::to_string(::getpid()) + ",17,24,2,0)", "SetCurrentPageIndex(1)",
          "ConvertToGrayscale(8)", "MirrorImage", "RotateImage(18000,1,255255255)",
          "SaveFile(.a.tif.rastel-" + std::to_string(::getpid()) + ",17,24,2,1)", "SetCurrentPageIndex(2)",
          "ConvertToGrayscale(8)", "MirrorImage", "RotateImage(18000,1,255255255)",
          "SaveFile(.a.tif.rastel-" + std::to_string(::getpid()) + ",17,24,2,1)"}},
        {"three pages to GIF: one save",
         {.family = 7, .color = 7, .dither = 1},
         3,
         {"ReduceColors(8,2,1,0)", "SaveFile(a.gif,2,8,2,0)"}},
        {"one page with a multi-page code: one save, no staging",
         {.family = 19, .details = 3, .color = 9},
         1,
         {"SaveFile(a.tif,17,24,2,0)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        applySettings(c.settings);
        RecordingControl control;
        control.pages[in(P)] = c.pages;
        RecordingObserver observer(control.calls);
        std::vector<std::string> queue{in(P), ""};
        ASSERT_EQ(ConvertQueue(queue, control, observer), 0) << LastBatchFailure.Message;
        std::vector<std::string> expected{"Progress 1/1処理中",
                                          "ReadFileInfo(" + in(P) + ",0)",
                                          "LoadFile(" + in(P) + ",0,0," + std::to_string(c.pages) + ")",
                                          "Yield",
                                          "CurrentPicture",
                                          "Preview"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        expected.push_back("Done 0 converted");
        EXPECT_EQ(control.calls, expected);
        EXPECT_EQ(queue, std::vector<std::string>{""});
        const std::string out = in("a") + ExtensionTable[static_cast<std::size_t>(c.settings.family)];
        EXPECT_TRUE(fs::exists(out)) << out;
        if (c.pages == 3 && c.settings.family == 19) {
            std::ifstream f(out);
            std::string content((std::istreambuf_iterator<char>(f)), {});
            EXPECT_EQ(content, "page1+page+page");
        }
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_NE(e.path().filename().string()[0], '.') << "staging file left behind";
        fs::remove(out);
    }
}

TEST_F(BatchTest, ProgressCountsEveryFile) {
    applySettings({});
    RecordingControl control;
    std::vector<std::string> shown;
    RecordingObserver observer(shown);
    std::vector<std::string> queue{in("x.Png"), in("y.jpg"), in("z.gif"), ""};
    ASSERT_EQ(ConvertQueue(queue, control, observer), 0);
    std::vector<std::string> progress;
    for (const auto& s : shown)
        if (s.rfind("Progress", 0) == 0) progress.push_back(s);
    EXPECT_EQ(progress, (std::vector<std::string>{"Progress 1/3処理中", "Progress 2/3処理中", "Progress 3/3処理中"}));
    EXPECT_TRUE(fs::exists(in("x.bmp")));
    EXPECT_EQ(queue, std::vector<std::string>{""});
}

TEST_F(BatchTest, FailureStopsTheBatchAndNamesTheFile) {
    applySettings({});
    RecordingControl control;
    control.failLoad = in("2.bmp");
    RecordingObserver observer(control.calls);
    std::vector<std::string> queue{in("1.bmp"), in("2.bmp"), in("3.bmp"), in("4.bmp"), in("5.bmp"), ""};
    EXPECT_EQ(ConvertQueue(queue, control, observer), -1);
    EXPECT_EQ(queue, std::vector<std::string>{""});
    EXPECT_EQ(LastBatchFailure.Path, in("2.bmp"));
    EXPECT_EQ(LastBatchFailure.Message, in("2.bmp") + ": BMP: truncated file");
    EXPECT_EQ(LastBatchFailure.Cause, "BMP: truncated file");
    EXPECT_TRUE(fs::exists(in("1.bmp")));
    for (const auto& c : control.calls) {
        EXPECT_EQ(c.find("3.bmp"), std::string::npos) << c;
        EXPECT_EQ(c.find("4.bmp"), std::string::npos) << c;
    }
}

// Several workers, the second file failing late: the files after it finish
// first, yet the batch ends as a sequential one does.
TEST_F(BatchTest, ParallelFailureLeavesWhatASequentialRunLeaves) {
    applySettings({});
    RecordingControl first;
    auto prepare = [&](RecordingControl& c) {
        c.failLoad = in("2.bmp");
        c.failAfterMs = 300;
    };
    prepare(first);
    std::vector<std::string> shown;
    RecordingObserver observer(shown);
    std::vector<std::string> queue{in("1.bmp"), in("2.bmp"), in("3.bmp"), in("4.bmp"), in("5.bmp"), ""};
    const BatchResult result = ConvertQueue(queue, first, observer, 3, [&] {
        auto c = std::make_unique<RecordingControl>();
        prepare(*c);
        return c;
    });
    EXPECT_EQ(result.Status, -1);
    EXPECT_EQ(result.Failure.Path, in("2.bmp"));
    EXPECT_EQ(result.Failure.Cause, "BMP: truncated file");
    EXPECT_EQ(queue, std::vector<std::string>{""});
    EXPECT_EQ(shown, (std::vector<std::string>{"Progress 1/5処理中", "Done 0 converted", "Progress 2/5処理中",
                                               "Done 1 failed"}));
    std::vector<BatchItem::State> states;
    for (const auto& item : result.Items) states.push_back(item.Status);
    using S = BatchItem::State;
    EXPECT_EQ(states, (std::vector<S>{S::Converted, S::Failed, S::NotStarted, S::NotStarted, S::NotStarted}));
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"1.bmp"}) << "finished later outputs and their working files are discarded";
}

TEST_F(BatchTest, MultiPageOutputAppearsOnlyWhenComplete) {
    // The input is converted onto its own name; the second append fails.
    applySettings({.family = 19, .details = 3, .color = 9});
    const std::string target = in("scan.tif");
    std::ofstream(target) << "original three pages";
    RecordingControl control;
    control.pages[target] = 3;
    control.failSaveNumber = 3;
    RecordingObserver observer(control.calls);
    std::vector<std::string> queue{target, ""};
    EXPECT_EQ(ConvertQueue(queue, control, observer), -1);
    std::ifstream f(target);
    std::string content((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(content, "original three pages");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"scan.tif"}) << "the partial output must be removed";
}

TEST_F(BatchTest, SettingsOutsideTheirTablesFailTheBatch) {
    applySettings({});
    ConvertSettings.RotateType = 9;
    RecordingControl control;
    RecordingObserver observer(control.calls);
    std::vector<std::string> queue{in("a.bmp"), ""};
    EXPECT_EQ(ConvertQueue(queue, control, observer), -1);
    EXPECT_EQ(queue, std::vector<std::string>{""});
    EXPECT_EQ(LastBatchFailure.Path, in("a.bmp"));
}
