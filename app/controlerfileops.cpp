// The controller's operations on the installation: copies, backup, replace,
// rollback, self-update detection and the clean-up after a self-update.
#include "app/controler.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/layout.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

namespace {

// Saves installed into backup. QFile::copy never overwrites: a backup made
// earlier in the same run is kept, and the copy reports false.
bool copyIntoBackup(const QString &installed, const QString &backup)
{
    QDir().mkpath(QFileInfo(backup).absolutePath());
    return QFile::copy(installed, backup);
}

// The version file and the manifest: installed place, backed-up place, the
// place the HTTP channel stages the new one, and their log labels.
struct SpecialFile
{
    QString installed;
    QString backup;
    QString staged;
    const char *name;
};

QList<SpecialFile> specialFiles(const QString &appDir, const QString &backupDir)
{
    return {
        {appDir + Names::kUpdateDir + Names::kUpdateIniFile, backupDir + Names::kUpdateDir + Names::kUpdateIniFile,
         appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile, "update.ini"},
        {appDir + Names::kMd5File, backupDir + Names::kMd5File, appDir + Names::kUpdateDir + Names::kMd5TmpFile,
         "md5.txt"},
    };
}

} // namespace

bool CControler::copyFile(const QString &src, const QString &dst)
{
    QDir().mkpath(QFileInfo(dst).absolutePath());
    if (QFileInfo::exists(dst) && !QFile::remove(dst)) {
        logError("无法删除现有文件:" + dst);
        return false;
    }
    if (!QFile::copy(src, dst)) {
        logError("文件复制失败:" + src + "->" + dst);
        return false;
    }
    logInfo("文件复制成功:" + src + "->" + dst);
    return true;
}

bool CControler::copyDirectory(const QString &src, const QString &dst)
{
    if (!QFileInfo(src).isDir()) {
        logError("源目录不存在，无法拷贝:" + src);
        return false;
    }
    QDir target(dst);
    if (!target.exists() && !target.mkpath(QStringLiteral("."))) {
        logError("无法创建目标目录:" + dst);
        return false;
    }
    const QFileInfoList entries = QDir(src).entryInfoList(Layout::kListing, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString to = dst + QLatin1Char('/') + entry.fileName();
        const bool ok = entry.isDir() ? copyDirectory(entry.filePath(), to) : copyFile(entry.filePath(), to);
        if (!ok)
            return false;
    }
    return true;
}

void CControler::backupDirectory(const QString &listed, const QString &installed, const QString &backup)
{
    if (!QFileInfo::exists(listed)) {
        logError("源目录不存在，无法备份:" + listed);
        return;
    }
    QDir().mkpath(backup);
    const QFileInfoList entries = QDir(listed).entryInfoList(Layout::kListing, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString from = installed + QLatin1Char('/') + entry.fileName();
        const QString to = backup + QLatin1Char('/') + entry.fileName();
        if (entry.isDir())
            backupDirectory(entry.filePath(), from, to);
        else if (QFileInfo::exists(from))
            copyIntoBackup(from, to);
    }
}

bool CControler::backupFiles()
{
    logInfo("开始执行文件备份操作");
    QDir().mkpath(backupDir);
    if (!QFileInfo(tempDir).isDir())
        logError("临时目录不存在:" + tempDir);

    const QFileInfoList entries = QDir(tempDir).entryInfoList(Layout::kListing, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        // The version file and manifest are saved from their installed
        // places below; the new updater is never installed by this run.
        if (name == Names::kSelfUpdateExe || name == Names::kUpdateIniFile || name == Names::kMd5File)
            continue;
        const QString installed = appDir + name;
        if (entry.isDir())
            backupDirectory(entry.absoluteFilePath(), installed, backupDir + name);
        else if (entry.isFile() && QFileInfo::exists(installed))
            copyIntoBackup(installed, backupDir + name);
    }

    if (!backupSpecialFiles()) {
        logError("备份特殊文件失败");
        return false;
    }
    logInfo("文件备份操作完成");
    return true;
}

bool CControler::backupSpecialFiles()
{
    for (const SpecialFile &file : specialFiles(appDir, backupDir)) {
        if (!QFileInfo::exists(file.installed))
            continue;
        if (!copyIntoBackup(file.installed, file.backup)) {
            logError(QStringLiteral("备份%1失败:").arg(QLatin1String(file.name)) + file.installed);
            return false;
        }
        logInfo(QStringLiteral("备份%1成功:").arg(QLatin1String(file.name)) + file.installed + "->" + file.backup);
    }
    return true;
}

bool CControler::replaceFiles()
{
    logInfo("开始执行文件替换操作");
    const QFileInfoList entries = QDir(tempDir).entryInfoList(Layout::kListing, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == Names::kSelfUpdateExe)
            continue;
        const QString src = entry.absoluteFilePath();
        // A staged "md5.txt" already maps to the installed manifest; a staged
        // "update.ini" belongs in the version file's folder.
        QString dst = appDir + name;
        if (name == Names::kUpdateIniFile)
            dst = appDir + Names::kUpdateDir + Names::kUpdateIniFile;
        if (entry.isDir()) {
            if (!copyDirectory(src, dst)) {
                logError("复制目录失败:" + src + "->" + dst);
                return false;
            }
        } else if (entry.isFile()) {
            if (!copyFile(src, dst)) {
                logError("替换文件失败:" + src + "->" + dst);
                return false;
            }
        }
    }

    if (!replaceSpecialFiles()) {
        logError("替换特殊文件失败");
        return false;
    }
    logInfo("文件替换操作完成");
    return true;
}

bool CControler::replaceSpecialFiles()
{
    for (const SpecialFile &file : specialFiles(appDir, backupDir)) {
        const QString name = QLatin1String(file.name);
        if (!QFileInfo::exists(file.staged)) {
            logWarn(QStringLiteral("临时%1文件不存在:").arg(name) + file.staged);
            continue;
        }
        if (!copyFile(file.staged, file.installed)) {
            logError(QStringLiteral("替换%1失败:").arg(name) + file.staged + "->" + file.installed);
            return false;
        }
        logInfo(QStringLiteral("替换%1成功:").arg(name) + file.staged + "->" + file.installed);
    }
    return true;
}

bool CControler::rollback()
{
    if (backupDir.isEmpty()) {
        logError("备份目录未配置");
        return false;
    }
    // A Backup setting naming the installation itself would copy every file
    // onto itself, and removing the "target" first would lose it.
    if (!hasSafeWorkDirs())
        return false;
    if (!fileManager->rollbackFiles(backupDir, appDir, QStringList())) {
        lastError = fileManager->lastError();
        logError("回退文件失败:" + lastError);
        return false;
    }
    removeTempDir();
    removeBackupDir();
    // The server's version description and manifest belong to the update
    // that was just undone; left behind they would be the only trace of it.
    QFile::remove(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile);
    QFile::remove(appDir + Names::kUpdateDir + Names::kMd5TmpFile);
    logInfo("文件回退完成");
    return true;
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
