// The controller's operations on the installation: the apply transaction,
// recovery of an unfinished one, self-update detection and the clean-up
// after a self-update.
#include "app/controler.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/layout.h"
#include "log/logger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

namespace {

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The reason of a failed apply step, for the result line and the window.
QString failureText(const ApplyFailure &failure)
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
    case ApplyFailure::None:
        break;
    }
    return what + QStringLiteral(": ") + failure.path + QStringLiteral(" (") + failure.reason + QLatin1Char(')');
}

} // namespace

bool CControler::applyStagedFiles(bool &handover)
{
    ApplyTransaction transaction(appDir, tempDir, backupDir,
                                 appDir + Names::kUpdaterCopyDir + CSystemConfig::instance()->getUpdateExe());
    const ApplyTransaction::Result result = transaction.apply(CSystemConfig::instance()->getUpdateExe());
    handover = result == ApplyTransaction::Result::Handover;
    if (result != ApplyTransaction::Result::Failed)
        return true;
    lastError = failureText(transaction.failure());
    if (!transaction.undone())
        lastError += QStringLiteral("；未能完全回退，下次运行时继续回退");
    logError(utf8(lastError));
    return false;
}

bool CControler::recoverUnfinishedApply()
{
    ApplyTransaction transaction(appDir, tempDir, backupDir,
                                 appDir + Names::kUpdaterCopyDir + CSystemConfig::instance()->getUpdateExe());
    if (transaction.recover() != ApplyTransaction::Recovery::Failed)
        return true;
    lastError = QStringLiteral("回退未完成的更新失败: ") + failureText(transaction.failure());
    logError(utf8(lastError));
    return false;
}

bool CControler::checkSelfUpdate()
{
    if (!QFileInfo(tempDir).isDir()) {
        logError(utf8("临时目录不存在:" + tempDir));
        return false;
    }
    const QString marker = tempDir + Names::kSelfUpdateExe;
    if (QFileInfo::exists(marker)) {
        logInfo(utf8("发现需要自我更新的update.exe文件:" + marker));
        return true;
    }
    logInfo("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

void CControler::cleanTempFiles()
{
    const QString exeName = CSystemConfig::instance()->getUpdateExe();
    const QString copy = appDir + Names::kUpdaterCopyDir + exeName;
    if (!Layout::isPlainFileName(exeName) || !QFileInfo::exists(copy))
        return;
    if (QFile::remove(copy)) {
        qDebug() << "Successfully deleted temporary file:" << copy;
        logInfo(utf8("Deleted temp file: " + copy));
    } else {
        qWarning() << "Failed to delete file (permission denied or in use?):" << copy;
        logError(utf8("Failed to delete file: " + copy));
    }
}
