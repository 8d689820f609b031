#include "platform/instanceguard.h"

#include "config/names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

QString InstanceGuard::keyFor(const QString &installationFolder)
{
    const QFileInfo info(installationFolder);
    QString folder = info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
#ifdef Q_OS_WIN
    folder = folder.toLower();
#endif
    return QDir::toNativeSeparators(folder + QLatin1Char('/')) + QLatin1String(Names::kInstanceKeyBase);
}

QString InstanceGuard::lockFileFor(const QString &key)
{
    return QFileInfo(QDir::fromNativeSeparators(key)).path() + QStringLiteral("/.update_guard.lock");
}

namespace {

// What an attempt to take the lock found.
enum class Outcome { Taken, Held, Unlockable };

#ifdef Q_OS_WIN

using Handle = HANDLE;
const Handle kNoHandle = INVALID_HANDLE_VALUE;

// Opened with no sharing: every further open of the file, from any session
// or account, fails with a sharing violation while this handle lives.
Outcome take(const QString &path, Handle &handle)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        return Outcome::Taken;
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? Outcome::Held : Outcome::Unlockable;
}

void drop(Handle handle)
{
    CloseHandle(handle);
}

#else

using Handle = int;
const Handle kNoHandle = -1;

Outcome take(const QString &path, Handle &fd)
{
    const QByteArray name = QFile::encodeName(path);
    fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        // A link planted under the name is refused like a held lock.
        return errno == ENOENT || errno == EACCES || errno == EROFS ? Outcome::Unlockable : Outcome::Held;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
        return Outcome::Held;
    }
    return Outcome::Taken;
}

void drop(Handle fd)
{
    ::close(fd);
}

#endif

// The handles this process holds by key, kept until release or exit.
QHash<QString, Handle> &heldHandles()
{
    static QHash<QString, Handle> handles;
    return handles;
}

} // namespace

bool InstanceGuard::tryAcquire(const QString &key)
{
    if (heldHandles().contains(key))
        return true;
    Handle handle = kNoHandle;
    if (take(lockFileFor(key), handle) == Outcome::Held)
        return false;
    if (handle != kNoHandle)
        heldHandles().insert(key, handle);
    return true;
}

void InstanceGuard::release()
{
    for (const Handle handle : qAsConst(heldHandles()))
        drop(handle);
    heldHandles().clear();
}

bool InstanceGuard::isHeld(const QString &key)
{
    Handle probe = kNoHandle;
    const Outcome outcome = take(lockFileFor(key), probe);
    if (probe != kNoHandle)
        drop(probe);
    return outcome == Outcome::Held;
}
