// The controller's operations on the installation: the apply transaction,
// recovery of an unfinished one, self-update detection and the clean-up
// after a self-update.
#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"
#include "ui/refreshpacer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

// How often the windows repaint during an install: often enough to stay
// responsive, seldom enough not to slow down thousands of small files.
constexpr int kRepaintIntervalMs = 50;

// The steps before the journal touch no installed file.
bool touchedInstallation(const ApplyFailure &failure)
{
    return failure.step != ApplyFailure::Plan && failure.step != ApplyFailure::Space
        && failure.step != ApplyFailure::Journal;
}

// The reason of a failed apply step, for the result line and the window:
// the step and the file in the updater's words. The system's reason goes
// to the log only.
QString failureText(const ApplyFailure &failure, const InstallLayout &layout)
{
    QString what;
    switch (failure.step) {
    case ApplyFailure::Plan:
        what = QStringLiteral("更新文件无法应用");
        break;
    case ApplyFailure::Space:
        what = QStringLiteral("磁盘空间不足");
        break;
    case ApplyFailure::Journal:
        what = QStringLiteral("无法写入更新日志");
        break;
    case ApplyFailure::Backup:
        what = QStringLiteral("备份文件失败");
        break;
    case ApplyFailure::Replace:
        what = QStringLiteral("替换文件失败");
        break;
    case ApplyFailure::Flush:
        what = QStringLiteral("写入磁盘失败");
        break;
    case ApplyFailure::Restore:
        what = QStringLiteral("回退文件失败");
        break;
    case ApplyFailure::Link:
        what = QStringLiteral("路径经过链接或不是配置的工作目录");
        break;
    case ApplyFailure::Kept:
        what = QStringLiteral("没有保留上一版本");
        break;
    case ApplyFailure::None:
        break;
    }
    return what + QStringLiteral(": ") + layout.shownPath(failure.path);
}

void logFailure(const ApplyFailure &failure)
{
    logError(QStringLiteral("失败的步骤 %1: %2 (%3)").arg(int(failure.step)).arg(failure.path, failure.reason));
}

} // namespace

bool CControler::applyStagedFiles(bool &handover, bool &restored)
{
    ApplyTransaction transaction = makeTransaction();
    // The install runs on the GUI thread: between its steps the windows
    // repaint and the system sees a responsive program. Input waits until
    // the end; nothing a person can do meanwhile reaches the installation.
    RefreshPacer repaints(kRepaintIntervalMs);
    transaction.setStepObserver([&repaints] {
        if (repaints.due())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    logPhase(QStringLiteral("开始安装更新"));
    model->showInstalling();
    // The window says it is installing before the first file moves.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    repaints.shown();
    const ApplyTransaction::Result result = transaction.apply(config->getUpdateExe(), model->downloadedVersionFiles());
    handover = result == ApplyTransaction::Result::Handover;
    restored = transaction.undone();
    if (result != ApplyTransaction::Result::Failed) {
        logPhase(handover ? QStringLiteral("安装完成，更新程序交由更新助手替换") : QStringLiteral("安装完成"));
        return true;
    }
    lastError = failureMessage(QStringLiteral("安装失败（"), transaction.failure(), restored);
    // The window logs the text as it shows it.
    return false;
}

QString CControler::failureMessage(const QString &lead, const ApplyFailure &failure, bool restored) const
{
    logFailure(failure);
    QString text = lead + failureText(failure, layout);
    if (!restored)
        text += QStringLiteral("）；未能完全回退，下次运行时继续回退");
    else if (touchedInstallation(failure))
        text += QStringLiteral("），已恢复原版本");
    else
        text += QStringLiteral("），未改动已安装的文件");
    return text;
}

bool CControler::recoverUnfinishedApply()
{
    ApplyTransaction transaction = makeTransaction();
    if (transaction.recover() != ApplyTransaction::Recovery::Failed)
        return true;
    logFailure(transaction.failure());
    lastError = QStringLiteral("回退未完成的更新失败: ") + failureText(transaction.failure(), layout);
    logError(lastError);
    return false;
}

bool CControler::checkSelfUpdate()
{
    if (!QFileInfo(tempDir).isDir()) {
        logError("临时目录不存在:" + tempDir);
        return false;
    }
    const QString marker = tempDir + Names::kSelfUpdateExe;
    if (QFileInfo::exists(marker)) {
        logInfo("发现需要自我更新的update.exe文件:" + marker);
        return true;
    }
    logInfo("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

void CControler::cleanTempFiles()
{
    const QString exeName = config->getUpdateExe();
    const QString copy = layout.parkedUpdater + exeName;
    // The folder goes too once nothing is left in it.
    const auto dropEmptyFolder = qScopeGuard([this] { QDir().rmdir(layout.parkedUpdater); });
    if (!PathPolicy::isPlainFileName(exeName) || !QFileInfo::exists(copy))
        return;
    if (QFile::remove(copy)) {
        qDebug() << "Successfully deleted temporary file:" << copy;
        logInfo("Deleted temp file: " + copy);
    } else {
        qWarning() << "Failed to delete file (permission denied or in use?):" << copy;
        logError("Failed to delete file: " + copy);
    }
}
