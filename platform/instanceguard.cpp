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

namespace {

// Runs test(segment) under the guard's semaphore, after dropping a segment
// that no live process holds any more.
template <typename Test>
bool underSemaphore(const QString &key, Test test)
{
    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();
#ifndef Q_OS_WIN
    {
        QSharedMemory stale(key + QStringLiteral("_mem"));
        if (stale.attach())
            stale.detach(); // removes the segment when nobody else is attached
    }
#endif
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
