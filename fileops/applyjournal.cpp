#include "fileops/applyjournal.h"

#include "config/names.h"
#include "fileops/pathpolicy.h"

#include <QCryptographicHash>
#include <QHash>

namespace {

const QByteArray kMagic = QByteArrayLiteral("update-journal\t1");

const char *phaseWord(ApplyPhase phase)
{
    switch (phase) {
    case ApplyPhase::Prepared:
        return "prepared";
    case ApplyPhase::Handover:
        return "handover";
    case ApplyPhase::Committed:
        return "committed";
    }
    return "";
}

const char *kindWord(JournalEntry::Kind kind)
{
    switch (kind) {
    case JournalEntry::Replace:
        return "replace";
    case JournalEntry::Add:
        return "add";
    case JournalEntry::Updater:
        return "updater";
    case JournalEntry::Remove:
        return "remove";
    }
    return "";
}

bool writable(const QString &path)
{
    return !path.isEmpty() && !path.contains(QLatin1Char('\t')) && !path.contains(QLatin1Char('\n'))
        && !path.contains(QLatin1Char('\r'));
}

QString withoutSlash(QString folder)
{
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

} // namespace

QByteArray serializeJournal(const ApplyJournal &journal)
{
    // Written straight into the one buffer: a journal of 50,000 files is
    // megabytes, and the apply holds it while the files move.
    QByteArray bytes;
    bytes.reserve(64 + 3 * 96 * (journal.entries.size() + journal.createdDirs.size() + 2));
    bool ok = true;
    const auto field = [&bytes, &ok](const QString &path) {
        ok = ok && writable(path);
        bytes += '\t';
        bytes += path.toUtf8();
    };
    bytes += kMagic + '\n';
    bytes += QByteArrayLiteral("phase\t") + phaseWord(journal.phase) + '\n';
    bytes += "staging";
    field(journal.staging);
    bytes += "\nbackup";
    field(journal.backup);
    bytes += '\n';
    for (const QString &dir : journal.createdDirs) {
        bytes += "dir";
        field(dir);
        bytes += '\n';
    }
    for (const JournalEntry &e : journal.entries) {
        bytes += kindWord(e.kind);
        field(e.target);
        if (e.kind != JournalEntry::Remove)
            field(e.source);
        if (e.kind != JournalEntry::Add)
            field(e.backup);
        bytes += '\n';
    }
    if (!ok)
        return QByteArray();
    bytes += "end\t" + QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() + '\n';
    return bytes;
}

std::optional<ApplyJournal> parseJournal(const QByteArray &bytes)
{
    const int endAt = bytes.lastIndexOf("\nend\t");
    if (!bytes.startsWith(kMagic + '\n') || endAt < 0)
        return std::nullopt;
    const QByteArray body = bytes.left(endAt + 1);
    if (bytes.mid(endAt + 1) != "end\t" + QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex() + '\n')
        return std::nullopt;

    static const QHash<QString, ApplyPhase> phases{{QStringLiteral("prepared"), ApplyPhase::Prepared},
                                                   {QStringLiteral("handover"), ApplyPhase::Handover},
                                                   {QStringLiteral("committed"), ApplyPhase::Committed}};
    static const QHash<QString, JournalEntry::Kind> kinds{{QStringLiteral("replace"), JournalEntry::Replace},
                                                          {QStringLiteral("add"), JournalEntry::Add},
                                                          {QStringLiteral("updater"), JournalEntry::Updater},
                                                          {QStringLiteral("remove"), JournalEntry::Remove}};
    ApplyJournal journal;
    bool hasPhase = false;
    const QStringList lines = QString::fromUtf8(body).split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        // Every path read back must stay below the installation.
        for (int i = 1; i < f.size(); ++i) {
            if (f[0] != QLatin1String("phase") && !PathPolicy::isSafeRelativeName(f[i]))
                return std::nullopt;
        }
        const QString &key = f[0];
        if (key == QLatin1String("phase") && f.size() == 2 && phases.contains(f[1])) {
            journal.phase = phases.value(f[1]);
            hasPhase = true;
        } else if (key == QLatin1String("staging") && f.size() == 2) {
            journal.staging = f[1];
        } else if (key == QLatin1String("backup") && f.size() == 2) {
            journal.backup = f[1];
        } else if (key == QLatin1String("dir") && f.size() == 2) {
            journal.createdDirs << f[1];
        } else if (kinds.contains(key) && f.size() == (kinds.value(key) == JournalEntry::Add || kinds.value(key) == JournalEntry::Remove ? 3 : 4)) {
            if (kinds.value(key) == JournalEntry::Remove)
                journal.entries.append({JournalEntry::Remove, f[1], QString(), f[2]});
            else
                journal.entries.append({kinds.value(key), f[1], f[2], f.value(3)});
        } else {
            return std::nullopt;
        }
    }
    if (!hasPhase || journal.staging.isEmpty() || journal.backup.isEmpty())
        return std::nullopt;
    return journal;
}

