#pragma once

#include <QString>
#include <QtGlobal>

// Keeps a reserve of free space on the file system of a folder while files
// are written there: each write asks first, and is refused when it would
// leave less than the reserve free. The file system is asked again whenever
// the room known from its last answer is used up, so a full check costs one
// query per stretch of free space, not one per write.
class DiskReserve
{
public:
    // folder need not exist yet: its deepest existing parent is asked.
    // A reserve of 0 or less refuses nothing.
    DiskReserve(const QString &folder, qint64 reserveBytes);

    // True when bytes more may be written; they are then counted as used.
    bool admit(qint64 bytes);
    // Why the last admit failed, for people.
    QString shortageText() const;

private:
    QString folder;
    qint64 reserve;
    qint64 room = 0; // bytes still admitted before the file system is asked again
    qint64 lastFree = 0;
};
