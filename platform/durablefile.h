#pragma once
// Portable layer for the file steps of an apply: renames that replace their
// target, and flushes that make written bytes and directory entries survive
// a power cut. Windows uses MoveFileExW and FlushFileBuffers; elsewhere
// rename(2), fsync(2) and syncfs(2).

#include <QString>

namespace Durable {

// Result of one step: ok, or the system's reason and whether the two paths
// lie on different file systems (the caller then copies instead).
struct Outcome
{
    bool ok = true;
    bool crossDevice = false;
    QString reason;
};

// Renames from to to, replacing an existing to in one step: a reader sees
// either the old or the new file at to, never none. Does not create folders.
// On Windows a running program or a loaded library at to can be renamed but
// not replaced: it is renamed to retiredName(to) first and the new file
// renamed into its place right after (the one moment without a file at to),
// and removed once it is no longer in use (at the latest on restart).
Outcome renameReplacing(const QString &from, const QString &to);

// Where renameReplacing puts a file in use that it replaces.
QString retiredName(const QString &dst);

// Flushes a file's bytes, or a folder's entries, to the disk.
Outcome syncPath(const QString &path);

// Copies src to dst through partialName(dst) (flushed, then renamed over dst),
// so dst is either absent, the old file, or the complete copy. The partial
// file is removed when the copy fails.
Outcome copyDurably(const QString &src, const QString &dst);

// The temporary name copyDurably writes before its rename.
QString partialName(const QString &dst);

// Flushes every file system buffer of the file system holding path: staged
// files renamed into place reach the disk before the apply is committed.
Outcome flushFileSystem(const QString &path);

} // namespace Durable
