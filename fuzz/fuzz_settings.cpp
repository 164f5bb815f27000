// The settings-file reader on arbitrary bytes: it must return 0 or -1 without
// crashing, and whatever it reads must survive a write and a second read.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"

namespace {

// tmpfs where there is one: the write syncs to disk, which would dominate each run.
std::string scratch(const char* name) {
    const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return folder + "/fuzz-settings-" + std::to_string(::getpid()) + "-" + name;
}

bool sameFields(const rastel::ConvertSettingsRecord& a, const rastel::ConvertSettingsRecord& b) {
    return a.FormatType == b.FormatType && a.FormatDetails == b.FormatDetails && a.ColorType == b.ColorType &&
           a.Grayscale == b.Grayscale && a.DitheringType == b.DitheringType && a.RotateType == b.RotateType &&
           a.Reverse == b.Reverse && a.Quality == b.Quality;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string input = scratch("in.ini"), copy = scratch("copy.ini");
    (void)rastel::ParseSettingsNumber(std::string(reinterpret_cast<const char*>(data), size));
    if (FILE* f = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    rastel::SetSettingsFilePath(input);
    if (rastel::ReadSettingsFile() != 0) return 0;
    const rastel::ConvertSettingsRecord read = rastel::ConvertSettings;
    rastel::SetSettingsFilePath(copy);
    if (rastel::WriteSettingsFile() != 0) __builtin_trap();
    if (rastel::ReadSettingsFile() != 0 || !sameFields(read, rastel::ConvertSettings)) __builtin_trap();
    return 0;
}
