// The previous version around an apply: kept after an update's commit, put
// back by a rollback. See fileops/previousversion.h for the record.
#include "fileops/applytransaction.h"

#include "config/names.h"
#include "fileops/diskreserve.h"
#include "fileops/layout.h"
#include "fileops/previousversion.h"
#include "log/logger.h"
#include "platform/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool ApplyTransaction::isRollback(const ApplyJournal &journal) const
{
    return !previous.folder.isEmpty() && Layout::withSlash(abs(journal.staging)) == previous.folder;
}

void ApplyTransaction::settlePrevious(const ApplyJournal &journal)
{
    if (previous.folder.isEmpty())
        return;
    const QString kept = Layout::withoutSlash(previous.folder);
    const QString backedUp = Layout::withoutSlash(backup);
    // The version kept before belongs below the one just replaced: a
    // rollback to it now would leave a mix of three versions.
    const auto dropKept = [&kept] {
        if (QFileInfo(kept).isDir() && !QDir(kept).removeRecursively())
            logWarn(QStringLiteral("无法删除上一版本的备份，下次运行再试: ") + kept);
    };
    if (!previous.keep) {
        dropKept();
        return;
    }
    const QByteArray record = serializeJournal(previousRecord(journal));
    // Settled already: the backup folder became the previous version whole.
    if (readAll(previous.folder + Names::kJournalFile) == record)
        return;
    // The record goes in first, the folder is renamed last: the kept folder
    // is whole or not there. A run stopped before the rename does it all again.
    if (!QDir().mkpath(backedUp) || !writeDurably(record, backup + Names::kJournalFile)) {
        logWarn(QStringLiteral("无法记录上一版本，不保留上一版本"));
        dropKept();
        return;
    }
    dropKept();
    DiskReserve reserve(installation, previous.reserveBytes);
    if (!reserve.admit(0)) {
        logWarn(QStringLiteral("保留上一版本会占用磁盘保留空间，不保留上一版本: ") + reserve.shortageText());
        return;
    }
    if (!QDir().rename(backedUp, kept)) {
        logWarn(QStringLiteral("无法移动备份目录，不保留上一版本: ") + backedUp);
        return;
    }
    Durable::syncPath(installation);
    logInfo(QStringLiteral("已保留上一版本: ") + kept);
}

ApplyTransaction::Result ApplyTransaction::rollBack()
{
    logInfo("开始回退到上一版本");
    lastFailure = {};
    undoneAfterFailure = true;
    const QString recordPath = previous.folder + Names::kJournalFile;
    const std::optional<ApplyJournal> record =
        previous.folder.isEmpty() ? std::nullopt : parseJournal(readAll(recordPath));
    if (!record) {
        fail(ApplyFailure::Kept, Layout::withoutSlash(previous.folder), QStringLiteral("no previous version kept"));
        return Result::Failed;
    }
    ApplyJournal journal;
    journal.staging = relative(previous.folder);
    journal.backup = relative(backup);
    journal.entries = rollbackEntries(*record, journal.staging, journal.backup,
                                      [this](const QString &target) { return existsAsEntry(abs(target)); });
    if (!checkEntries(journal))
        return Result::Failed;
    const Result result = run(journal);
    if (result != Result::Done)
        return result;
    // Folders the update made for its new files, now empty; one still in
    // use (a file put there since) stays.
    for (auto it = record->createdDirs.crbegin(); it != record->createdDirs.crend(); ++it)
        QDir().rmdir(abs(*it));
    return result;
}
