#pragma once
// The previous version an update leaves behind (Update/KeepPrevious): the
// files it replaced, kept below the previous version's folder at their own
// relative paths, and the record of that update. Pure functions over
// journals (fileops/applyjournal.h).

#include "fileops/applyjournal.h"

#include <functional>

// The record kept with the previous version: the update's committed journal
// without its updater entry (a rollback leaves the updater in place: the
// running one cannot replace itself, and a newer updater reads the older
// installation's files as well).
ApplyJournal previousRecord(const ApplyJournal &committed);

// The entries of the rollback to the version record describes, in the
// record's order (version files last), the kept files lying in
// previousFolder (relative, as the record's paths): a file the update
// replaced goes back (Replace while its target is installed, Add when it is
// gone since), a file it added and that is installed is removed (Remove).
// The installed files go below backup.
QVector<JournalEntry> rollbackEntries(const ApplyJournal &record, const QString &previousFolder,
                                      const QString &backup, const std::function<bool(const QString &)> &installed);
