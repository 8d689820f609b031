#pragma once

#include <QString>

// Single-instance guard of one installation: a lock held on the file
// ".update_guard.lock" in the installation folder itself. Every path, link,
// bind mount, user, session or environment that reaches the same folder
// reaches the same file, so all their updaters exclude each other; updaters
// of different installations do not. On Windows the file is held open with
// no sharing; elsewhere an exclusive flock() on an open descriptor. The
// system releases either when the process ends, however it ends; the handle
// is never inherited by started programs.
//
// A process that may not create the file (a folder it cannot write, before
// any updater ever ran there) opens it read-only when it exists; when it
// cannot open it at all it runs without the lock: it cannot write the
// journal either, so it cannot change the installation.
class InstanceGuard
{
public:
    // key: the installation folder's canonical native path + "/" +
    // "SystemObject_Update" (case folded on Windows). The lock file lies
    // beside the key's last level.
    static QString keyFor(const QString &installationFolder);

    // True when this process now holds the guard for key, until release()
    // or process exit.
    static bool tryAcquire(const QString &key);

    // Gives up what tryAcquire took (before handing the installation to a
    // program that will take the guard itself).
    static void release();

    // True while a live process holds the guard for key. Takes nothing: the
    // probe is released before it returns.
    static bool isHeld(const QString &key);

    // The file the guard locks for key.
    static QString lockFileFor(const QString &key);
};
