#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/platform.h"

namespace rastel {

class MainWindow;

// The command-line items of start-up; they live only while StartUp runs.
extern std::vector<std::string> CommandItems;

// Everything start-up creates that lives until the program ends.
struct Program {
    std::unique_ptr<MainWindow> frmMain;
};

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
