#include "updatehelper.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"
#include "platform/delayedstart.h"
#include "platform/instanceguard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

CUpdateHelper::CUpdateHelper(const InstallLayout &installLayout, int waitMs)
    : layout(installLayout)
    , waitForExitMs(waitMs)
{
}

int CUpdateHelper::run(const QStringList &arguments)
{
    CSystemConfig *config = CSystemConfig::instance();
    initLogger(QFile::encodeName(layout.logPrefix + QStringLiteral("updatehelper.log")).toStdString());
    logInfo("更新助手启动, 参数: " + arguments.join(QLatin1Char(' ')));

    QString exeName = config->getUpdateExe();
    if (exeName.isEmpty())
        exeName = arguments.value(0);
    if (!PathPolicy::isPlainFileName(exeName) || !PathPolicy::isStrictlyInside(layout.installation, layout.staging)) {
        logError("更新助手配置无效: UpdateExe=" + exeName + " Temp=" + config->getTempPath());
        return 2;
    }
    const QString installed = layout.installation + exeName;

    // The updater that started us must be gone before its file is moved, and
    // no other updater may follow the journal while the swap writes it: the
    // helper holds the installation's guard until the swap is committed.
    const QString key = InstanceGuard::keyFor(layout.installation);
    QElapsedTimer timer;
    timer.start();
    while (!InstanceGuard::tryAcquire(key)) {
        if (timer.elapsed() > waitForExitMs) {
            logError("等待更新程序退出超时: " + installed);
            return 2;
        }
        QThread::msleep(100);
    }

    // The journal of the apply names the updater, its staged successor and
    // its parked place; the swap is committed there.
    ApplyTransaction transaction(layout.installation, layout.staging, layout.backup, layout.parkedUpdater + exeName);
    const ApplyTransaction::Result swapped = transaction.swapUpdater();
    // The updater started next takes the guard itself.
    InstanceGuard::release();
    if (swapped == ApplyTransaction::Result::Done) {
        logInfo("update.exe替换成功: " + installed);
        return startUpdater(installed, Names::kArgHelperSuccess) ? 0 : 2;
    }
    logError("update.exe替换失败: " + transaction.failure().path + " " + transaction.failure().reason);
    return startUpdater(installed, Names::kArgHelperFaile) ? 1 : 2;
}

bool CUpdateHelper::startUpdater(const QString &installed, const char *result)
{
    const QStringList args{QLatin1String(Names::kArgUpdateHelper), QLatin1String(result)};
    const bool started = startDetached(installed, args);
    if (started)
        logInfo("已启动: " + installed + " " + args.join(QLatin1Char(' ')));
    else
        logError("无法启动: " + installed);
    return started;
}
