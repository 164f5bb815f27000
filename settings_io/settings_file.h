#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rastel {

// The program's folder, ending with the native separator "/".
extern std::string AppFolder;

// The folder that holds "Rastel.ini" for a program in `programFolder`: that
// folder when the file exists there or the folder is writable (a portable
// copy); otherwise $XDG_CONFIG_HOME/rastel/ (by default ~/.config/rastel/),
// which WriteSettingsFile creates on first use. Ends with "/".
std::string SettingsFolderFor(const std::string& programFolder);

// SettingsFolderFor(AppFolder) + "Rastel.ini", unless SetSettingsFilePath
// chose another file.
std::string SettingsFilePath();
// Makes the settings file another file (the headless converter's --settings);
// an empty path goes back to AppFolder + "Rastel.ini".
void SetSettingsFilePath(const std::string& path);

// Sets the eight persisted fields to their defaults, then reads them from the
// settings file. yield is called once before each line. 0 on success, -1 on
// failure (missing, empty or not a regular file, larger than 1 MiB, read
// error, a value outside 16 bits); the fields read before a failing line keep
// their values. Never blocks: a FIFO or device fails at once.
int16_t ReadSettingsFile(const std::function<void()>& yield = {});

// Writes the header and the eight key=value lines (CP932, CR LF) atomically:
// on failure (-1) an existing file is left exactly as it was.
int16_t WriteSettingsFile();

// The lenient numeric conversion of a value text (blanks ignored, sign,
// decimals, exponent, &H / &O), as a real number; 0 when no number starts it.
double ParseSettingsNumber(const std::string& text);

}  // namespace rastel
