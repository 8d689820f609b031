#include "app/updatehelper.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/layout.h"
#include "log/logger.h"
#include "platform/delayedstart.h"
#include "platform/instanceguard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// True when path, resolved, lies strictly inside dir.
bool isInside(const QString &dir, const QString &path)
{
    const QString root = QDir::cleanPath(dir) + QLatin1Char('/');
    return QDir::cleanPath(path).startsWith(root);
}

} // namespace

CUpdateHelper::CUpdateHelper(const QString &dir, int waitMs)
    : appDir(dir)
    , waitForExitMs(waitMs)
{
}

int CUpdateHelper::run(const QStringList &arguments)
{
    CSystemConfig *config = CSystemConfig::instance();
    initLogger(utf8(appDir + config->getLogPath() + QStringLiteral("updatehelper.log")));
    logInfo("更新助手启动, 参数: " + utf8(arguments.join(QLatin1Char(' '))));

    QString exeName = config->getUpdateExe();
    if (exeName.isEmpty())
        exeName = arguments.value(0);
    const QString tempDir = appDir + config->getTempDir();
    if (!Layout::isPlainFileName(exeName) || config->getTempPath().isEmpty() || !isInside(appDir, tempDir)) {
        logError("更新助手配置无效: UpdateExe=" + utf8(exeName) + " Temp=" + utf8(config->getTempPath()));
        return 2;
    }
    const QString installed = appDir + exeName;

    // The updater that started us must be gone before its file is moved.
    const QString key = InstanceGuard::keyFor(appDir);
    QElapsedTimer timer;
    timer.start();
    while (InstanceGuard::isHeld(key)) {
        if (timer.elapsed() > waitForExitMs) {
            logError("等待更新程序退出超时: " + utf8(installed));
            return 2;
        }
        QThread::msleep(100);
    }

    // The journal of the apply names the updater, its staged successor and
    // its parked place; the swap is committed there.
    ApplyTransaction transaction(appDir, tempDir, appDir + config->getBackupPath(),
                                 appDir + Names::kUpdaterCopyDir + exeName);
    if (transaction.swapUpdater() == ApplyTransaction::Result::Done) {
        logInfo("update.exe替换成功: " + utf8(installed));
        return startUpdater(installed, Names::kArgHelperSuccess) ? 0 : 2;
    }
    logError("update.exe替换失败: " + utf8(transaction.failure().path) + " " + utf8(transaction.failure().reason));
    return startUpdater(installed, Names::kArgHelperFaile) ? 1 : 2;
}

bool CUpdateHelper::startUpdater(const QString &installed, const char *result)
{
    const QStringList args{QLatin1String(Names::kArgUpdateHelper), QLatin1String(result)};
    const bool started = startDetached(installed, args);
    if (started)
        logInfo("已启动: " + utf8(installed) + " " + utf8(args.join(QLatin1Char(' '))));
    else
        logError("无法启动: " + utf8(installed));
    return started;
}
