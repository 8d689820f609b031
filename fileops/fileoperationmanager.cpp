#include "fileops/fileoperationmanager.h"

#include "fileops/layout.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

CFileOperationManager::CFileOperationManager(QObject *parent)
    : QObject(parent)
{
}

bool CFileOperationManager::initialize()
{
    return true;
}

namespace {

// True when both are readable files with the same bytes. A file the failed
// replacement could not touch (locked, immutable) still equals its backup;
// restoring it would fail on the removal and leave the rollback half done.
bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a);
    QFile fb(b);
    if (!QFileInfo(b).isFile() || !fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly)
        || fa.size() != fb.size())
        return false;
    constexpr qint64 kBlock = 1 << 16;
    while (!fa.atEnd()) {
        if (fa.read(kBlock) != fb.read(kBlock))
            return false;
    }
    return true;
}

} // namespace

bool CFileOperationManager::replaceFile(const QString &src, const QString &dst)
{
    if (sameContent(src, dst))
        return true;
    if (QFileInfo::exists(dst) && !QFile::remove(dst))
        return false;
    return QFile::copy(src, dst);
}

bool CFileOperationManager::copyDirectoryRecursively(const QString &src, const QString &dst)
{
    if (!QFileInfo(src).isDir())
        return false;
    if (!QFileInfo::exists(dst) && !QDir(dst).mkpath(dst))
        return false;
    const QFileInfoList entries = QDir(src).entryInfoList(Layout::kListing, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString target = dst + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!copyDirectoryRecursively(entry.absoluteFilePath(), target))
                return false;
        } else if (entry.isFile()) {
            if (!replaceFile(entry.absoluteFilePath(), target))
                return false;
        }
    }
    return true;
}

bool CFileOperationManager::rollbackFiles(const QString &backupDir, const QString &targetDir,
                                          const QStringList &relativePaths)
{
    QStringList paths = relativePaths;
    if (paths.isEmpty() && QFileInfo(backupDir).isDir())
        paths = QDir(backupDir).entryList(Layout::kListing, QDir::NoSort);

    const QString base = Layout::withSlash(backupDir);
    const QString target = Layout::withSlash(targetDir);
    for (const QString &rel : paths) {
        const QString src = base + rel;
        const QString dst = target + rel;
        const QFileInfo srcInfo(src);
        if (!srcInfo.exists())
            continue;
        const QString parent = QFileInfo(dst).absolutePath();
        if (!QFileInfo::exists(parent) && !QDir().mkpath(parent)) {
            m_lastError = QStringLiteral("无法创建目标文件目录: ") + parent;
            return false;
        }
        if (srcInfo.isDir()) {
            if (!copyDirectoryRecursively(src, dst)) {
                m_lastError = QStringLiteral("回退目录失败: ") + src + QStringLiteral(" -> ") + dst;
                return false;
            }
        } else if (!sameContent(src, dst)) {
            if (QFileInfo::exists(dst) && !QFile::remove(dst)) {
                m_lastError = QStringLiteral("删除目标文件失败: ") + dst;
                return false;
            }
            if (!QFile::copy(src, dst)) {
                m_lastError = QStringLiteral("回退文件失败: ") + src + QStringLiteral(" -> ") + dst;
                return false;
            }
        }
        logInfo("回退文件成功:" + src + "->" + dst);
    }
    return true;
}

QString CFileOperationManager::lastError() const
{
    return m_lastError;
}
