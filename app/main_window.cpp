#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QMenuBar>
#include <QMimeData>
#include <QPixmap>
#include <QScreen>
#include <QUrl>
#include <filesystem>

#include "app/startup.h"
#include "conversion/file_intake.h"
#include "rastel_version.h"

namespace rastel {

DropPictureBox::DropPictureBox(QWidget* parent) : QLabel(parent) {
    setAcceptDrops(true);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setAlignment(Qt::AlignCenter);
}

void DropPictureBox::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void DropPictureBox::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void DropPictureBox::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    event->acceptProposedAction();
    if (!paths.empty()) emit filesDropped(paths);
}

MainWindow::MainWindow(Platform& platform) : platform_(platform) {
    setWindowTitle(kProgramTitle);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    auto* client = new QWidget(this);
    client->setFixedSize(Twips(2355), Twips(2070));
    setCentralWidget(client);

    imgDisp_ = new DropPictureBox(client);
    imgDisp_->setObjectName("ImgDisp");
    imgDisp_->setGeometry(Twips(60), Twips(0), Twips(2235), Twips(1575));

    label2_ = new QLabel(QStringLiteral("状況"), client);
    label2_->setObjectName("Label2");
    label2_->setGeometry(Twips(60), Twips(1740), Twips(375), Twips(195));

    label1_ = new QLabel(client);
    label1_->setObjectName("Label1");
    label1_->setGeometry(Twips(540), Twips(1680), Twips(1755), Twips(315));
    QFont font(QStringLiteral("IPAPGothic"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(11.25);
    font.setWeight(QFont::Normal);
    label1_->setFont(font);

    QMenu* mnuMenu = menuBar()->addMenu(QStringLiteral("メニュー"));
    mnuMenu->setObjectName("mnuMenu");
    mnuSaveSet_ = mnuMenu->addAction(QStringLiteral("保存設定"));
    mnuSaveSet_->setObjectName("mnuSaveSet");
    mnuEnd_ = mnuMenu->addAction(QStringLiteral("終了"));
    mnuEnd_->setObjectName("mnuEnd");
    QMenu* mnuInfo = menuBar()->addMenu(QStringLiteral("情報"));
    mnuInfo->setObjectName("mnuInfo");
    mnuInfoVersion_ = mnuInfo->addAction(QStringLiteral("バージョン情報"));
    mnuInfoVersion_->setObjectName("mnuInfoVersion");

    connect(mnuSaveSet_, &QAction::triggered, this, [this] { OpenSettings(); });
    connect(mnuEnd_, &QAction::triggered, this, [this] { ExitProgram(); });
    connect(mnuInfoVersion_, &QAction::triggered, this, [this] { ShowVersion(); });
    connect(imgDisp_, &DropPictureBox::filesDropped, this, [this](const std::vector<std::string>& p) { DropFiles(p); });

    // The window is exactly the client area plus the menu bar; adjustSize()
    // alone would widen a window this small to the toolkit's minimum.
    const int menuHeight = menuBar()->heightForWidth(client->width()) > 0 ? menuBar()->heightForWidth(client->width())
                                                                          : menuBar()->sizeHint().height();
    setFixedSize(client->width(), menuHeight + client->height());

    // Load step.
    label1_->setText(QStringLiteral("待機中"));
}

void MainWindow::ShowCentred() {
    if (!centred_) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - rect().center());
        }
        centred_ = true;
    }
    show();
}

void MainWindow::AcceptDropped(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec))
            ExpandFolder(path, FileQueue, [this] { platform_.ProcessEvents(); });
        else
            AcceptFile(path, FileQueue);
    }
}

namespace {

// Marks the window busy for a scope and restores the previous state after it.
class BusyScope {
public:
    explicit BusyScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = previous_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& flag_;
    bool previous_;
};

}  // namespace

void MainWindow::DropFiles(const std::vector<std::string>& paths) {
    // The drop event only records the paths: the file manager that sent them
    // gets its answer at once, and the intake and batch start from the event
    // loop right after. A drop that arrives while an intake or a batch runs
    // (their yields let events through) waits until it ends, never nested.
    heldDrops_.push_back(paths);
    if (!busy_)
        QMetaObject::invokeMethod(
            this, [this] { DrainHeldDrops(); }, Qt::QueuedConnection);
}

void MainWindow::DrainHeldDrops() {
    if (busy_) return;  // the running intake or batch drains them when it ends
    BusyScope busy(busy_);
    // In arrival order, each converted after the previous, whether or not an
    // intake queued anything.
    while (!heldDrops_.empty()) {
        const auto next = heldDrops_.front();
        heldDrops_.erase(heldDrops_.begin());
        try {
            AcceptDropped(next);
            if (QueuedCount(FileQueue) != 0) RunOneBatch();
        } catch (...) {
            platform_.ShowMessage("エラーが発生しました", kProgramTitle);
        }
    }
}

std::int16_t MainWindow::RunQueue() {
    std::int16_t result = 0;
    {
        BusyScope busy(busy_);
        result = RunOneBatch();
    }
    DrainHeldDrops();
    return result;
}

std::int16_t MainWindow::RunOneBatch() {
    const std::int16_t result = ConvertQueue(FileQueue, engine_, *this);
    activateWindow();
    if (result == 0) {
        platform_.ShowMessage("変換終了", kProgramTitle);
    } else {
        platform_.ShowMessage("エラーが発生しました\r\n" + LastBatchFailure.Path + "\r\n" + LastBatchFailure.Cause,
                              kProgramTitle);
    }
    label1_->setText(QStringLiteral("待機中"));
    ClearPreview();
    engine_.ClearImage(0);
    return result;
}

void MainWindow::OpenSettings() {
    if (busy_) {
        QApplication::beep();
        return;
    }
    if (settingsOpener_) settingsOpener_();
}

std::string MainWindow::VersionText() {
    return std::string(kProgramTitle) + " Version " + std::to_string(kVersionMajor) + "." +
           std::to_string(kVersionMinor) + "\r\n\r\n" + kCopyright;
}

void MainWindow::ShowVersion() { platform_.ShowMessage(VersionText(), "バージョン情報"); }

void MainWindow::ExitProgram() {
    ReleaseTables();
    if (unloadHook_) unloadHook_();
    platform_.EndProcess(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    ExitProgram();
}

void MainWindow::ShowProgress(std::size_t index, std::size_t count) {
    label1_->setText(QString::fromStdString(ProgressText(index, count)));
}

void MainWindow::Yield() { platform_.ProcessEvents(); }

void MainWindow::ShowPreview(const DisplayPicture& picture) {
    if (picture.empty()) {
        ClearPreview();
        return;
    }
    const QImage image(reinterpret_cast<const uchar*>(picture.Pixels.data()), picture.Width, picture.Height,
                       picture.Width * 4, QImage::Format_RGB32);
    const QSize box = imgDisp_->contentsRect().size();
    imgDisp_->setPixmap(QPixmap::fromImage(image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    imgDisp_->repaint();
}

void MainWindow::ClearPreview() { imgDisp_->clear(); }

}  // namespace rastel
