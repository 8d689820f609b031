#include "fileops/previousversion.h"

#include "fileops/layout.h"

#include <algorithm>

ApplyJournal previousRecord(const ApplyJournal &committed)
{
    ApplyJournal record = committed;
    record.phase = ApplyPhase::Committed;
    record.entries.erase(std::remove_if(record.entries.begin(), record.entries.end(),
                                        [](const JournalEntry &e) { return e.kind == JournalEntry::Updater; }),
                         record.entries.end());
    return record;
}

QVector<JournalEntry> rollbackEntries(const ApplyJournal &record, const QString &previousFolder,
                                      const QString &backup, const std::function<bool(const QString &)> &installed)
{
    const QString from = Layout::withSlash(previousFolder);
    const QString to = Layout::withSlash(backup);
    QVector<JournalEntry> entries;
    for (const JournalEntry &e : record.entries) {
        const bool present = installed(e.target);
        if (e.kind == JournalEntry::Replace)
            entries.append(present ? JournalEntry{JournalEntry::Replace, e.target, from + e.target, to + e.target}
                                   : JournalEntry{JournalEntry::Add, e.target, from + e.target, QString()});
        else if (e.kind == JournalEntry::Add && present)
            entries.append({JournalEntry::Remove, e.target, QString(), to + e.target});
    }
    return entries;
}
