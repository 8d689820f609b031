// The apply journal's bytes, the recovery it leads to, and the entries an
// apply plans from the staged files. Pure functions; no files.
#include "fileops/applyjournal.h"
#include "fileops/previousversion.h"

#include <QtTest>

Q_DECLARE_METATYPE(ApplyJournal)
Q_DECLARE_METATYPE(ApplyPhase)

namespace {

ApplyJournal sample(ApplyPhase phase)
{
    ApplyJournal j;
    j.phase = phase;
    j.staging = "UpdateTemp";
    j.backup = "Backup";
    j.createdDirs = QStringList{"n", "n/m"};
    j.entries = {{JournalEntry::Remove, "old.txt", QString(), "Backup/old.txt"},
                 {JournalEntry::Replace, "a b.txt", "UpdateTemp/a b.txt", "Backup/a b.txt"},
                 {JournalEntry::Add, "n/m/new.txt", "UpdateTemp/n/m/new.txt", QString()},
                 {JournalEntry::Replace, "update/update.ini", "update/updateTmp.ini", "Backup/update/update.ini"},
                 {JournalEntry::Updater, "update.exe", "UpdateTemp/update.exe", "UpdateTmp/update.exe"}};
    return j;
}

QString part(const QString &p)
{
    return p + ".part";
}

} // namespace

