#pragma once

#include <QString>

// Single-instance guard keyed on the executable's path: a named semaphore
// around a one-byte named shared-memory segment that stays attached for the
// life of the process.
//
// On Unix a segment outlives a crashed process; before creating its segment
// the guard attaches to and detaches from any segment of the same key, which
// removes it when no live process holds it any more. Two live copies of the
// same executable still exclude each other.
class InstanceGuard
{
public:
    // key: the executable's native path + "SystemObject_Update".
    static QString keyFor(const QString &applicationFilePath);

    // True when this process now holds the guard for key. The segment stays
    // held until process exit.
    static bool tryAcquire(const QString &key);

    // True while a live process holds the guard for key. Takes nothing: the
    // probe is released before it returns.
    static bool isHeld(const QString &key);
};
