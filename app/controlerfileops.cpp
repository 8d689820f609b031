// The controller's operations on the installation: the apply transaction,
// recovery of an unfinished one, self-update detection and the clean-up
// after a self-update.
#include "app/controler.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

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
    ApplyTransaction transaction(appDir, tempDir, backupDir, layout.parkedUpdater + config->getUpdateExe());
    const ApplyTransaction::Result result = transaction.apply(config->getUpdateExe());
    handover = result == ApplyTransaction::Result::Handover;
    if (result != ApplyTransaction::Result::Failed)
        return true;
    lastError = failureText(transaction.failure());
    if (!transaction.undone())
        lastError += QStringLiteral("；未能完全回退，下次运行时继续回退");
    logError(lastError);
    return false;
}

bool CControler::recoverUnfinishedApply()
{
    ApplyTransaction transaction(appDir, tempDir, backupDir, layout.parkedUpdater + config->getUpdateExe());
    if (transaction.recover() != ApplyTransaction::Recovery::Failed)
        return true;
    lastError = QStringLiteral("回退未完成的更新失败: ") + failureText(transaction.failure());
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
