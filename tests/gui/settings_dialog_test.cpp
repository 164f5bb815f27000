// The settings dialog frmSet, offscreen, driven through its widgets inside the
// real start-up and main window.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/main_window.h"
#include "app/startup.h"
#include "conversion/batch_conversion.h"
#include "conversion/file_intake.h"
#include "settings_io/settings_dialog.h"
#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"
#include "tests/support/settings_fixture.h"

namespace fs = std::filesystem;
using namespace rastel;

namespace {

// FormatType, FormatDetails, ColorType, Grayscale, DitheringType, RotateType, Reverse, Quality.
using Fields = rastel::test::SettingsFields;
using rastel::test::currentFields;
using rastel::test::setFields;

std::string show(const Fields& f) {
    std::ostringstream out;
    for (int v : f) out << v << ' ';
    return out.str();
}

struct QuietPlatform : Platform {
    std::string folder;
    std::vector<std::string> messages;
    std::vector<int> ended;
    bool AcquireSingleInstance() override { return true; }
    std::string ProgramFolder() override { return folder; }
    void ShowMessage(const std::string& text, const std::string&) override { messages.push_back(text); }
    void ProcessEvents() override {}
    void EndProcess(int status) override { ended.push_back(status); }
};

// Records what a conversion asks of the imaging control, without any codec.
class RecordingControl : public ImagingControl {
public:
    std::vector<std::string> calls;
    void ReadFileInfo(const std::string&, int) override {}
    std::int32_t InfoPageCount() const override { return 1; }
    void LoadFile(const std::string&, int, int, std::int16_t& pageCount) override { pageCount = 1; }
    DisplayPicture CurrentPicture(int) const override { return {}; }
    void ConvertToGrayscale(int bits) override { calls.push_back("gray " + std::to_string(bits)); }
    void MirrorImage() override { calls.push_back("mirror"); }
    void RotateImage(std::int32_t hundredths, bool, FillColor) override {
        calls.push_back("rotate " + std::to_string(hundredths));
    }
    void ReduceColors(int bits, int, int ditherCode, int) override {
        calls.push_back("reduce " + std::to_string(bits) + " dither " + std::to_string(ditherCode));
    }
    void SaveFile(const std::string& path, std::int32_t code, int bits, std::int16_t& quality, int mode) override {
        calls.push_back("save " + fs::path(path).filename().string() + " code " + std::to_string(code) + " bits " +
                        std::to_string(bits) + " quality " + std::to_string(quality) + " mode " + std::to_string(mode));
    }
    void SetCurrentPageIndex(std::int32_t) override {}
    void ClearImage(int) override {}
};

struct SilentObserver : BatchObserver {
    void ShowProgress(std::size_t, std::size_t) override {}
    void Yield() override {}
    void ShowPreview(const DisplayPicture&) override {}
    bool WantsPreview() const override { return false; }
};

class SettingsDialogTest : public ::testing::Test {
protected:
    fs::path dir;
    QuietPlatform platform;
    Program program;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("rastel-dialog-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "bin");
        platform.folder = (dir / "bin").string();
        ResetSettingsState();
        SetSettingsFilePath("");
        ResetQueue(FileQueue);
    }
    void TearDown() override {
        UnloadSettingsDialog(program);
        flushDeletes();
        program.frmMain.reset();
        SetSettingsFilePath("");
        fs::remove_all(dir);
    }

    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    fs::path iniPath() const { return dir / "bin" / "Rastel.ini"; }
    std::string iniBytes() const {
        std::ifstream in(iniPath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Starts the program with these values in its settings file.
    void startWith(const Fields& stored) {
        AppFolder = (dir / "bin").string() + "/";
        setFields(stored);
        ASSERT_EQ(WriteSettingsFile(), 0);
        ResetSettingsState();
        ASSERT_TRUE(StartUp(platform, {}, program));
        ASSERT_EQ(currentFields(), stored) << "stored values in range come through start-up unchanged";
    }

    // "保存設定" from the main window's menu.
    frmSet* open() {
        program.frmMain->MnuSaveSet()->trigger();
        return program.frmSet.data();
    }

    // The widgets show exactly the model: entries, chosen positions, enabled
    // states, the quality value and its text.
    static void expectMirrorsRecord(const frmSet& d) {
        const auto& s = ConvertSettings;
        const auto& lists = d.Lists();
        const std::pair<QComboBox*, const ListModel*> combos[] = {{d.ComboFormat(), &lists.ComboFormat},
                                                                  {d.ComboDetails(), &lists.ComboDetails},
                                                                  {d.ComboColor(), &lists.ComboColor},
                                                                  {d.ComboDither(), &lists.ComboDither},
                                                                  {d.ComboRotate(), &lists.ComboRotate}};
        for (const auto& [combo, model] : combos) {
            SCOPED_TRACE(combo->objectName().toStdString());
            ASSERT_EQ(combo->count(), static_cast<int>(model->Entries.size()));
            for (int i = 0; i < combo->count(); ++i)
                EXPECT_EQ(combo->itemText(i).toStdString(), model->Entries[static_cast<std::size_t>(i)]);
            EXPECT_EQ(combo->currentIndex(), model->Selected);
        }
        EXPECT_EQ(d.ComboFormat()->currentIndex(), s.FormatType < kListedFamilyCount ? s.FormatType : -1);
        EXPECT_EQ(d.ComboDetails()->currentIndex(), s.FormatDetails);
        EXPECT_EQ(d.ComboColor()->currentIndex(), s.ColorType);
        EXPECT_EQ(d.ComboDither()->currentIndex(), s.DitheringType);
        EXPECT_EQ(d.ComboRotate()->currentIndex(), s.RotateType);
        EXPECT_EQ(d.chkGrayscale()->isChecked(), s.Grayscale == 1);
        EXPECT_EQ(d.chkReverse()->isChecked(), s.Reverse == 1);
        EXPECT_EQ(d.HScrollQty()->value(), s.Quality);
        EXPECT_EQ(d.lblQty()->text().toStdString(), std::to_string(s.Quality));
        const bool dither = CurrentColorBits() <= 8;
        EXPECT_EQ(d.Frame6()->isEnabled(), dither);
        EXPECT_EQ(d.ComboDither()->isEnabled(), dither);
        const bool quality = IsQualityCode(CurrentFormatCode());
        for (QWidget* w : std::initializer_list<QWidget*>{d.Label1(), d.Label2(), d.Label3(), d.Frame4(), d.lblQty(),
                                                          d.HScrollQty()})
            EXPECT_EQ(w->isEnabled(), quality) << w->objectName().toStdString();
        EXPECT_TRUE(d.chkGrayscale()->isEnabled()) << "grayscale never depends on the depth";
    }

    // One conversion of a queued file with the values now in effect.
    static std::vector<std::string> convertWithCurrentValues() {
        std::vector<std::string> queue{"/nowhere/in.png", ""};
        RecordingControl control;
        SilentObserver observer;
        EXPECT_EQ(ConvertQueue(queue, control, observer), 0) << LastBatchFailure.Message;
        return control.calls;
    }
};

}  // namespace

TEST_F(SettingsDialogTest, StartUpLoadsTheDialogHiddenAndItBuildsTheDerivedLists) {
    startWith({19, 12, 0, 0, 1, 0, 0, 2});  // TIF JPEG 4:2:2 at 8 bits
    ASSERT_TRUE(program.frmSet);
    EXPECT_FALSE(program.frmSet->isVisible());
    EXPECT_TRUE(program.frmMain->isVisible());
    EXPECT_EQ(CurrentFormatCode(), 24);
    EXPECT_EQ(CurrentColorBits(), 8);
    EXPECT_EQ(ConvertSettings.DetailCodes.size(), 18u);
}

TEST_F(SettingsDialogTest, LoadShowsTheStoredValuesAsTheyAre) {
    struct Case {
        const char* what;
        Fields stored;
        int detailEntries;
        int colorEntries;
    };
    const Case cases[] = {
        {"JPG Exif, quality 200 kept although a pick would reset it", {10, 0, 0, 1, 3, 2, 1, 200}, 5, 1},
        {"GIF at 8 bits: dithering enabled, quality disabled and kept", {7, 0, 7, 0, 4, 6, 0, 77}, 1, 8},
        {"BMP at 16 bits: dithering disabled yet showing method 5", {1, 0, 3, 0, 5, 0, 0, 2}, 4, 6},
        {"BMP RLE at 4 bits with no dithering", {1, 1, 0, 1, 0, 4, 1, 255}, 4, 2},
        {"TIF CCITT-G4 at 1 bit", {19, 17, 0, 0, 8, 3, 0, 2}, 18, 1},
        {"TIF Exif(RGB): no quality factor", {19, 9, 0, 0, 0, 0, 0, 129}, 18, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UnloadSettingsDialog(program);
        program.frmMain.reset();
        startWith(c.stored);
        frmSet* d = open();
        ASSERT_NE(d, nullptr);
        EXPECT_TRUE(d->isVisible());
        EXPECT_FALSE(program.frmMain->isVisible()) << "the main window is hidden while the dialog is open";
        EXPECT_TRUE(d->LoadComplete());
        EXPECT_EQ(currentFields(), c.stored) << "loading applies no default";
        const auto& o = d->OpeningSettings();
        EXPECT_EQ((Fields{o.FormatType, o.FormatDetails, o.ColorType, o.Grayscale, o.DitheringType, o.RotateType,
                          o.Reverse, o.Quality}),
                  c.stored);
        EXPECT_EQ(d->ComboFormat()->count(), 22);
        EXPECT_EQ(d->ComboDetails()->count(), c.detailEntries);
        EXPECT_EQ(d->ComboColor()->count(), c.colorEntries);
        EXPECT_EQ(d->ComboDither()->count(), 9) << "a disabled list still holds the nine names";
        EXPECT_EQ(d->ComboRotate()->count(), 7);
        expectMirrorsRecord(*d);
        d->CloseStep();
        flushDeletes();
    }
}

TEST_F(SettingsDialogTest, FamilyWpgShowsNoChosenFamilyAndStillConvertsToWpg) {
    startWith({1, 0, 4, 0, 0, 0, 0, 2});
    UnloadSettingsDialog(program);
    ConvertSettings.FormatType = 22;  // only the headless converter chooses it
    ConvertSettings.FormatDetails = 0;
    ConvertSettings.ColorType = 2;
    frmSet* d = open();
    EXPECT_EQ(d->ComboFormat()->currentIndex(), -1);
    EXPECT_EQ(d->ComboDetails()->itemText(0), "Word Perfect");
    EXPECT_EQ(d->ComboColor()->currentText(), "8");
    d->cmdCancel()->click();
    EXPECT_EQ(ConvertSettings.FormatType, 22);
    EXPECT_EQ(CurrentFormatCode(), 54);
    EXPECT_EQ(CurrentColorBits(), 8);
}

TEST_F(SettingsDialogTest, EachPickRunsItsCascadeThroughTheWidgets) {
    enum Control { Format, Details, Color, Dither, Rotate, Gray, Mirror, Quality };
    struct Case {
        const char* what;
        Fields before;
        Control control;
        int value;
        Fields after;
    };
    const Case cases[] = {
        {"family JPG resets sub-format, depth, dithering, quality; keeps gray, rotation, mirror",
         {1, 2, 1, 1, 5, 3, 1, 150},
         Format,
         10,
         {10, 0, 0, 1, 0, 3, 1, 2}},
        {"family GIF: 8 bits and Floyd-Steinberg", {10, 3, 0, 0, 0, 6, 0, 99}, Format, 7, {7, 0, 7, 0, 1, 6, 0, 2}},
        {"family TIF: first sub-format at 24 bits", {7, 0, 2, 1, 7, 0, 1, 2}, Format, 19, {19, 0, 9, 1, 0, 0, 1, 2}},
        {"sub-format TIF JPEG 4:2:2 keeps the family",
         {19, 0, 3, 0, 1, 1, 0, 80},
         Details,
         12,
         {19, 12, 1, 0, 0, 1, 0, 2}},
        {"sub-format TIF CCITT-G4", {19, 0, 9, 1, 0, 5, 1, 2}, Details, 17, {19, 17, 0, 1, 1, 5, 1, 2}},
        {"sub-format TIF Exif(RGB): quality reset although disabled",
         {19, 12, 1, 0, 0, 0, 0, 180},
         Details,
         9,
         {19, 9, 0, 0, 0, 0, 0, 2}},
        {"depth 8 bits: dithering back to Floyd-Steinberg, quality stays",
         {1, 0, 4, 0, 0, 2, 1, 33},
         Color,
         2,
         {1, 0, 2, 0, 1, 2, 1, 33}},
        {"depth 16 bits overwrites a picked method", {1, 0, 2, 1, 6, 0, 0, 40}, Color, 3, {1, 0, 3, 1, 0, 0, 0, 40}},
        {"dithering method only", {7, 0, 7, 0, 1, 0, 0, 2}, Dither, 2, {7, 0, 7, 0, 2, 0, 0, 2}},
        {"rotation only", {10, 0, 0, 0, 0, 0, 0, 120}, Rotate, 4, {10, 0, 0, 0, 0, 4, 0, 120}},
        {"grayscale only", {10, 0, 0, 0, 0, 1, 0, 120}, Gray, 1, {10, 0, 0, 1, 0, 1, 0, 120}},
        {"grayscale off", {10, 0, 0, 1, 0, 1, 0, 120}, Gray, 0, {10, 0, 0, 0, 0, 1, 0, 120}},
        {"mirror only", {7, 0, 3, 1, 4, 2, 0, 2}, Mirror, 1, {7, 0, 3, 1, 4, 2, 1, 2}},
        {"quality only", {10, 2, 1, 0, 0, 0, 0, 2}, Quality, 255, {10, 2, 1, 0, 0, 0, 0, 255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UnloadSettingsDialog(program);
        program.frmMain.reset();
        startWith(c.before);
        frmSet* d = open();
        switch (c.control) {
        case Format: d->ComboFormat()->setCurrentIndex(c.value); break;
        case Details: d->ComboDetails()->setCurrentIndex(c.value); break;
        case Color: d->ComboColor()->setCurrentIndex(c.value); break;
        case Dither: d->ComboDither()->setCurrentIndex(c.value); break;
        case Rotate: d->ComboRotate()->setCurrentIndex(c.value); break;
        case Gray: d->chkGrayscale()->click(); break;
        case Mirror: d->chkReverse()->click(); break;
        case Quality: d->HScrollQty()->setValue(c.value); break;
        }
        EXPECT_EQ(show(currentFields()), show(c.after));
        expectMirrorsRecord(*d);
        d->CloseStep();
        flushDeletes();
    }
}

TEST_F(SettingsDialogTest, QualityNumberFollowsTheThumbWhileDraggingAndEverySingleStep) {
    startWith({10, 0, 0, 0, 0, 0, 0, 2});
    frmSet* d = open();
    QScrollBar* bar = d->HScrollQty();
    EXPECT_EQ(bar->minimum(), 2);
    EXPECT_EQ(bar->maximum(), 255);
    bar->setSliderDown(true);
    for (int pos : {50, 128, 254}) {
        bar->setSliderPosition(pos);
        EXPECT_EQ(d->lblQty()->text().toStdString(), std::to_string(pos)) << "bare number while dragging";
        EXPECT_EQ(ConvertSettings.Quality, pos);
    }
    bar->setSliderDown(false);
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(ConvertSettings.Quality, 255);
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(ConvertSettings.Quality, 255) << "the right end is 255";
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(ConvertSettings.Quality, 254) << "a trough click moves by one";
    bar->setValue(2);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(ConvertSettings.Quality, 2) << "the left end is 2";
    EXPECT_EQ(d->lblQty()->text(), "2");
}

TEST_F(SettingsDialogTest, CancelAfterSeveralChangesRestoresEverythingAndLeavesTheFile) {
    const Fields stored{1, 2, 1, 0, 3, 5, 0, 2};
    startWith(stored);
    const std::string before = iniBytes();
    frmSet* d = open();
    QPointer<frmSet> watch(d);
    d->ComboFormat()->setCurrentIndex(19);
    d->ComboDetails()->setCurrentIndex(13);
    d->ComboColor()->setCurrentIndex(0);
    d->chkGrayscale()->click();
    d->ComboRotate()->setCurrentIndex(1);
    d->chkReverse()->click();
    d->HScrollQty()->setValue(222);
    ASSERT_EQ(show(currentFields()), show({19, 13, 0, 1, 1, 1, 1, 222}));
    d->cmdCancel()->click();
    EXPECT_EQ(currentFields(), stored);
    EXPECT_EQ(CurrentFormatCode(), 14) << "DetailCodes rebuilt for the restored family";
    EXPECT_EQ(CurrentColorBits(), 4) << "ColorBits rebuilt for the restored sub-format";
    EXPECT_EQ(iniBytes(), before);
    EXPECT_TRUE(program.frmMain->isVisible());
    EXPECT_FALSE(program.frmSet) << "the owner has forgotten the closed dialog";
    flushDeletes();
    EXPECT_FALSE(watch) << "the dialog is discarded at every close";
    frmSet* again = open();
    ASSERT_NE(again, nullptr);
    expectMirrorsRecord(*again);
    EXPECT_EQ(again->ComboDetails()->currentText(), "OS/2 Ver1.x(非圧縮)");
}

TEST_F(SettingsDialogTest, CloseBoxKeepsTheEditsForThisRunButNotInTheFile) {
    const Fields stored{1, 0, 4, 0, 0, 0, 0, 2};
    startWith(stored);
    const std::string before = iniBytes();
    frmSet* d = open();
    d->ComboFormat()->setCurrentIndex(10);
    d->ComboDetails()->setCurrentIndex(3);
    d->HScrollQty()->setValue(90);
    d->ComboRotate()->setCurrentIndex(2);
    const Fields edited{10, 3, 1, 0, 0, 2, 0, 90};
    ASSERT_EQ(currentFields(), edited);
    EXPECT_TRUE(d->close());
    flushDeletes();
    EXPECT_FALSE(program.frmSet);
    EXPECT_TRUE(program.frmMain->isVisible());
    EXPECT_EQ(currentFields(), edited);
    EXPECT_EQ(iniBytes(), before);
    EXPECT_EQ(convertWithCurrentValues(),
              (std::vector<std::string>{"rotate 18000", "save in.jpg code 23 bits 24 quality 90 mode 0"}));
    frmSet* again = open();
    EXPECT_EQ(again->ComboDetails()->currentText(), "YUV 4:2:2");
    EXPECT_EQ(again->lblQty()->text(), "90");
    again->close();
    flushDeletes();
    // A restart reads the file again.
    ResetSettingsState();
    ASSERT_EQ(ReadSettingsFile(), 0);
    EXPECT_EQ(currentFields(), stored);
}

TEST_F(SettingsDialogTest, SetWritesTheFileAndKeepsTheValues) {
    startWith({1, 0, 4, 0, 0, 0, 0, 2});
    frmSet* d = open();
    d->ComboFormat()->setCurrentIndex(7);
    d->ComboColor()->setCurrentIndex(3);
    d->ComboDither()->setCurrentIndex(3);
    d->chkReverse()->click();
    const Fields edited{7, 0, 3, 0, 3, 0, 1, 2};
    ASSERT_EQ(currentFields(), edited);
    d->cmdOK()->click();
    flushDeletes();
    EXPECT_FALSE(program.frmSet);
    EXPECT_TRUE(program.frmMain->isVisible());
    EXPECT_EQ(currentFields(), edited);
    EXPECT_EQ(convertWithCurrentValues(),
              (std::vector<std::string>{"mirror", "reduce 4 dither 2", "save in.gif code 2 bits 4 quality 2 mode 0"}));
    ResetSettingsState();
    ASSERT_EQ(ReadSettingsFile(), 0);
    EXPECT_EQ(currentFields(), edited) << "a restart comes back with the set values";
}

TEST_F(SettingsDialogTest, SetIntoAnUnusableLocationClosesSilentlyWithTheEditsInEffect) {
    startWith({1, 0, 4, 0, 0, 0, 0, 2});
    std::ofstream(dir / "plain") << "x";
    // Root ignores permissions; a folder inside a regular file cannot exist for anyone.
    SetSettingsFilePath((dir / "plain" / "Rastel.ini").string());
    frmSet* d = open();
    d->ComboFormat()->setCurrentIndex(15);
    d->chkGrayscale()->click();
    d->cmdOK()->click();
    flushDeletes();
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_FALSE(program.frmSet);
    EXPECT_TRUE(program.frmMain->isVisible());
    EXPECT_EQ(show(currentFields()), show({15, 0, 3, 1, 0, 0, 0, 2}));
    EXPECT_EQ(convertWithCurrentValues(),
              (std::vector<std::string>{"gray 8", "save in.png code 75 bits 24 quality 2 mode 0"}));
}

TEST_F(SettingsDialogTest, CancelRestoresTheValuesOfTheLatestOpening) {
    const Fields stored{19, 3, 9, 0, 0, 0, 0, 2};
    startWith(stored);
    frmSet* d = open();
    d->ComboFormat()->setCurrentIndex(14);
    d->chkReverse()->click();
    d->cmdCancel()->click();
    ASSERT_EQ(currentFields(), stored);
    d = open();
    EXPECT_EQ(d->OpeningSettings().FormatType, 19);
    d->cmdCancel()->click();
    EXPECT_EQ(currentFields(), stored);
    // After a close box the next opening takes the edits as its opening values.
    d = open();
    d->ComboRotate()->setCurrentIndex(3);
    d->close();
    d = open();
    d->ComboRotate()->setCurrentIndex(0);
    d->HScrollQty()->setValue(10);
    d->cmdCancel()->click();
    EXPECT_EQ(ConvertSettings.RotateType, 3);
    EXPECT_EQ(ConvertSettings.Quality, 2);
    flushDeletes();
}

TEST_F(SettingsDialogTest, ConversionUsesWhatEachWayOfClosingLeft) {
    enum Way { Set, Cancel, CloseBox };
    struct Case {
        const char* what;
        Way way;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"設定", Set, {"gray 8", "rotate -9000", "reduce 1 dither 1", "save in.tif code 29 bits 1 quality 2 mode 0"}},
        {"閉じる", Cancel, {"save in.bmp code 6 bits 24 quality 2 mode 0"}},
        {"close box",
         CloseBox,
         {"gray 8", "rotate -9000", "reduce 1 dither 1", "save in.tif code 29 bits 1 quality 2 mode 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UnloadSettingsDialog(program);
        program.frmMain.reset();
        startWith({1, 0, 4, 0, 0, 0, 0, 2});
        frmSet* d = open();
        d->ComboFormat()->setCurrentIndex(19);
        d->ComboDetails()->setCurrentIndex(17);
        d->chkGrayscale()->click();
        d->ComboRotate()->setCurrentIndex(4);
        if (c.way == Set) d->cmdOK()->click();
        if (c.way == Cancel) d->cmdCancel()->click();
        if (c.way == CloseBox) d->close();
        flushDeletes();
        EXPECT_EQ(convertWithCurrentValues(), c.calls);
    }
}

TEST_F(SettingsDialogTest, WindowAndControlsSitWhereTheLayoutPutsThem) {
    startWith({1, 0, 4, 0, 0, 0, 0, 2});
    frmSet* d = open();
    EXPECT_EQ(d->windowTitle(), "保存設定");
    EXPECT_EQ(d->size(), QSize(446, 306));
    EXPECT_EQ(d->minimumSize(), d->maximumSize()) << "fixed size";
    const Qt::WindowFlags flags = d->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    struct Control {
        const char* name;
        const char* parent;
        QRect geometry;
        const char* caption;  // group title, label or button text; null for lists and the bar
    };
    const Control controls[] = {
        {"Frame2", "frmSet", {4, 4, 137, 77}, "フォーマット種別"},
        {"ComboFormat", "Frame2", {20, 32, 89, 20}, nullptr},
        {"Frame3", "frmSet", {148, 4, 293, 77}, "詳細フォーマット"},
        {"ComboDetails", "Frame3", {16, 32, 253, 20}, nullptr},
        {"Frame5", "frmSet", {4, 88, 137, 77}, "カラー階調(bit)"},
        {"ComboColor", "Frame5", {20, 28, 89, 20}, nullptr},
        {"chkGrayscale", "Frame5", {20, 56, 113, 13}, "グレースケール化"},
        {"Frame6", "frmSet", {148, 88, 173, 77}, "ディザパターン"},
        {"ComboDither", "Frame6", {16, 28, 141, 20}, nullptr},
        {"Frame7", "frmSet", {328, 88, 113, 77}, "画像回転"},
        {"ComboRotate", "Frame7", {12, 28, 77, 20}, nullptr},
        {"chkReverse", "Frame7", {12, 56, 57, 13}, "鏡反転"},
        {"Frame4", "frmSet", {4, 172, 437, 89}, "圧縮率"},
        {"Label1", "Frame4", {20, 20, 69, 13}, "範囲(2-255)"},
        {"HScrollQty", "Frame4", {20, 36, 393, 17}, nullptr},
        {"Label2", "Frame4", {20, 56, 81, 13}, "低圧縮(高画質)"},
        {"lblQty", "Frame4", {204, 56, 29, 13}, "2"},
        {"Label3", "Frame4", {332, 56, 81, 13}, "高圧縮(低画質)"},
        {"cmdOK", "frmSet", {160, 272, 49, 25}, "設定"},
        {"cmdCancel", "frmSet", {236, 272, 49, 25}, "閉じる"},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        auto* w = d->findChild<QWidget*>(QString::fromUtf8(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName().toStdString(), c.parent);
        EXPECT_EQ(w->geometry(), c.geometry);
        QString caption;
        if (auto* g = qobject_cast<QGroupBox*>(w)) caption = g->title();
        if (auto* l = qobject_cast<QLabel*>(w)) caption = l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) caption = b->text();
        EXPECT_EQ(caption.toStdString(), c.caption ? c.caption : "");
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            EXPECT_FALSE(combo->isEditable());
            EXPECT_EQ(combo->font().family(), "IPAGothic");
            EXPECT_EQ(combo->font().pointSize(), 9);
        }
    }
    EXPECT_TRUE(d->lblQty()->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(d->HScrollQty()->orientation(), Qt::Horizontal);
    EXPECT_EQ(d->HScrollQty()->singleStep(), 1);
    EXPECT_EQ(d->HScrollQty()->pageStep(), 1);
    EXPECT_EQ(d->ComboRotate()->itemText(1), "右 90度");
    EXPECT_EQ(d->ComboDither()->itemText(2), "Stucki法");
}

TEST_F(SettingsDialogTest, EnterAndEscTriggerNeitherButton) {
    startWith({10, 0, 0, 0, 0, 0, 0, 2});
    fs::remove(iniPath());
    frmSet* d = open();
    d->HScrollQty()->setValue(60);
    for (QPushButton* b : {d->cmdOK(), d->cmdCancel()}) {
        EXPECT_FALSE(b->autoDefault());
        EXPECT_FALSE(b->isDefault());
    }
    const int keys[] = {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape};
    QWidget* targets[] = {d, d->ComboFormat(), d->chkGrayscale(), d->HScrollQty()};
    for (QWidget* target : targets) {
        for (int key : keys) {
            SCOPED_TRACE(target->objectName().toStdString() + " key " + std::to_string(key));
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
            ASSERT_EQ(program.frmSet.data(), d) << "still loaded";
            EXPECT_TRUE(d->isVisible());
            EXPECT_EQ(ConvertSettings.Quality, 60) << "not restored by 閉じる";
            EXPECT_FALSE(fs::exists(iniPath())) << "not written by 設定";
        }
    }
    // A button pressed from the keyboard while it has the focus acts.
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QKeyEvent spaceUp(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(d->cmdOK(), &space);
    QApplication::sendEvent(d->cmdOK(), &spaceUp);
    EXPECT_FALSE(program.frmSet);
    EXPECT_TRUE(fs::exists(iniPath()));
    flushDeletes();
}

TEST_F(SettingsDialogTest, ExitDiscardsALoadedDialogAndReleasesTheTables) {
    for (bool shown : {false, true}) {
        SCOPED_TRACE(shown ? "shown" : "loaded hidden");
        UnloadSettingsDialog(program);
        program.frmMain.reset();
        platform.ended.clear();
        startWith({7, 0, 7, 0, 1, 0, 0, 2});
        QPointer<frmSet> watch(program.frmSet.data());
        if (shown) {
            open();
            program.frmSet->ComboRotate()->setCurrentIndex(2);
        }
        program.frmMain->MnuEnd()->trigger();
        EXPECT_EQ(platform.ended, std::vector<int>{0});
        EXPECT_FALSE(watch) << "discarded on the way out";
        EXPECT_FALSE(program.frmSet);
        if (shown) {
            EXPECT_FALSE(program.frmMain->isVisible()) << "not shown again on the way out";
        }
        EXPECT_TRUE(ConvertSettings.DetailCodes.empty());
        EXPECT_TRUE(ConvertSettings.ColorBits.empty());
        EXPECT_TRUE(platform.messages.empty());
    }
}
