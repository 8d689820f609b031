#pragma once

#include "fileops/applyjournal.h"
#include "fileops/downloadedversionfiles.h"

#include <QSet>
#include <QString>

#include <functional>
#include <initializer_list>

// Where an apply, a recovery or the updater swap stopped, and why. Texts for
// people are made by the caller.
struct ApplyFailure
{
    enum Step {
        None,
        Plan,    // a staged file is missing, or a target is a folder or a work file
        Space,   // not enough free space for the journal, the backup and the swap
        Journal, // the journal could not be written or read
        Backup,  // an installed file could not be moved or copied into the backup
        Replace, // a staged file could not be put in place
        Flush,   // the file system could not be flushed before the commit
        Restore, // a backed-up file could not be put back
        Link,    // a path leads through a link, or a journal's work folder is not the configured one
        Kept,    // a rollback found no previous version kept
    };
    Step step = None;
    QString path;
    QString reason;
};

// Applies staged files to an installation as one transaction. The journal
// (fileops/applyjournal.h) is written and flushed before the first installed
// file is touched; every installed file that is replaced is moved into the
// backup folder, then every staged file moved into place (renames; copy and
// flush only where two folders lie on different file systems); after the
// last replacement and the version files the file system is flushed and the
// journal's phase set to committed in one durable write: the commit point.
// A failure before it undoes exactly what was done; nothing after it is
// ever undone. A run killed at any instant leaves a journal that recover()
// follows.
//
// All folders are absolute and end with "/"; staging and backup lie inside
// the installation (the caller's settings check has made sure). GUI thread.
// What becomes of the files a committed update replaced: with keep set they
// are moved whole into folder as the previous version, with the record of
// the update (its committed journal less the updater), unless the free space
// left would fall below reserveBytes; without it any previous version is
// dropped, since it no longer sits below the installed one. A recovery also
// accepts a rollback's journal, whose staging folder is folder.
struct PreviousVersionPlace
{
    QString folder; // absolute, ends with "/"; empty: the transaction does neither
    bool keep = false;
    qint64 reserveBytes = 0;
};

class ApplyTransaction
{
public:
    enum class Result {
        Done,     // applied and committed; clean-up done or left to the next run
        Handover, // applied except the updater, which the update helper swaps
        Failed,   // see failure(); undone() says whether the installation is as before
    };
    enum class Recovery {
        Nothing,    // no journal
        Undone,     // an unfinished apply was undone
        Finished,   // a committed apply's clean-up was finished
        Incomplete, // undone or committed, but some clean-up is left for the next run
        Failed,     // a backed-up file could not be restored, or the journal is unreadable
    };

    // parkedUpdater: where the replaced updater is kept until the new one
    // has started (inside the installation).
    ApplyTransaction(const QString &installation, const QString &staging, const QString &backup,
                     const QString &parkedUpdater);

    // The journal's file in an installation.
    static QString journalPath(const QString &installation);

    // Applies what the staging folder holds, plus the version description
    // and manifest the run downloaded into "update/" (downloaded; a file the
    // run did not download is never installed, whatever lies there). A
    // staged "update.exe" for updaterName is left to swapUpdater
    // (Result::Handover).
    Result apply(const QString &updaterName, const DownloadedVersionFiles &downloaded);

    // Follows the journal of the installation, if any.
    Recovery recover();

    // Set before apply, recover or rollBack.
    void setPreviousVersion(const PreviousVersionPlace &place) { previous = place; }
    // Puts the kept previous version back as one transaction, journaled
    // like an apply: its staging folder is the previous version's folder,
    // the files the update replaced go back, the ones it added are removed
    // (Remove entries), the installed ones go to the backup folder until
    // the commit. After the commit the previous version's folder is gone.
    // The updater itself stays as it is. Failed with step Kept when nothing
    // is kept.
    Result rollBack();

    // The update helper's part: replaces the updater named by the journal's
    // updater entry while an updater stays in place at every instant (the
    // old one copied to its parked place first, the new one renamed over
    // it), then commits. Result::Failed leaves the journal uncommitted.
    Result swapUpdater();

    // Called after each file an apply or swap moves. A caller on the GUI
    // thread lets its windows repaint there; it must not touch the
    // installation.
    void setStepObserver(std::function<void()> observer) { stepObserver = std::move(observer); }

    ApplyFailure failure() const { return lastFailure; }
    // After Result::Failed of apply: true when the installation is as before.
    bool undone() const { return undoneAfterFailure; }

private:
    // A file, a folder or a link (even one that leads nowhere) at path.
    static bool existsAsEntry(const QString &path);
    bool prepare(ApplyJournal &journal, const QString &updaterName, const DownloadedVersionFiles &downloaded);
    // The checks of planned entries before the journal; sets the folders it creates.
    bool checkEntries(ApplyJournal &journal);
    // From the journal written on: backups, replacements, commit.
    Result run(ApplyJournal journal);
    bool isRollback(const ApplyJournal &journal) const;
    // After an update's commit: keeps or drops the previous version. Every
    // step holds when repeated.
    void settlePrevious(const ApplyJournal &journal);
    bool hasSpaceFor(const ApplyJournal &journal, qint64 journalBytes);
    bool writeJournal(const ApplyJournal &journal);
    // The journal's bytes (serializeJournal; empty: a path it cannot hold).
    bool writeJournalBytes(const QByteArray &bytes);
    bool writeDurably(const QByteArray &bytes, const QString &path);
    bool backUp(const JournalEntry &entry);
    bool moveFile(const QString &from, const QString &to, ApplyFailure::Step step, bool keepSource);
    bool flushAll();
    Recovery runRecovery(const ApplyJournal &journal);
    // False (with the failure set) when a folder above one of the paths is a
    // link. linkFree holds the folders one pass of checks found free already:
    // an installation's files share a few folders, each walked once.
    bool avoidLinks(std::initializer_list<QString> relatives, QSet<QString> &linkFree);
    // Every step of a recovery, the retired names last.
    bool forEachStep(const ApplyJournal &journal, const RecoveryVisit &visit) const;
    bool staysInPlace(const ApplyJournal &journal);
    // Undoes a failed apply; keeps the failure that caused it.
    Result undo(ApplyJournal journal);
    bool fail(ApplyFailure::Step step, const QString &path, const QString &reason);
    QString abs(const QString &relative) const { return installation + relative; }
    QString relative(const QString &absolute) const;

    QString installation;
    QString staging;
    QString backup;
    QString parkedUpdater;
    PreviousVersionPlace previous;
    ApplyFailure lastFailure;
    bool undoneAfterFailure = false;
    std::function<void()> stepObserver;
};
