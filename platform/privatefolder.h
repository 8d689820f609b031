#pragma once
// A folder of the running user that no other local user can write, for the
// delayed-start script. The shared temp folder is not one: another user
// could plant a link or a FIFO under a name the updater is about to use.

#include <QString>

#ifndef Q_OS_WIN

#include <sys/types.h>

// True when path itself (not followed when it is a link) is a folder owned by
// uid that neither its group nor others may write or enter.
bool isPrivateFolder(const QString &path, uid_t uid);

// The running user's private folder, ending with "/": $XDG_RUNTIME_DIR when it
// passes isPrivateFolder, else "update-<uid>" in the temp folder, created
// with mode 0700 when missing and checked like the first. Empty when neither
// is usable (the folder exists but belongs to someone else, say).
QString privateRuntimeFolder();

#endif
