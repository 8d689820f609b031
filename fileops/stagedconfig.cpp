#include "fileops/stagedconfig.h"

#include "config/iniedit.h"
#include "config/names.h"
#include "fileops/installlayout.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

} // namespace

bool stageSystemConfig(const InstallLayout &layout, const QString &version, QString *error)
{
    const QString installedPath = QDir::cleanPath(layout.installation + Names::kSystemCfgFile);
    const QString stagedPath = QDir::cleanPath(layout.staging + Names::kSystemCfgFile);
    const bool releaseShipsOne = QFileInfo(stagedPath).isFile();
    if (!QFileInfo(installedPath).isFile() || (version.isEmpty() && !releaseShipsOne))
        return true;
    bool ok = false;
    const QByteArray client = readAll(installedPath, &ok);
    QByteArray release;
    if (ok && releaseShipsOne)
        release = readAll(stagedPath, &ok);
    if (!ok) {
        const QString path = releaseShipsOne ? stagedPath : installedPath;
        *error = QStringLiteral("无法读取配置文件:") + layout.shownPath(path);
        logError(QStringLiteral("无法读取配置文件:") + path);
        return false;
    }
    const QByteArray merged = IniEdit::mergedSystemConfig(client, releaseShipsOne ? release : QByteArray(), version);
    if (!releaseShipsOne && merged == client)
        return true;
    QDir().mkpath(QFileInfo(stagedPath).absolutePath());
    QSaveFile out(stagedPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(merged) != merged.size() || !out.commit()) {
        *error = QStringLiteral("无法写入配置文件:") + layout.shownPath(stagedPath);
        logError(QStringLiteral("无法写入配置文件:") + stagedPath);
        return false;
    }
    logInfo("已准备安装后的配置文件:" + stagedPath + " Version=" + version);
    return true;
}
