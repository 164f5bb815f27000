// rastel: the window program.

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/main_window.h"
#include "app/qt_platform.h"
#include "app/startup.h"
#include "fileio/file_io.h"
#include "rastel_version.h"

namespace {

constexpr const char* kUsage =
    "Usage: rastel [FILE|FOLDER]...\n"
    "Opens Rastel's window, a drop target that converts raster image files in a\n"
    "batch. Files and folders dropped on the window, or named on the command line,\n"
    "are converted at once into the output format chosen in the settings dialog;\n"
    "each output is written beside its input. Folders are expanded one level.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "rastel-batch converts with the same settings without a window.\n";

// Answers --help and --version as GNU programs do, before any window system is
// needed; returns false when neither was asked for.
bool answeredInformationOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("rastel (Rastel) %s\n%s\n", rastel::kVersionString, rastel::kCopyright);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (answeredInformationOption(argc, argv)) return 0;
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(":/icons/rastel.svg"));
    QGuiApplication::setDesktopFileName("rastel");
    rastel::QtPlatform platform;
    rastel::Program program;
    std::vector<std::string> items;
    for (int i = 1; i < argc; ++i) items.emplace_back(argv[i]);
    rastel::fileio::removeStagingOnSignals();
    if (!rastel::StartUp(platform, items, program)) return 0;
    return app.exec();
}
