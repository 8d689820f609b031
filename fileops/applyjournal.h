#pragma once
// The apply journal: what one apply will change in the installation, where
// the old files are kept, and how far it got. Written to the installation
// before the first installed file is touched and rewritten at each phase
// change; the next run follows it to undo an unfinished apply or to finish
// the clean-up of a committed one. Pure functions over bytes and strings.
//
// Text format (UTF-8, LF, paths relative to the installation, "/" separated,
// fields separated by one TAB):
//   update-journal<TAB>1
//   phase<TAB>prepared | handover | committed
//   staging<TAB><folder>
//   backup<TAB><folder>
//   dir<TAB><folder created by the apply>           (zero or more)
//   replace<TAB><target><TAB><source><TAB><backup>  (zero or more, in order)
//   add<TAB><target><TAB><source>
//   remove<TAB><target><TAB><backup>
//   updater<TAB><target><TAB><source><TAB><parked copy>
//   end<TAB><MD5 hex of every byte before this line>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

// prepared: nothing or part of the files replaced; an unfinished apply is
// undone. handover: everything but the updater replaced, the update helper
// swaps it; still undone when it does not finish. committed: the new version
// is complete; only the clean-up remains and nothing is ever restored.
enum class ApplyPhase { Prepared, Handover, Committed };

struct JournalEntry
{
    // Replace: target existed; it is moved to backup, source moved to target.
    // Add: target did not exist; source moved to target.
    // Updater: the running updater, replaced by the update helper; backup is
    // the parked copy, which keeps an updater at hand at every instant.
    // Remove: target existed and is moved to backup; nothing takes its place
    // (a rollback removes what the update it undoes had added). No source.
    enum Kind { Replace, Add, Updater, Remove };
    Kind kind = Replace;
    QString target;
    QString source;
    QString backup;

    bool operator==(const JournalEntry &o) const
    {
        return kind == o.kind && target == o.target && source == o.source && backup == o.backup;
    }
};

struct ApplyJournal
{
    ApplyPhase phase = ApplyPhase::Prepared;
    QString staging;
    QString backup;
    QStringList createdDirs; // shallowest first
    QVector<JournalEntry> entries;

    bool operator==(const ApplyJournal &o) const
    {
        return phase == o.phase && staging == o.staging && backup == o.backup && createdDirs == o.createdDirs
            && entries == o.entries;
    }
};

// The journal's bytes; empty when a path cannot be written (empty, or holds
// a TAB or line break).
QByteArray serializeJournal(const ApplyJournal &journal);

// The journal, or nothing when the bytes are not a complete journal (torn,
// edited, unknown version) or a path is not a plain relative path.
std::optional<ApplyJournal> parseJournal(const QByteArray &bytes);

// One file step of a recovery, in the order given.
struct RecoveryStep
{
    enum Kind {
        Restore,    // move path (a backup) back over target, when path exists
        RemoveFile, // remove path when it exists
        RemoveDir,  // remove path when it is an empty folder
        RemoveTree, // remove the folder path with everything in it
    };
    Kind kind;
    QString path;
    QString target;

    bool operator==(const RecoveryStep &o) const { return kind == o.kind && path == o.path && target == o.target; }
};

// How a journal is recovered: before the commit point every replaced file is
// restored and every added one removed, in reverse order; at and after it
// nothing is restored and only the clean-up is done. Both end by removing
// the sources still left, the partial copies, the staging and backup folders
// (and after an undo the folders the apply created). Every step holds when
// repeated, so a recovery killed half-way is simply run again.
// visit gets the steps one at a time, none of them kept: an installation's
// every file makes several, with names of their own. A visit that returns
// false ends the walk, and the walk returns false then.
using RecoveryVisit = std::function<bool(const RecoveryStep &)>;
bool forEachRecoveryStep(const ApplyJournal &journal, const std::function<QString(const QString &)> &partialName,
                         const RecoveryVisit &visit);

// The entries one apply makes from the staged files (paths relative to the
// staging folder) and the version description and manifest the run
// downloaded beside the staging folder (or not). A staged top-level "update.exe" becomes the Updater entry
// for updaterName; a staged top-level "update.ini" goes to
// "update/update.ini". Version files come last, and a later source for the
// same target wins: the downloaded version description and manifest over
// staged copies of them. parked is where the replaced updater is kept.
// installed tells whether a target exists.
QVector<JournalEntry> planEntries(const QStringList &staged, const QString &staging, const QString &backup,
                                  bool hasVersionFile, bool hasManifest, const QString &updaterName,
                                  const QString &parked, const std::function<bool(const QString &)> &installed);
