#pragma once

#include <QLabel>
#include <QMainWindow>
#include <functional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "conversion/batch_conversion.h"
#include "conversion/engine_control.h"

class QAction;

namespace rastel {

// The preview picture box; the only place that takes dropped files.
class DropPictureBox : public QLabel {
    Q_OBJECT
public:
    explicit DropPictureBox(QWidget* parent);
signals:
    void filesDropped(const std::vector<std::string>& paths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

// frmMain: status text, preview, menus, and the one imaging control.
class MainWindow : public QMainWindow, private BatchObserver {
    Q_OBJECT
public:
    explicit MainWindow(Platform& platform);

    // The drop handler: records the paths and returns; from the event loop
    // right after, the dropped files and the plain files directly inside
    // dropped folders are queued and converted. Drops that arrive while an
    // intake or a batch runs are held and converted after it.
    void DropFiles(const std::vector<std::string>& paths);
    // Converts FileQueue, then shows the closing message and returns to idle.
    std::int16_t RunQueue();
    // True while a drop's intake or a batch (with its closing message) runs.
    bool Busy() const { return busy_; }

    // "保存設定": opens the settings dialog unless a batch is running.
    void OpenSettings();
    void ShowVersion();
    // "終了" and the close box: release the tables and end the program at once.
    void ExitProgram();

    // Shows the main window centred on the screen the first time.
    void ShowCentred();

    void SetSettingsOpener(std::function<void()> opener) { settingsOpener_ = std::move(opener); }
    void SetUnloadHook(std::function<void()> hook) { unloadHook_ = std::move(hook); }

    QLabel* Label1() const { return label1_; }
    QLabel* Label2() const { return label2_; }
    DropPictureBox* ImgDisp() const { return imgDisp_; }
    EngineControl& ImgEngine() { return engine_; }
    QAction* MnuSaveSet() const { return mnuSaveSet_; }
    QAction* MnuEnd() const { return mnuEnd_; }
    QAction* MnuInfoVersion() const { return mnuInfoVersion_; }

    // The version box text: title, version, an empty line, the copyright.
    static std::string VersionText();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void ShowProgress(std::size_t index, std::size_t count) override;
    void Yield() override;
    void ShowPreview(const DisplayPicture& picture) override;
    void ClearPreview();
    std::int16_t RunOneBatch();
    // Takes in and converts every held drop, unless an intake or batch runs.
    void DrainHeldDrops();
    void AcceptDropped(const std::vector<std::string>& paths);

    Platform& platform_;
    EngineControl engine_;
    DropPictureBox* imgDisp_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QAction* mnuSaveSet_ = nullptr;
    QAction* mnuEnd_ = nullptr;
    QAction* mnuInfoVersion_ = nullptr;
    bool busy_ = false;
    bool centred_ = false;
    std::vector<std::vector<std::string>> heldDrops_;
    std::function<void()> settingsOpener_;
    std::function<void()> unloadHook_;
};

// Twips of the original layout to pixels (15 twips a pixel at 96 dpi).
constexpr int Twips(int twips) { return twips / 15; }

}  // namespace rastel
