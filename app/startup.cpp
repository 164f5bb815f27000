#include "app/startup.h"

#include <sys/stat.h>

#include "app/main_window.h"
#include "conversion/file_intake.h"
#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"
#include "settings_model/setting_rules.h"

namespace rastel {

std::vector<std::string> CommandItems;

namespace {

// Queues the command items. Returns false at the first item that names
// nothing: the intake stops there, and what was queued before it waits for
// the next run.
bool TakeCommandItems(Platform& platform) {
    for (auto& item : CommandItems) {
        platform.ProcessEvents();
        if (item.empty()) continue;
        item = NormalizePath(item);
        struct stat st {};
        if (item.empty() || ::stat(item.c_str(), &st) != 0) return false;
        if (S_ISDIR(st.st_mode))
            ExpandFolder(item, FileQueue, [&platform] { platform.ProcessEvents(); });
        else
            AcceptFile(item, FileQueue);
    }
    return true;
}

}  // namespace

Program::Program() = default;

Program::~Program() {
    delete frmSet.data();
    frmMain.reset();
}

void LoadSettingsDialog(Program& program) {
    if (program.frmSet) return;
    program.frmSet = new frmSet();
    program.frmSet->SetClosedHook([&program] {
        program.frmSet.clear();
        if (program.frmMain) program.frmMain->ShowCentred();
    });
}

void OpenSettingsDialog(Program& program) {
    if (program.frmMain) program.frmMain->hide();
    LoadSettingsDialog(program);
    program.frmSet->ShowCentred();
}

void UnloadSettingsDialog(Program& program) {
    rastel::frmSet* dialog = program.frmSet.data();
    if (!dialog) return;
    program.frmSet.clear();
    dialog->SetClosedHook({});
    dialog->CloseStep();
    delete dialog;
}

bool StartUp(Platform& platform, const std::vector<std::string>& items, Program& program) {
    if (!platform.AcquireSingleInstance()) {
        platform.EndProcess(0);
        return false;
    }
    AppFolder = AddBackslash(platform.ProgramFolder());
    if (ReadSettingsFile([&platform] { platform.ProcessEvents(); }) != 0 && WriteSettingsFile() != 0) {
        platform.ShowMessage("内部エラー (No.3)", kProgramTitle);
        platform.EndProcess(1);
        return false;
    }
    // Hand-edited values that fit no table are brought into range before anything reads a table with them.
    RepairSettingsRanges();
    ResetQueue(FileQueue);
    BuildExtensionTable();
    BuildDitherCodes();
    BuildRotateAngles();

    program.frmMain = std::make_unique<MainWindow>(platform);
    // Loading the settings dialog hidden builds DetailCodes and ColorBits before any conversion.
    UnloadSettingsDialog(program);
    LoadSettingsDialog(program);
    program.frmMain->SetSettingsOpener([&program] { OpenSettingsDialog(program); });
    program.frmMain->SetUnloadHook([&program] {
        UnloadSettingsDialog(program);
        // The dialog's close step refilled DetailCodes and ColorBits; on the way out every table stays released.
        ReleaseTables();
    });

    CommandItems = items;
    MainWindow& main = *program.frmMain;
    if (CommandItems.empty()) {
        main.ShowCentred();
        return true;
    }
    bool intakeComplete = false;
    try {
        intakeComplete = TakeCommandItems(platform);
    } catch (...) {
    }
    CommandItems.clear();
    main.ShowCentred();
    if (intakeComplete && QueuedCount(FileQueue) != 0) main.RunQueue();
    return true;
}

void ReleaseTables() {
    ExtensionTable.clear();
    ConvertSettings.DetailCodes.clear();
    ConvertSettings.ColorBits.clear();
    DitherCodes.clear();
    RotateAngles.clear();
    FileQueue.clear();
    CommandItems.clear();
}

}  // namespace rastel
