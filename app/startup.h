#pragma once

#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/platform.h"
#include "settings_io/settings_dialog.h"

namespace rastel {

class MainWindow;

// The command-line items of start-up; they live only while StartUp runs.
extern std::vector<std::string> CommandItems;

// Everything start-up creates that lives until the program ends.
struct Program {
    Program();
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    std::unique_ptr<MainWindow> frmMain;
    // The settings dialog while it is loaded; it discards itself at every close.
    QPointer<rastel::frmSet> frmSet;
};

// Loads the settings dialog unless it is loaded (its load step fills the lists
// and so DetailCodes and ColorBits). Closing it shows the main window again.
void LoadSettingsDialog(Program& program);
// "保存設定": hides the main window, loads the dialog if needed and shows it.
void OpenSettingsDialog(Program& program);
// The exit path: discards a loaded dialog, running its close step, without
// showing the main window again.
void UnloadSettingsDialog(Program& program);

// The start-up sequence: single instance, program folder, settings file (read,
// or repaired by a write; "内部エラー (No.3)" when both fail), range repair, the
// fixed tables, the main window and the settings lists loaded hidden, then the
// command-line items queued and, if any were, converted at once.
// `items` are the command items (on Linux the shell has split them: argv[1..]).
// Returns false when the program must end now (EndProcess has been called).
bool StartUp(Platform& platform, const std::vector<std::string>& items, Program& program);

// Empties the module tables in the order the exit path releases them.
void ReleaseTables();

}  // namespace rastel
