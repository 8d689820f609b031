#pragma once

#include <QString>

// Single-instance guard keyed on the installation folder, canonical (links
// resolved; case folded on Windows), so every name, copy or link of the
// updater inside one installation shares it. On Windows: a named
// semaphore around a one-byte named shared-memory segment that stays attached
// for the life of the process. Elsewhere: an exclusive lock on a lock file
// named after the key in the user's private folder (privateRuntimeFolder, so
// no other user can hold it; without one, a hidden file in the installation),
// which the system releases when the process ends, even by a crash. Two live
// updaters of one installation run by one user exclude each other; updaters
// of different installations do not.
class InstanceGuard
{
public:
    // key: the installation folder's canonical native path + "/" +
    // "SystemObject_Update".
    static QString keyFor(const QString &installationFolder);

    // True when this process now holds the guard for key. The segment stays
    // held until process exit.
    static bool tryAcquire(const QString &key);

    // True while a live process holds the guard for key. Takes nothing: the
    // probe is released before it returns.
    static bool isHeld(const QString &key);
};
