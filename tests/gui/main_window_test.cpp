// Start-up and the main window, offscreen, with a fake platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <utility>

#include "app/main_window.h"
#include "app/startup.h"
#include "conversion/file_intake.h"
#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"

namespace fs = std::filesystem;
using namespace rastel;

namespace {

struct FakePlatform : Platform {
    bool secondInstance = false;
    std::string folder;
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<int> ended;
    std::function<void()> onProcessEvents;
    int processEventsCalls = 0;

    bool AcquireSingleInstance() override { return !secondInstance; }
    std::string ProgramFolder() override { return folder; }
    void ShowMessage(const std::string& text, const std::string& title) override { messages.emplace_back(text, title); }
    void ProcessEvents() override {
        ++processEventsCalls;
        if (onProcessEvents) onProcessEvents();
    }
    void EndProcess(int status) override { ended.push_back(status); }
};

class StartUpTest : public ::testing::Test {
protected:
    fs::path dir;
    FakePlatform platform;
    Program program;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("rastel-gui-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "bin");
        platform.folder = (dir / "bin").string();
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ResetSettingsState();
        SetSettingsFilePath("");
        ResetQueue(FileQueue);
    }
    void TearDown() override {
        program.frmMain.reset();
        fs::remove_all(dir);
    }
    fs::path image(const std::string& name, const std::string& source = "gradient:red-blue") {
        const fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        const std::string cmd = "/usr/bin/convert -size 32x24 " + source + " '" + p.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return p;
    }
    void dropOn(MainWindow& w, const std::vector<fs::path>& paths) {
        auto* mime = new QMimeData;
        QList<QUrl> urls;
        for (const auto& p : paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p.string())));
        mime->setUrls(urls);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        // Delivered to the picture box's own handler, as the window system does.
        const auto messagesBefore = platform.messages.size();
        static_cast<QObject*>(w.ImgDisp())->event(&drop);
        delete mime;
        EXPECT_EQ(platform.messages.size(), messagesBefore) << "the drop event returns before any conversion";
        // The event loop then takes the drop in.
        QCoreApplication::processEvents();
    }
};

}  // namespace

TEST_F(StartUpTest, SecondInstanceEndsSilently) {
    platform.secondInstance = true;
    const fs::path a = dir / "a.bmp";
    EXPECT_FALSE(StartUp(platform, {a.string()}, program));
    EXPECT_EQ(platform.ended, std::vector<int>{0});
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_FALSE(program.frmMain);
    EXPECT_FALSE(fs::exists(dir / "bin" / "Rastel.ini")) << "nothing is read or written";
}

TEST_F(StartUpTest, NoArgumentsShowsTheIdleWindowAndWritesDefaults) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    MainWindow& w = *program.frmMain;
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.windowTitle(), "Rastel");
    EXPECT_EQ(w.Label1()->text(), "待機中");
    EXPECT_EQ(w.Label2()->text(), "状況");
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_TRUE(fs::exists(dir / "bin" / "Rastel.ini"));
    EXPECT_EQ(AppFolder, (dir / "bin").string() + "/");
    EXPECT_EQ(CurrentFormatCode(), 6);
    EXPECT_EQ(CurrentColorBits(), 24);
}

TEST_F(StartUpTest, UnreadableAndUnwritableSettingsEndWithInternalError) {
    std::ofstream(dir / "file") << "x";
    platform.folder = (dir / "file" / "sub").string();                  // a folder that cannot exist
    ::setenv("XDG_CONFIG_HOME", (dir / "file" / "config").c_str(), 1);  // nor can the fallback
    EXPECT_FALSE(StartUp(platform, {}, program));
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].first, "内部エラー (No.3)");
    EXPECT_EQ(platform.messages[0].second, "Rastel");
    EXPECT_EQ(platform.ended, std::vector<int>{1});
}

TEST_F(StartUpTest, LayoutFollowsTheTwipPositions) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    MainWindow& w = *program.frmMain;
    EXPECT_EQ(w.centralWidget()->size(), QSize(157, 138));
    EXPECT_EQ(w.ImgDisp()->geometry(), QRect(4, 0, 149, 105));
    EXPECT_EQ(w.Label2()->geometry(), QRect(4, 116, 25, 13));
    EXPECT_EQ(w.Label1()->geometry(), QRect(36, 112, 117, 21));
    EXPECT_DOUBLE_EQ(w.Label1()->font().pointSizeF(), 11.25);
    EXPECT_TRUE(w.ImgDisp()->acceptDrops());
    EXPECT_FALSE(w.Label1()->acceptDrops());
    EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "fixed size";
    EXPECT_EQ(w.width(), 157) << "the window is as wide as its client area";
    EXPECT_EQ(w.centralWidget()->geometry().bottom(), w.height() - 1);
    EXPECT_EQ(w.MnuSaveSet()->text(), "保存設定");
    EXPECT_EQ(w.MnuEnd()->text(), "終了");
    EXPECT_EQ(w.MnuInfoVersion()->text(), "バージョン情報");
}

TEST_F(StartUpTest, VersionBoxText) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    program.frmMain->MnuInfoVersion()->trigger();
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].second, "バージョン情報");
    EXPECT_EQ(platform.messages[0].first.rfind("Rastel Version 2.0\r\n\r\n", 0), 0u);
    EXPECT_NE(platform.messages[0].first.find("Copyright"), std::string::npos);
}

