#include "app/qt_platform.h"

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStandardPaths>

#include <cstdlib>

namespace rastel {

bool QtPlatform::AcquireSingleInstance() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    lock_ = std::make_unique<QLockFile>(dir + "/rastel-" + QString::number(getuid()) + ".lock");
    // A lock left by a crashed instance is taken over once its process is gone.
    lock_->setStaleLockTime(0);
    return lock_->tryLock(0);
}

static std::string ProgramFolderOf(const QString& dir) { return QDir::toNativeSeparators(dir).toStdString(); }

std::string QtPlatform::ProgramFolder() { return ProgramFolderOf(QCoreApplication::applicationDirPath()); }

void QtPlatform::ShowMessage(const std::string& text, const std::string& title) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void QtPlatform::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtPlatform::EndProcess(int status) {
    if (lock_) lock_->unlock();
    std::exit(status);
}

}  // namespace rastel
