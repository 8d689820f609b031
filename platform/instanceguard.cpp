#include "platform/instanceguard.h"

#include "config/names.h"

#include <QDir>
#include <QSharedMemory>
#include <QSystemSemaphore>

#include <memory>

QString InstanceGuard::keyFor(const QString &applicationFilePath)
{
    return QDir::toNativeSeparators(applicationFilePath) + QLatin1String(Names::kInstanceKeyBase);
}

bool InstanceGuard::tryAcquire(const QString &key)
{
    // Process-lifetime segment: released at exit, which frees the guard.
    static std::unique_ptr<QSharedMemory> segment;

    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();
#ifndef Q_OS_WIN
    {
        QSharedMemory stale(key + QStringLiteral("_mem"));
        if (stale.attach())
            stale.detach(); // removes the segment when nobody else is attached
    }
#endif
    if (!segment)
        segment = std::make_unique<QSharedMemory>(key + QStringLiteral("_mem"));
    const bool created = segment->create(1, QSharedMemory::ReadWrite);
    semaphore.release(1);
    return created;
}
