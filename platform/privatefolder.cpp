#include "platform/privatefolder.h"

#ifndef Q_OS_WIN

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

bool isPrivateFolder(const QString &path, uid_t uid)
{
    struct stat info;
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0;
}

bool isOnlyChangedBy(const QString &canonicalFolder, uid_t uid)
{
    if (!canonicalFolder.startsWith(QLatin1Char('/')))
        return false;
    for (QString level = canonicalFolder;; level = QFileInfo(level).path()) {
        struct stat info;
        if (::lstat(QFile::encodeName(level).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
        if (info.st_uid != uid && info.st_uid != 0)
            return false;
        // In a sticky folder only an entry's owner (or the folder's) may
        // rename or remove it.
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)
            return false;
        if (level == QLatin1String("/"))
            return true;
    }
}

namespace {

// A private folder whose own folders only uid and root can change: nobody
// else can swap it between the check and its use. Canonical, so the name
// used later goes through no link another user could turn.
QString privateAt(const QString &path, uid_t uid)
{
    const QString real = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || !isPrivateFolder(real, uid) || !isOnlyChangedBy(QFileInfo(real).path(), uid))
        return QString();
    return real + QLatin1Char('/');
}

} // namespace

QString privateRuntimeFolder()
{
    const uid_t uid = ::geteuid();
    const QString runtime = privateAt(QFile::decodeName(qgetenv("XDG_RUNTIME_DIR")), uid);
    if (!runtime.isEmpty())
        return runtime;
    // A temp folder that does not exist reads as empty.
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (temp.isEmpty() || !isOnlyChangedBy(temp, uid))
        return QString();
    const QString own = temp + QStringLiteral("/update-") + QString::number(uid);
    // mkdir never follows a link; an existing entry of anyone else fails the
    // check below and is never used.
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return privateAt(own, uid);
}

#endif