bool forEachRecoveryStep(const ApplyJournal &journal, const std::function<QString(const QString &)> &partialName,
                         const RecoveryVisit &visit)
{
    const bool undo = journal.phase != ApplyPhase::Committed;
    if (undo) {
        for (auto it = journal.entries.crbegin(); it != journal.entries.crend(); ++it) {
            const bool visited = it->kind == JournalEntry::Add
                ? visit({RecoveryStep::RemoveFile, it->target, QString()})
                : visit({RecoveryStep::Restore, it->backup, it->target});
            if (!visited)
                return false;
        }
    }
    for (const JournalEntry &e : journal.entries) {
        if (!visit({RecoveryStep::RemoveFile, partialName(e.target), QString()}))
            return false;
        if (e.kind != JournalEntry::Add
            && (!visit({RecoveryStep::RemoveFile, partialName(e.backup), QString()})
                || !visit({RecoveryStep::RemoveFile, e.backup, QString()})))
            return false;
        if (e.kind != JournalEntry::Remove && !visit({RecoveryStep::RemoveFile, e.source, QString()}))
            return false;
    }
    if (undo) {
        for (auto it = journal.createdDirs.crbegin(); it != journal.createdDirs.crend(); ++it) {
            if (!visit({RecoveryStep::RemoveDir, *it, QString()}))
                return false;
        }
    }
    return visit({RecoveryStep::RemoveTree, journal.staging, QString()})
        && visit({RecoveryStep::RemoveTree, journal.backup, QString()});
}

QVector<JournalEntry> planEntries(const QStringList &staged, const QString &staging, const QString &backup,
                                  bool hasVersionFile, bool hasManifest, const QString &updaterName,
                                  const QString &parked, const std::function<bool(const QString &)> &installed)
{
    const QString stagingDir = withoutSlash(staging) + QLatin1Char('/');
    const QString backupDir = withoutSlash(backup) + QLatin1Char('/');
    const QString versionFile = Names::kUpdateDir + Names::kUpdateIniFile;

    // target -> source, in the order targets were first seen; later sources win.
    QStringList order;
    QHash<QString, QString> sources;
    auto put = [&](const QString &target, const QString &source) {
        if (!sources.contains(target))
            order << target;
        sources.insert(target, source);
    };
    QVector<JournalEntry> entries;
    QStringList versionTargets;
    // Staged files of the release first, then the staged top-level version
    // description and manifest, which describe the release as a whole.
    QStringList topLevel;
    for (const QString &rel : staged) {
        if (rel == Names::kSelfUpdateExe) {
            entries.append({JournalEntry::Updater, updaterName, stagingDir + rel, parked});
        } else if (rel == Names::kUpdateIniFile || rel == Names::kMd5File) {
            topLevel << rel;
        } else {
            if (rel == versionFile)
                versionTargets << rel;
            put(rel, stagingDir + rel);
        }
    }
    for (const QString &rel : qAsConst(topLevel)) {
        const QString target = rel == Names::kUpdateIniFile ? versionFile : rel;
        versionTargets << target;
        put(target, stagingDir + rel);
    }
    if (hasVersionFile) {
        versionTargets << versionFile;
        put(versionFile, Names::kUpdateDir + Names::kUpdateTmpIniFile);
    }
    if (hasManifest) {
        versionTargets << Names::kMd5File;
        put(Names::kMd5File, Names::kUpdateDir + Names::kMd5TmpFile);
    }

    QVector<JournalEntry> files;
    QVector<JournalEntry> versions;
    for (const QString &target : qAsConst(order)) {
        const bool replace = installed(target);
        JournalEntry e{replace ? JournalEntry::Replace : JournalEntry::Add, target, sources.value(target),
                       replace ? backupDir + target : QString()};
        (versionTargets.contains(target) ? versions : files).append(e);
    }
    // The updater entry stays last: the update helper replaces it after
    // everything else is in place.
    return files + versions + entries;
}