TEST_F(StartUpTest, ExitAndCloseReleaseTheSameTables) {
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "終了" : "close box");
        platform.ended.clear();
        program.frmMain.reset();
        ASSERT_TRUE(StartUp(platform, {}, program));
        ASSERT_FALSE(ExtensionTable.empty());
        if (way == 0)
            program.frmMain->MnuEnd()->trigger();
        else
            program.frmMain->close();
        EXPECT_EQ(platform.ended, std::vector<int>{0});
        EXPECT_TRUE(ExtensionTable.empty());
        EXPECT_TRUE(ConvertSettings.DetailCodes.empty());
        EXPECT_TRUE(ConvertSettings.ColorBits.empty());
        EXPECT_TRUE(DitherCodes.empty());
        EXPECT_TRUE(RotateAngles.empty());
        EXPECT_TRUE(FileQueue.empty());
        EXPECT_TRUE(CommandItems.empty());
    }
}

TEST_F(StartUpTest, CommandLineItemsAreConvertedAndTheWindowStaysOpen) {
    const fs::path a = image("in/a.png");
    const fs::path b = image("in/sub dir/b.Png", "gradient:green-white");
    std::ofstream(dir / "in" / "note.txt") << "x";
    ASSERT_TRUE(StartUp(platform, {"", a.string(), "", (dir / "in" / "sub dir").string(), a.string()}, program));
    EXPECT_TRUE(fs::exists(dir / "in" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "in" / "sub dir" / "b.bmp"));
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].first, "変換終了");
    EXPECT_TRUE(platform.ended.empty()) << "a command-line conversion does not end the program";
    EXPECT_EQ(program.frmMain->Label1()->text(), "待機中");
    EXPECT_TRUE(program.frmMain->ImgDisp()->pixmap().isNull());
    EXPECT_EQ(QueuedCount(FileQueue), 0u);
}

TEST_F(StartUpTest, MissingItemStopsTheIntakeSilentlyAndKeepsEarlierFiles) {
    const fs::path a = image("a.png");
    const fs::path c = image("c.png");
    ASSERT_TRUE(StartUp(platform, {a.string(), (dir / "missing.png").string(), c.string()}, program));
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_EQ(FileQueue, (FileQueueType{a.string(), ""}));
    EXPECT_FALSE(fs::exists(dir / "a.bmp"));
    // The next drop converts them together with the dropped file.
    dropOn(*program.frmMain, {c});
    EXPECT_TRUE(fs::exists(dir / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "c.bmp"));
}

TEST_F(StartUpTest, DropConvertsWithProgressAndHoldsDropsDuringTheBatch) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    MainWindow& w = *program.frmMain;
    const fs::path a = image("drop/a.png");
    const fs::path b = image("drop/b.png");
    const fs::path late = image("late/c.png");
    std::vector<std::string> progress;
    bool dropped = false;
    platform.onProcessEvents = [&] {
        const std::string text = w.Label1()->text().toStdString();
        if (text.find("処理中") != std::string::npos) progress.push_back(text);
        if (!dropped) {
            dropped = true;
            dropOn(w, {late});  // arrives in the middle of the batch
            EXPECT_LE(QueuedCount(FileQueue), 2u) << "a held drop must not touch the running intake or queue";
            w.MnuSaveSet()->trigger();  // refused while the batch runs
        }
    };
    bool opened = false;
    w.SetSettingsOpener([&] { opened = true; });
    dropOn(w, {dir / "drop"});
    EXPECT_EQ(progress, (std::vector<std::string>{"1/2処理中", "2/2処理中", "1/1処理中"}));
    EXPECT_TRUE(fs::exists(dir / "drop" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "drop" / "b.bmp"));
    EXPECT_TRUE(fs::exists(dir / "late" / "c.bmp"));
    EXPECT_FALSE(opened);
    ASSERT_EQ(platform.messages.size(), 2u);
    EXPECT_EQ(platform.messages[0].first, "変換終了");
    EXPECT_EQ(w.Label1()->text(), "待機中");
    EXPECT_TRUE(w.ImgDisp()->pixmap().isNull());
    w.MnuSaveSet()->trigger();
    EXPECT_TRUE(opened) << "allowed again once idle";
}

TEST_F(StartUpTest, DropOfOtherTypesDoesNothing) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    std::ofstream(dir / "readme.txt") << "x";
    dropOn(*program.frmMain, {dir / "readme.txt"});
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_EQ(program.frmMain->Label1()->text(), "待機中");
}

TEST_F(StartUpTest, DropHeldDuringAnIntakeThatQueuesNothingIsStillConverted) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    MainWindow& w = *program.frmMain;
    fs::create_directories(dir / "notes");
    std::ofstream(dir / "notes" / "readme.txt") << "x";
    const fs::path late = image("late/c.png");
    bool dropped = false;
    platform.onProcessEvents = [&] {
        if (!std::exchange(dropped, true)) dropOn(w, {late});  // while the folder is being listed
    };
    dropOn(w, {dir / "notes"});
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(fs::exists(dir / "late" / "c.bmp"));
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].first, "変換終了");
    EXPECT_FALSE(w.Busy());
}

TEST_F(StartUpTest, FailedBatchReportsTheFileInsteadOfSuccess) {
    ASSERT_TRUE(StartUp(platform, {}, program));
    const fs::path bad = dir / "bad.png";
    std::ofstream(bad, std::ios::binary) << "\x89PNG\r\n\x1a\nbroken";
    dropOn(*program.frmMain, {bad});
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].first.rfind("エラーが発生しました\r\n" + bad.string() + "\r\nPNG: ", 0), 0u)
        << platform.messages[0].first;
    EXPECT_EQ(program.frmMain->Label1()->text(), "待機中");
}
