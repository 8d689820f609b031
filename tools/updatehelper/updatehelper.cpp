#include "updatehelper.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"
#include "platform/delayedstart.h"
#include "platform/instanceguard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
    const QString staged = layout.staging + Names::kSelfUpdateExe;
    const QString parked = layout.parkedUpdater + exeName;

    // The updater that started us must be gone before its file is moved.
    const QString key = InstanceGuard::keyFor(installed);
    QElapsedTimer timer;
    timer.start();
    while (InstanceGuard::isHeld(key)) {
        if (timer.elapsed() > waitForExitMs) {
            logError("等待更新程序退出超时: " + installed);
            return 2;
        }
        QThread::msleep(100);
    }

    if (swapUpdater(installed, staged, parked)) {
        logInfo("update.exe替换成功: " + staged + "->" + installed);
        return startUpdater(installed, Names::kArgHelperSuccess) ? 0 : 2;
    }
    return startUpdater(installed, Names::kArgHelperFaile) ? 1 : 2;
}

bool CUpdateHelper::swapUpdater(const QString &installed, const QString &staged, const QString &parked)
{
    if (!QFileInfo(staged).isFile()) {
        logError("临时目录中没有新的update.exe: " + staged);
        return false;
    }
    QDir().mkpath(QFileInfo(parked).absolutePath());
    QFile::remove(parked);
    if (!QFile::rename(installed, parked)) {
        logError("无法移走当前的update.exe: " + installed);
        return false;
    }
    if (QFile::copy(staged, installed)) {
        QFile::setPermissions(installed, QFile::permissions(installed) | QFile::ExeOwner | QFile::ExeGroup
                                             | QFile::ExeOther | QFile::ReadOwner | QFile::WriteOwner);
        return true;
    }
    logError("复制新的update.exe失败: " + staged + "->" + installed);
    QFile::remove(installed);
    if (!QFile::rename(parked, installed))
        logError("无法恢复原来的update.exe: " + parked);
    return false;
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
