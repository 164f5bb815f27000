#pragma once

#include <string>

namespace rastel {

// The process and window-system services start-up and the main window need,
// behind one small interface so both can be tested without blocking dialogs.
class Platform {
public:
    virtual ~Platform() = default;
    // Takes the per-user single-instance lock; false when another instance holds it.
    virtual bool AcquireSingleInstance() = 0;
    // The folder that holds the program file.
    virtual std::string ProgramFolder() = 0;
    // A message box with an OK button only and no icon; returns when closed.
    virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
    // Processes all pending window events once.
    virtual void ProcessEvents() = 0;
    // Ends the process at once.
    virtual void EndProcess(int status) = 0;
};

// The program's title, used for message boxes without a title of their own.
inline constexpr const char* kProgramTitle = "Rastel";

}  // namespace rastel
