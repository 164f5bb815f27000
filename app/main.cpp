// rastel: the window program.

#include <QApplication>

#include "app/main_window.h"
#include "app/qt_platform.h"
#include "app/startup.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    rastel::QtPlatform platform;
    rastel::Program program;
    std::vector<std::string> items;
    for (int i = 1; i < argc; ++i) items.emplace_back(argv[i]);
    if (!rastel::StartUp(platform, items, program)) return 0;
    // For screenshots and manual checks: open "保存設定" at once, as the menu does.
    if (qEnvironmentVariableIsSet("RASTEL_OPEN_SETTINGS")) program.frmMain->OpenSettings();
    return app.exec();
}