class TestApplyJournal : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip()
    {
        for (ApplyPhase phase : {ApplyPhase::Prepared, ApplyPhase::Handover, ApplyPhase::Committed}) {
            const QByteArray bytes = serializeJournal(sample(phase));
            QVERIFY(!bytes.isEmpty());
            const std::optional<ApplyJournal> back = parseJournal(bytes);
            QVERIFY(back.has_value());
            QVERIFY(*back == sample(phase));
        }
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = serializeJournal(sample(ApplyPhase::Prepared));
        QTest::newRow("torn") << good.left(good.size() - 10);
        QTest::newRow("no end line") << good.left(good.indexOf("end\t"));
        QByteArray edited = good;
        edited.replace("a b.txt", "a c.txt");
        QTest::newRow("edited") << edited;
        QTest::newRow("empty") << QByteArray();
        auto resealed = [](const QByteArray &body) {
            return body + "end\t" + QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex() + '\n';
        };
        const QByteArray head = "update-journal\t1\nphase\tprepared\nstaging\tT\nbackup\tB\n";
        QTest::newRow("path leaves the installation") << resealed(head + "add\t../x\tT/x\n");
        QTest::newRow("absolute path") << resealed(head + "replace\t/etc/x\tT/x\tB/x\n");
        QTest::newRow("unknown phase") << resealed("update-journal\t1\nphase\tmaybe\nstaging\tT\nbackup\tB\n");
        QTest::newRow("unknown version") << resealed("update-journal\t2\nphase\tprepared\nstaging\tT\nbackup\tB\n");
        QTest::newRow("no backup folder") << resealed("update-journal\t1\nphase\tprepared\nstaging\tT\n");
    }
    void refused()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!parseJournal(bytes).has_value());
    }

    void unwritablePath()
    {
        ApplyJournal j = sample(ApplyPhase::Prepared);
        j.entries[0].target = "tab\there";
        QVERIFY(serializeJournal(j).isEmpty());
    }

    // Before the commit point everything is restored in reverse order; at
    // it nothing is, and the clean-up is the same.
    void recovery_data()
    {
        QTest::addColumn<ApplyPhase>("phase");
        QTest::addColumn<bool>("undo");
        QTest::newRow("prepared") << ApplyPhase::Prepared << true;
        QTest::newRow("handover") << ApplyPhase::Handover << true;
        QTest::newRow("committed") << ApplyPhase::Committed << false;
    }
    void recovery()
    {
        QFETCH(ApplyPhase, phase);
        QFETCH(bool, undo);
        QVector<RecoveryStep> steps;
        QVERIFY(forEachRecoveryStep(sample(phase), part, [&](const RecoveryStep &step) {
            steps.append(step);
            return true;
        }));
        QVector<RecoveryStep> undoSteps{{RecoveryStep::Restore, "UpdateTmp/update.exe", "update.exe"},
                                        {RecoveryStep::Restore, "Backup/update/update.ini", "update/update.ini"},
                                        {RecoveryStep::RemoveFile, "n/m/new.txt", QString()},
                                        {RecoveryStep::Restore, "Backup/a b.txt", "a b.txt"},
                                        {RecoveryStep::Restore, "Backup/old.txt", "old.txt"}};
        QCOMPARE(steps.mid(0, 5) == undoSteps, undo);
        // A removed file has no source: no step may name the installation itself.
        for (const RecoveryStep &s : steps)
            QVERIFY(!s.path.isEmpty());
        for (const RecoveryStep &s : steps)
            QVERIFY(undo || s.kind != RecoveryStep::Restore);
        QVERIFY(steps.contains({RecoveryStep::RemoveFile, "UpdateTmp/update.exe", QString()}));
        QVERIFY(steps.contains({RecoveryStep::RemoveFile, "update/updateTmp.ini", QString()}));
        QVERIFY(steps.contains({RecoveryStep::RemoveFile, "Backup/a b.txt.part", QString()}));
        QCOMPARE(steps.contains({RecoveryStep::RemoveDir, "n/m", QString()}), undo);
        QCOMPARE(steps.last(), (RecoveryStep{RecoveryStep::RemoveTree, "Backup", QString()}));
    }

    void plan_data()
    {
        QTest::addColumn<QStringList>("staged");
        QTest::addColumn<bool>("tmpFiles");
        QTest::addColumn<QStringList>("expected"); // kind:target<-source

        QTest::newRow("files, then version files, then the updater")
            << QStringList{"update.exe", "a.txt", "d/new.txt", "md5.txt"} << false
            << QStringList{"R:a.txt<-T/a.txt", "A:d/new.txt<-T/d/new.txt", "R:md5.txt<-T/md5.txt",
                           "U:update.exe<-T/update.exe"};
        QTest::newRow("downloaded version files win over staged copies")
            << QStringList{"update/update.ini", "update.ini", "a.txt"} << true
            << QStringList{"R:a.txt<-T/a.txt", "R:update/update.ini<-update/updateTmp.ini",
                           "R:md5.txt<-update/md5Tmp.txt"};
        QTest::newRow("a staged top-level update.ini wins over the release's own")
            << QStringList{"update/update.ini", "update.ini"} << false
            << QStringList{"R:update/update.ini<-T/update.ini"};
    }
    void plan()
    {
        QFETCH(QStringList, staged);
        QFETCH(bool, tmpFiles);
        QFETCH(QStringList, expected);
        const QVector<JournalEntry> entries =
            planEntries(staged, "T", "B/", tmpFiles, tmpFiles, "update.exe", "UpdateTmp/update.exe",
                        [](const QString &t) { return t != "d/new.txt"; });
        QStringList got;
        for (const JournalEntry &e : entries) {
            got << QString("RAU"[e.kind]) + ':' + e.target + "<-" + e.source;
            QCOMPARE(e.backup,
                     e.kind == JournalEntry::Add           ? QString()
                         : e.kind == JournalEntry::Updater ? "UpdateTmp/update.exe"
                                                           : "B/" + e.target);
        }
        QCOMPARE(got, expected);
    }

    // A rollback puts back what the update replaced, removes what it added
    // and leaves the updater; what changed since is taken as it is now.
    void rollbackPlan()
    {
        ApplyJournal update = sample(ApplyPhase::Handover);
        update.entries.append({JournalEntry::Add, "gone.txt", "UpdateTemp/gone.txt", QString()});
        const ApplyJournal record = previousRecord(update);
        QCOMPARE(record.phase, ApplyPhase::Committed);
        const QVector<JournalEntry> entries = rollbackEntries(
            record, "UpdatePrevious", "Backup", [](const QString &t) { return t != "gone.txt" && t != "a b.txt"; });
        const QVector<JournalEntry> expected{
            {JournalEntry::Add, "a b.txt", "UpdatePrevious/a b.txt", QString()},
            {JournalEntry::Remove, "n/m/new.txt", QString(), "Backup/n/m/new.txt"},
            {JournalEntry::Replace, "update/update.ini", "UpdatePrevious/update/update.ini", "Backup/update/update.ini"}};
        QCOMPARE(entries, expected);
    }
};

QTEST_APPLESS_MAIN(TestApplyJournal)
#include "tst_applyjournal.moc"
