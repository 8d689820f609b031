#include "fileops/applytransaction.h"

#include "config/names.h"
#include "fileops/filewalk.h"
#include "fileops/layout.h"
#include "fileops/pathpolicy.h"
#include "log/logger.h"
#include "platform/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

namespace {

// Room left beside the journal and the copies, so the apply never fills a
// file system to the last byte.
constexpr qint64 kSpaceMargin = 1 << 20;

// The file system of path, or of its deepest existing folder.
QStorageInfo storageOf(QString path)
{
    while (!QFileInfo::exists(path) && path.contains(QLatin1Char('/')))
        path = QFileInfo(Layout::withoutSlash(path)).path();
    return QStorageInfo(path);
}

// The mode of the file at path: its owner's, group's and others' flags, by
// one lookup (QFile::permissions also asks the system for the running
// user's own flags, one call each, and those are not the file's mode).
QFile::Permissions modeOf(const QString &path)
{
    const QFileInfo info(path);
    QFile::Permissions mode;
    for (const QFile::Permission bit : {QFile::ReadOwner, QFile::WriteOwner, QFile::ExeOwner, QFile::ReadGroup,
                                        QFile::WriteGroup, QFile::ExeGroup, QFile::ReadOther, QFile::WriteOther,
                                        QFile::ExeOther}) {
        if (info.permission(bit))
            mode |= bit;
    }
    return mode;
}

bool isWithin(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The journal at path, read and closed again: on Windows an open file
// cannot be replaced or removed, and both happen to the journal later.
std::optional<ApplyJournal> readJournal(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseJournal(file.readAll());
}

} // namespace

bool ApplyTransaction::existsAsEntry(const QString &path)
{
    // Asked link first: that one lookup also answers for what is not a
    // link, so an absent entry, the common case for the names the steps
    // leave behind, costs one look, not two.
    const QFileInfo info(path);
    return info.isSymLink() || info.exists();
}

ApplyTransaction::ApplyTransaction(const QString &inst, const QString &stage, const QString &back,
                                   const QString &parked)
    : installation(Layout::withSlash(inst))
    , staging(Layout::withSlash(stage))
    , backup(Layout::withSlash(back))
    , parkedUpdater(parked)
{
}

QString ApplyTransaction::journalPath(const QString &inst)
{
    return Layout::withSlash(inst) + Names::kJournalFile;
}

QString ApplyTransaction::relative(const QString &absolute) const
{
    return Layout::withoutSlash(absolute.mid(installation.size()));
}

bool ApplyTransaction::fail(ApplyFailure::Step step, const QString &path, const QString &reason)
{
    lastFailure = {step, path, reason};
    logError(QStringLiteral("更新事务失败(%1): ").arg(step) + path + QStringLiteral(" ") + reason);
    return false;
}

bool ApplyTransaction::avoidLinks(std::initializer_list<QString> relatives, QSet<QString> &linkFree)
{
    // The entry itself may be a link: a rename or removal acts on it alone.
    for (const QString &path : relatives) {
        if (path.isEmpty())
            continue;
        const QString parent = path.left(qMax(0, path.lastIndexOf(QLatin1Char('/'))));
        if (linkFree.contains(parent))
            continue;
        if (!PathPolicy::isFreeOfLinks(installation, parent))
            return fail(ApplyFailure::Link, abs(path), QStringLiteral("a folder on the way is a link"));
        linkFree.insert(parent);
    }
    return true;
}

bool ApplyTransaction::forEachStep(const ApplyJournal &journal, const RecoveryVisit &visit) const
{
    if (!forEachRecoveryStep(journal, Durable::partialName, visit))
        return false;
    // A replaced file that was in use was set aside under another name.
    for (const JournalEntry &e : journal.entries) {
        if (!visit({RecoveryStep::RemoveFile, Durable::retiredName(e.target), QString()}))
            return false;
    }
    return true;
}

bool ApplyTransaction::staysInPlace(const ApplyJournal &journal)
{
    // A journal's work folders are the configured ones, real folders: a
    // link put in their place after the journal was written would send the
    // restores and removals out of the installation.
    const QString &stagedFrom = isRollback(journal) ? previous.folder : staging;
    for (const auto &[named, configured] : {std::pair(journal.staging, stagedFrom), std::pair(journal.backup, backup)}) {
        if (Layout::withSlash(abs(named)) != configured || !PathPolicy::isFreeOfLinks(installation, named))
            return fail(ApplyFailure::Link, abs(named), QStringLiteral("work folder is a link or not the configured one"));
    }
    QSet<QString> linkFree;
    return forEachStep(journal, [&](const RecoveryStep &step) { return avoidLinks({step.path, step.target}, linkFree); });
}

bool ApplyTransaction::prepare(ApplyJournal &journal, const QString &updaterName,
                               const DownloadedVersionFiles &downloaded)
{
    journal.staging = relative(staging);
    journal.backup = relative(backup);
    QStringList staged;
    listFilesRecursive(Layout::withoutSlash(staging), QString(), staged);
    for (QString &rel : staged)
        rel.remove(0, 1);
    staged.sort();
    journal.entries = planEntries(staged, journal.staging, journal.backup, downloaded.description, downloaded.manifest,
                                  updaterName, relative(parkedUpdater),
                                  [this](const QString &target) { return existsAsEntry(abs(target)); });
    return checkEntries(journal);
}

bool ApplyTransaction::checkEntries(ApplyJournal &journal)
{
    QSet<QString> dirs;
    QSet<QString> linkFree;
    for (const JournalEntry &e : qAsConst(journal.entries)) {
        if (e.kind != JournalEntry::Remove && !QFileInfo(abs(e.source)).isFile())
            return fail(ApplyFailure::Plan, abs(e.source), QStringLiteral("staged file missing"));
        if (isWithin(e.target, journal.staging) || isWithin(e.target, journal.backup) || e.target == Names::kJournalFile)
            return fail(ApplyFailure::Plan, abs(e.target), QStringLiteral("target is a work file of the updater"));
        if (!avoidLinks({e.target, e.source, e.backup}, linkFree))
            return false;
        // Asked file first: one lookup answers both.
        const QFileInfo target(abs(e.target));
        if (!target.isFile() && target.exists())
            return fail(ApplyFailure::Plan, abs(e.target), QStringLiteral("target is not a file"));
        if (e.kind != JournalEntry::Add && existsAsEntry(abs(e.backup)) && !QFile::remove(abs(e.backup)))
            return fail(ApplyFailure::Backup, abs(e.backup), QStringLiteral("stale backup cannot be removed"));
        // Folders the apply creates for new files go again when it is undone.
        for (QString dir = QFileInfo(e.target).path(); e.kind != JournalEntry::Remove && dir != QLatin1String(".");
             dir = QFileInfo(dir).path()) {
            if (!dirs.contains(dir) && !QFileInfo::exists(abs(dir)))
                dirs.insert(dir);
        }
    }
    journal.createdDirs = dirs.values();
    std::sort(journal.createdDirs.begin(), journal.createdDirs.end());
    return true;
}

bool ApplyTransaction::hasSpaceFor(const ApplyJournal &journal, qint64 journalBytes)
{
    const QStorageInfo home = storageOf(installation);
    const QStorageInfo backupFs = storageOf(backup);
    const QStorageInfo stagingFs = storageOf(staging);
    qint64 needHome = 2 * journalBytes + kSpaceMargin;
    qint64 needBackup = 0;
    for (const JournalEntry &e : journal.entries) {
        // A copy is needed only where a rename cannot cross file systems,
        // and for the parked copy of the updater.
        if (e.kind == JournalEntry::Updater)
            needHome += QFileInfo(abs(e.target)).size();
        else if ((e.kind == JournalEntry::Replace || e.kind == JournalEntry::Remove)
                 && backupFs.rootPath() != home.rootPath())
            needBackup += QFileInfo(abs(e.target)).size();
        if (e.kind != JournalEntry::Remove && stagingFs.rootPath() != home.rootPath())
            needHome += QFileInfo(abs(e.source)).size();
    }
    if (needBackup > 0 && backupFs.bytesAvailable() < needBackup + kSpaceMargin)
        return fail(ApplyFailure::Space, backup, QStringLiteral("%1 bytes needed").arg(needBackup + kSpaceMargin));
    if (home.bytesAvailable() < needHome)
        return fail(ApplyFailure::Space, installation, QStringLiteral("%1 bytes needed").arg(needHome));
    return true;
}

bool ApplyTransaction::writeJournal(const ApplyJournal &journal)
{
    return writeJournalBytes(serializeJournal(journal));
}

bool ApplyTransaction::writeJournalBytes(const QByteArray &bytes)
{
    const QString path = journalPath(installation);
    if (bytes.isEmpty())
        return fail(ApplyFailure::Journal, path, QStringLiteral("a path cannot be written to the journal"));
    return writeDurably(bytes, path);
}

bool ApplyTransaction::writeDurably(const QByteArray &bytes, const QString &path)
{
    const QString part = Durable::partialName(path);
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(ApplyFailure::Journal, part, file.errorString());
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    const QString reason = file.errorString();
    file.close();
    Durable::Outcome outcome = written ? Durable::syncPath(part) : Durable::Outcome{false, false, reason};
    if (outcome.ok)
        outcome = Durable::renameReplacing(part, path);
    if (outcome.ok)
        outcome = Durable::syncPath(QFileInfo(path).absolutePath());
    if (!outcome.ok) {
        QFile::remove(part);
        return fail(ApplyFailure::Journal, path, outcome.reason);
    }
    return true;
}

bool ApplyTransaction::moveFile(const QString &from, const QString &to, ApplyFailure::Step step, bool keepSource)
{
    const QString parent = QFileInfo(to).absolutePath();
    if (!QDir().mkpath(parent))
        return fail(step, parent, QStringLiteral("folder cannot be created"));
    Durable::Outcome outcome =
        keepSource ? Durable::Outcome{false, true, QString()} : Durable::renameReplacing(from, to);
    if (!outcome.ok && outcome.crossDevice)
        outcome = Durable::copyDurably(from, to);
    if (stepObserver)
        stepObserver();
    return outcome.ok || fail(step, to, outcome.reason);
}

bool ApplyTransaction::backUp(const JournalEntry &e)
{
    if (e.kind == JournalEntry::Remove)
        return moveFile(abs(e.target), abs(e.backup), ApplyFailure::Backup, false);
    if (e.kind != JournalEntry::Replace)
        return true;
    // The new file keeps what the installed one was allowed (an executable
    // stays executable).
    QFile::setPermissions(abs(e.source), modeOf(abs(e.target)));
    return moveFile(abs(e.target), abs(e.backup), ApplyFailure::Backup, false);
}

bool ApplyTransaction::flushAll()
{
    for (const QString &folder : {installation, backup}) {
        if (!QFileInfo::exists(folder))
            continue;
        const Durable::Outcome outcome = Durable::flushFileSystem(folder);
        if (!outcome.ok)
            return fail(ApplyFailure::Flush, folder, outcome.reason);
    }
    return true;
}

ApplyTransaction::Result ApplyTransaction::undo(ApplyJournal journal)
{
    const ApplyFailure cause = lastFailure;
    journal.phase = ApplyPhase::Prepared;
    undoneAfterFailure = runRecovery(journal) != Recovery::Failed;
    lastFailure = cause;
    return Result::Failed;
}

ApplyTransaction::Result ApplyTransaction::apply(const QString &updaterName, const DownloadedVersionFiles &downloaded)
{
    logInfo("开始应用更新");
    lastFailure = {};
    undoneAfterFailure = true;
    ApplyJournal journal;
    if (!prepare(journal, updaterName, downloaded))
        return Result::Failed;
    return run(journal);
}

ApplyTransaction::Result ApplyTransaction::run(ApplyJournal journal)
{
    {
        const QByteArray bytes = serializeJournal(journal);
        if (!hasSpaceFor(journal, bytes.size()) || !writeJournalBytes(bytes))
            return Result::Failed;
    }
    logInfo(QStringLiteral("更新日志已写入: %1 个文件").arg(journal.entries.size()));

    // Every installed file is in the backup before the first new one is put
    // in place; the updater is left to the update helper.
    bool handover = false;
    bool done = true;
    for (const JournalEntry &e : qAsConst(journal.entries))
        done = done && backUp(e);
    for (const JournalEntry &e : qAsConst(journal.entries)) {
        handover = handover || e.kind == JournalEntry::Updater;
        if (done && e.kind != JournalEntry::Updater && e.kind != JournalEntry::Remove)
            done = moveFile(abs(e.source), abs(e.target), ApplyFailure::Replace, false);
    }
    if (!done)
        return undo(journal);
    journal.phase = handover ? ApplyPhase::Handover : ApplyPhase::Committed;
    if (!flushAll() || !writeJournal(journal))
        return undo(journal);
    if (handover)
        return Result::Handover;
    logInfo("更新已提交");
    runRecovery(journal);
    return Result::Done;
}

ApplyTransaction::Result ApplyTransaction::swapUpdater()
{
    lastFailure = {};
    const QString path = journalPath(installation);
    std::optional<ApplyJournal> journal = readJournal(path);
    if (!journal || journal->phase != ApplyPhase::Handover) {
        fail(ApplyFailure::Journal, path, QStringLiteral("no update waits for the updater swap"));
        return Result::Failed;
    }
    for (const JournalEntry &e : qAsConst(journal->entries)) {
        if (e.kind != JournalEntry::Updater)
            continue;
        const QString target = abs(e.target);
        const QString source = abs(e.source);
        if (!QFileInfo(source).isFile()) {
            fail(ApplyFailure::Plan, source, QStringLiteral("staged updater missing"));
            return Result::Failed;
        }
        QFile::setPermissions(source,
                              QFile::permissions(target) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther
                                  | QFile::ReadOwner | QFile::WriteOwner);
        // Parked by copy, so the installed updater never leaves its place;
        // then the new one replaces it in one rename.
        if ((!existsAsEntry(abs(e.backup)) && !moveFile(target, abs(e.backup), ApplyFailure::Backup, true))
            || !moveFile(source, target, ApplyFailure::Replace, false))
            return Result::Failed;
    }
    journal->phase = ApplyPhase::Committed;
    if (!flushAll() || !writeJournal(*journal))
        return Result::Failed;
    logInfo("更新程序替换已提交");
    return Result::Done;
}

ApplyTransaction::Recovery ApplyTransaction::recover()
{
    const QString path = journalPath(installation);
    QFile::remove(Durable::partialName(path));
    if (!QFile::exists(path))
        return Recovery::Nothing;
    const std::optional<ApplyJournal> journal = readJournal(path);
    if (!journal) {
        fail(ApplyFailure::Journal, path, QStringLiteral("journal unreadable"));
        return Recovery::Failed;
    }
    return runRecovery(*journal);
}

ApplyTransaction::Recovery ApplyTransaction::runRecovery(const ApplyJournal &journal)
{
    const bool undo = journal.phase != ApplyPhase::Committed;
    // Undoing is worth a warning; the clean-up after a commit is a normal step.
    if (undo)
        logWarn("撤销未完成的更新");
    else
        logInfo("完成已提交更新的清理");
    if (!staysInPlace(journal))
        return Recovery::Failed;
    if (!undo && !isRollback(journal))
        settlePrevious(journal);
    bool complete = true;
    const bool walked = forEachStep(journal, [&](const RecoveryStep &step) {
        const QString path = abs(step.path);
        switch (step.kind) {
        case RecoveryStep::Restore:
            if (existsAsEntry(path) && !moveFile(path, abs(step.target), ApplyFailure::Restore, false)) {
                logError(QStringLiteral("回退文件失败:") + path);
                return false;
            }
            break;
        case RecoveryStep::RemoveFile:
            if (existsAsEntry(path) && !QFile::remove(path)) {
                logWarn(QStringLiteral("无法删除，下次运行再试: ") + path);
                complete = false;
            }
            break;
        case RecoveryStep::RemoveDir:
            QDir().rmdir(path);
            break;
        case RecoveryStep::RemoveTree:
            if (QFileInfo(path).isDir() && !QDir(path).removeRecursively()) {
                logWarn(QStringLiteral("无法删除，下次运行再试: ") + path);
                complete = false;
            }
            break;
        }
        return true;
    });
    if (!walked)
        return Recovery::Failed;
    if (!complete)
        return Recovery::Incomplete;
    // The journal goes last, and only when nothing is left for it to do.
    if (!flushAll() || !QFile::remove(journalPath(installation)))
        return Recovery::Incomplete;
    Durable::syncPath(installation);
    logInfo(undo ? "文件回退完成" : "更新清理完成");
    return undo ? Recovery::Undone : Recovery::Finished;
}
