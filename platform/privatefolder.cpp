#include "platform/privatefolder.h"

#ifndef Q_OS_WIN

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

bool isPrivateFolder(const QString &path, uid_t uid)
{
    struct stat info;
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0;
}

QString privateRuntimeFolder()
{
    const uid_t uid = ::geteuid();
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (isPrivateFolder(runtime, uid))
        return QDir::cleanPath(runtime) + QLatin1Char('/');
    // A temp folder that does not exist reads as empty.
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    const QString own = temp + QStringLiteral("/update-") + QString::number(uid);
    // mkdir never follows a link; an existing entry of anyone else fails the
    // check below and is never used.
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return isPrivateFolder(own, uid) ? own + QLatin1Char('/') : QString();
}

#endif
