#include "platform/instanceguard.h"

#include "config/names.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QSharedMemory>
#include <QSystemSemaphore>

#include <memory>
#else
#include "platform/privatefolder.h"

#include <QCryptographicHash>
#include <QFile>

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

#ifdef Q_OS_WIN

namespace {

// Runs test(segment key) under the guard's named semaphore, so that two
// processes started at the same moment cannot both win.
template <typename Test>
bool underSemaphore(const QString &key, Test test)
{
    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();
    const bool result = test(key + QStringLiteral("_mem"));
    semaphore.release(1);
    return result;
}

} // namespace

bool InstanceGuard::tryAcquire(const QString &key)
{
    // Process-lifetime segment: released at exit, which frees the guard.
    static std::unique_ptr<QSharedMemory> segment;
    return underSemaphore(key, [](const QString &memKey) {
        if (!segment)
            segment = std::make_unique<QSharedMemory>(memKey);
        return segment->create(1, QSharedMemory::ReadWrite);
    });
}

bool InstanceGuard::isHeld(const QString &key)
{
    return underSemaphore(key, [](const QString &memKey) {
        QSharedMemory probe(memKey);
        return !probe.create(1, QSharedMemory::ReadWrite);
    });
}

#else

// Unix: System V shared memory outlives a crashed process and its keys come
// from ftok(), whose inode bits collide between unrelated files. An
// exclusive flock() on a lock file named after the key has neither problem:
// the kernel drops the lock when the holder exits, however it ends.
namespace {

// In the user's private folder: a lock file in a folder other users can
// write could be created and held by any of them, stopping every update.
// Without a private folder, beside the installation (as hidden file), which
// only those who may change the installation can write.
QString lockFilePath(const QString &key)
{
    const QString folder = privateRuntimeFolder();
    if (folder.isEmpty())
        return QFileInfo(key).path() + QStringLiteral("/.update_guard.lock");
    const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return folder + QStringLiteral("update_guard_") + QString::fromLatin1(digest) + QStringLiteral(".lock");
}

// An open descriptor holding the lock, or -1.
int lockKey(const QString &key)
{
    const int fd = ::open(QFile::encodeName(lockFilePath(key)).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool InstanceGuard::tryAcquire(const QString &key)
{
    // Kept open for the life of the process; closing it at exit frees the guard.
    return lockKey(key) >= 0;
}

bool InstanceGuard::isHeld(const QString &key)
{
    const int fd = lockKey(key);
    if (fd < 0)
        return true;
    ::close(fd);
    return false;
}

#endif
