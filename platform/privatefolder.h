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

// True when canonicalFolder and every folder above it can be changed only by
// uid and root: each belongs to one of them, and group and others may not
// write it unless it is sticky (so they cannot rename what is not theirs).
bool isOnlyChangedBy(const QString &canonicalFolder, uid_t uid);

// The running user's private folder, canonical, ending with "/":
// $XDG_RUNTIME_DIR when it passes isPrivateFolder and its parent
// isOnlyChangedBy the user, else "update-<uid>" in the temp folder (which
// must pass isOnlyChangedBy), created with mode 0700 when missing and
// checked like the first. Empty when neither is usable: the folder belongs
// to someone else, or lies where another user could swap it, as with a
// TMPDIR in another user's folder passed on to a root run.
QString privateRuntimeFolder();

#endif
