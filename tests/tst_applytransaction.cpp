// The apply transaction on real folders, in process: what it installs, that
// a failure leaves the installation byte for byte as it was, and faults
// injected for real (an installed file in use, and on Linux a full file
// system, a backup folder on another, smaller file system, a backup folder
// that refuses entries).
#include "fileops/applytransaction.h"
#include "support/filetree.h"
#include "support/testfiles.h"
#include "support/testinstall.h"
#include "support/tmpfs.h"
#include "support/unreplaceablefile.h"

#include <QProcess>
#include <QtTest>

namespace {

using Result = ApplyTransaction::Result;

const FileTree kInstalled{
    {"/a.txt", "A1"}, {"/d/b.txt", "B1"}, {"/keep.txt", "K"}, {"/update/update.ini", "V1"}, {"/md5.txt", "M1"}};
const FileTree kStaged{{"/a.txt", "A2"}, {"/d/b.txt", "B2"}, {"/n/m/new.txt", "N"}, {"/.hidden", "H"}};
const FileTree kVersionFiles{{"/update/updateTmp.ini", "V2"}, {"/update/md5Tmp.txt", "M2"}};
// What a run that downloaded kVersionFiles hands to the apply.
const DownloadedVersionFiles kDownloaded{true, true};

struct Install
{
    QString root;
    QString staging() const { return root + "/UpdateTemp/"; }
    QString backup() const { return root + "/Backup/"; }
    QString parked() const { return root + "/UpdateTmp/update.exe"; }
    void lay(const FileTree &installed, const FileTree &staged, const FileTree &version = kVersionFiles) const
    {
        writeTree(root, installed);
        writeTree(root, version);
        writeTree(staging(), staged);
    }
    Result apply(const DownloadedVersionFiles &downloaded = kDownloaded) const
    {
        return ApplyTransaction(root, staging(), backup(), parked()).apply("update.exe", downloaded);
    }
    QMap<QString, QString> tree() const { return hashTree(root); }
};

#ifndef Q_OS_WIN
// Fills the file system holding dir until it has no byte or inode left.
void fill(const QString &dir)
{
    QFile filler(dir + "/filler");
    filler.open(QIODevice::WriteOnly);
    const QByteArray block(1 << 16, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    for (int i = 0; QFile(dir + QString("/inode%1").arg(i)).open(QIODevice::WriteOnly); ++i) {
    }
}
#endif

} // namespace

class TestApplyTransaction : public QObject
{
    Q_OBJECT
private slots:
    void appliesAndCommits()
    {
        QTemporaryDir dir;
        const Install install{dir.path()};
        install.lay(kInstalled, kStaged);
#ifndef Q_OS_WIN
        // Read-only: a user who may write it anyway (root) gives the new
        // file no write flag it did not have.
        const QFile::Permissions mode = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup;
        QFile::setPermissions(dir.path() + "/a.txt", mode);
#endif

        QCOMPARE(install.apply(), Result::Done);
        FileTree expected = kInstalled;
        expected.insert({{"/a.txt", "A2"},
                         {"/d/b.txt", "B2"},
                         {"/n/m/new.txt", "N"},
                         {"/update/update.ini", "V2"},
                         {"/md5.txt", "M2"}});
        QCOMPARE(install.tree(), treeHashes(expected));
#ifndef Q_OS_WIN
        // The replaced file's mode, exactly.
        const QFile::Permissions modeBits(0x7077); // owner, group, others
        QCOMPARE(QFileInfo(dir.path() + "/a.txt").permissions() & modeBits, mode);
#endif
        for (const char *gone : {"/UpdateTemp", "/Backup", "/update.journal"})
            QVERIFY2(!QFileInfo::exists(dir.path() + gone), gone);
    }

    void selfUpdateStopsBeforeTheUpdater()
    {
        QTemporaryDir dir;
        const Install install{dir.path()};
        install.lay(with(kInstalled, {{"/update.exe", "U1"}}), {{"/update.exe", "U2"}, {"/a.txt", "A2"}});
        QCOMPARE(install.apply(), Result::Handover);
        QCOMPARE(readTestFile(dir.path() + "/a.txt"), QByteArray("A2"));
        QCOMPARE(readTestFile(dir.path() + "/update.exe"), QByteArray("U1"));

        // The helper's part, then the next run's recovery finishes.
        ApplyTransaction helper(dir.path(), install.staging(), install.backup(), install.parked());
        QCOMPARE(helper.swapUpdater(), Result::Done);
        QCOMPARE(readTestFile(dir.path() + "/update.exe"), QByteArray("U2"));
        QCOMPARE(readTestFile(dir.path() + "/UpdateTmp/update.exe"), QByteArray("U1"));
        QCOMPARE(helper.recover(), ApplyTransaction::Recovery::Finished);
        QVERIFY(!QFileInfo::exists(dir.path() + "/UpdateTmp/update.exe"));
        QCOMPARE(readTestFile(dir.path() + "/a.txt"), QByteArray("A2"));
    }

    // Update/KeepPrevious: the replaced files are kept after the commit (also
    // when the helper's swap commits), unless that would eat into the disk
    // reserve; a rollback then puts the previous version back exactly, once.
    // A version kept before is never what a later rollback restores.
    void keepsAndRollsBack_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<qint64>("reserve");
        QTest::addColumn<bool>("selfUpdate");
        QTest::newRow("kept") << true << qint64(0) << false;
        QTest::newRow("kept by the commit of the updater swap") << true << qint64(0) << true;
        QTest::newRow("KeepPrevious off") << false << qint64(0) << false;
        QTest::newRow("reserve would be broken") << true << (qint64(1) << 50) << false;
    }
    void keepsAndRollsBack()
    {
        QFETCH(bool, keep);
        QFETCH(qint64, reserve);
        QFETCH(bool, selfUpdate);
        QTemporaryDir dir;
        const Install install{dir.path()};
        const QString previous = dir.path() + "/UpdatePrevious/";
        const FileTree installed = with(kInstalled, {{"/update.exe", "U1"}});
        writeTree(dir.path(), installed);
        const QMap<QString, QString> before = install.tree();
        // Left by an update before: not the version below the one installed now.
        ApplyJournal older{ApplyPhase::Committed, "UpdateTemp", "Backup", {},
                           {{JournalEntry::Replace, "keep.txt", "UpdateTemp/keep.txt", "Backup/keep.txt"}}};
        writeTree(previous, {{"/keep.txt", "K0"}, {"/update.journal", serializeJournal(older)}});
        install.lay(installed, selfUpdate ? with(kStaged, {{"/update.exe", "U2"}}) : kStaged);
        const auto transaction = [&] {
            ApplyTransaction t(dir.path(), install.staging(), install.backup(), install.parked());
            t.setPreviousVersion({previous, keep, reserve});
            return t;
        };
        if (selfUpdate) {
            QCOMPARE(transaction().apply("update.exe", kDownloaded), Result::Handover);
            QCOMPARE(transaction().swapUpdater(), Result::Done);
            QCOMPARE(transaction().recover(), ApplyTransaction::Recovery::Finished);
        } else {
            QCOMPARE(transaction().apply("update.exe", kDownloaded), Result::Done);
        }
        const bool kept = keep && reserve == 0;
        QCOMPARE(QFileInfo::exists(previous), kept);
        const QMap<QString, QString> updated = install.tree();
        QCOMPARE(readTestFile(dir.path() + "/a.txt"), QByteArray("A2"));

        ApplyTransaction rollback = transaction();
        if (!kept) {
            QCOMPARE(rollback.rollBack(), Result::Failed);
            QCOMPARE(rollback.failure().step, ApplyFailure::Kept);
            QCOMPARE(install.tree(), updated);
            return;
        }
        QCOMPARE(rollback.rollBack(), Result::Done);
        QMap<QString, QString> expected = before;
        // The updater that runs the rollback stays.
        expected.insert("/update.exe", updated.value("/update.exe"));
        QCOMPARE(install.tree(), expected);
        for (const char *gone : {"/n", "/UpdatePrevious", "/Backup", "/update.journal"})
            QVERIFY2(!QFileInfo::exists(dir.path() + gone), gone);
        QCOMPARE(transaction().rollBack(), Result::Failed);
        QCOMPARE(install.tree(), expected);
    }

    // The version files installed are the ones the run says it downloaded:
    // one left by another run is not, and one the run names must be there.
    void versionFilesComeFromTheRun_data()
    {
        QTest::addColumn<FileTree>("onDisk");
        QTest::addColumn<bool>("planned");
        QTest::addColumn<int>("result");
        QTest::newRow("left by another run") << kVersionFiles << false << int(Result::Done);
        QTest::newRow("named by the run but missing") << FileTree{} << true << int(Result::Failed);
    }
    void versionFilesComeFromTheRun()
    {
        QFETCH(FileTree, onDisk);
        QFETCH(bool, planned);
        QFETCH(int, result);
        QTemporaryDir dir;
        const Install install{dir.path()};
        install.lay(kInstalled, kStaged, onDisk);
        QCOMPARE(int(install.apply({planned, planned})), result);
        QCOMPARE(readTestFile(dir.path() + "/update/update.ini"), QByteArray("V1"));
        QCOMPARE(readTestFile(dir.path() + "/md5.txt"), QByteArray("M1"));
        QCOMPARE(readTestFile(dir.path() + "/a.txt"), QByteArray(result == int(Result::Done) ? "A2" : "A1"));
    }

    // Every failure leaves the installed files as they were; only the
    // downloaded version files and the staging folder are gone.
    void failureUndoesExactly_data()
    {
        QTest::addColumn<FileTree>("installed");
        QTest::addColumn<FileTree>("staged");
        QTest::addColumn<QString>("unreplaceable"); // made so first
        QTest::addColumn<int>("step");

        QTest::newRow("a later file under an installed file")
            << with(kInstalled, {{"/zz", "Z"}}) << with(kStaged, {{"/zz/x", "X"}}) << "" << int(ApplyFailure::Replace);
        // a.txt is in the backup already when d/b.txt cannot follow.
        QTest::newRow("an installed file in use") << kInstalled << kStaged << "/d/b.txt" << int(ApplyFailure::Backup);
#ifndef Q_OS_WIN
        QTest::newRow("backup folder refuses entries")
            << kInstalled << kStaged << "/Backup" << int(ApplyFailure::Backup);
#endif
        FileTree folderInTheWay = kInstalled;
        folderInTheWay.remove("/d/b.txt");
        folderInTheWay.insert("/d/b.txt/x", "X");
        QTest::newRow("folder where a file is expected") << folderInTheWay << kStaged << "" << int(ApplyFailure::Plan);
    }
    void failureUndoesExactly()
    {
        QFETCH(FileTree, installed);
        QFETCH(FileTree, staged);
        QFETCH(QString, unreplaceable);
        QFETCH(int, step);
        QTemporaryDir dir;
        const Install install{dir.path()};
        install.lay(installed, staged, {});
        const auto before = install.tree();
        writeTree(dir.path(), kVersionFiles);
        UnreplaceableFile held;
        if (!unreplaceable.isEmpty()) {
            const QString path = dir.path() + unreplaceable;
            QVERIFY(QFileInfo::exists(path) || QDir().mkpath(path));
            QVERIFY(held.make(path));
        }
        ApplyTransaction t(dir.path(), install.staging(), install.backup(), install.parked());
        const Result r = t.apply("update.exe", kDownloaded);
        held.release();
        QCOMPARE(r, Result::Failed);
        QCOMPARE(int(t.failure().step), step);
        QVERIFY(t.undone());
        // What the unreplaceable path kept from the clean-up goes now.
        QVERIFY(ApplyTransaction(dir.path(), install.staging(), install.backup(), install.parked()).recover()
                != ApplyTransaction::Recovery::Failed);
        auto after = install.tree();
        // Refused before the journal: nothing was touched, not even these.
        QCOMPARE(after.contains("/update/updateTmp.ini"), step == int(ApplyFailure::Plan));
        after.remove("/update/updateTmp.ini");
        after.remove("/update/md5Tmp.txt");
        for (const QString &key : after.keys()) {
            if (key.startsWith("/UpdateTemp/"))
                after.remove(key);
        }
        auto expected = before;
        for (const QString &key : expected.keys()) {
            if (key.startsWith("/UpdateTemp/"))
                expected.remove(key);
        }
        QCOMPARE(after, expected);
        QVERIFY(!QFileInfo::exists(dir.path() + "/update.journal"));
    }

#ifndef Q_OS_WIN
    // A link put where the installation had a folder sends no move and no
    // removal out of the installation: the recovery refuses and keeps its
    // journal, the apply refuses before its journal.
    void linksAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("link"); // made to point to outside/
        QTest::addColumn<int>("phase");    // -1: an apply of kStaged plus lib/x.dll
        QTest::addColumn<QStringList>("journal"); // staging, backup, entry lines
        const QStringList replaceA{"UpdateTemp", "Backup", "replace\ta.txt\tUpdateTemp/a.txt\tBackup/a.txt"};
        QTest::newRow("backup folder undone through") << "Backup" << int(ApplyPhase::Prepared) << replaceA;
        QTest::newRow("staging folder cleaned through") << "UpdateTemp" << int(ApplyPhase::Committed) << replaceA;
        QTest::newRow("added file under a linked folder")
            << "lib" << int(ApplyPhase::Prepared)
            << QStringList{"UpdateTemp", "Backup", "add\tlib/victim.dll\tUpdateTemp/lib/victim.dll"};
        QTest::newRow("work folder other than the configured one")
            << "" << int(ApplyPhase::Committed) << QStringList{"outside", "Backup", replaceA.last()};
        QTest::newRow("apply through a linked folder") << "lib" << -1 << QStringList();
    }
    void linksAreNeverFollowed()
    {
        QFETCH(QString, link);
        QFETCH(int, phase);
        QFETCH(QStringList, journal);
        QTemporaryDir dir;
        const QString outside = dir.path() + "/outside";
        const Install install{dir.path() + "/inst"};
        writeTree(outside, {{"/a.txt", "OUT"}, {"/victim.dll", "V"}, {"/other.txt", "O"}});
        writeTree(install.root, {{"/a.txt", "A2"}, {"/keep.txt", "K"}});
        if (!link.isEmpty())
            QVERIFY(QFile::link(outside, install.root + "/" + link));
        if (journal.isEmpty()) {
            writeTree(install.staging(), {{"/lib/x.dll", "X"}, {"/a.txt", "A3"}});
        } else {
            ApplyJournal j;
            j.phase = ApplyPhase(phase);
            j.staging = journal.at(0);
            j.backup = journal.at(1);
            const QStringList fields = journal.at(2).split("\t");
            j.entries = {{fields.at(0) == "add" ? JournalEntry::Add : JournalEntry::Replace, fields.at(1), fields.at(2),
                          fields.value(3)}};
            writeTestFile(install.root + "/update.journal", serializeJournal(j));
        }
        const auto outsideBefore = hashTree(outside);
        ApplyTransaction t(install.root, install.staging(), install.backup(), install.parked());
        if (journal.isEmpty())
            QCOMPARE(t.apply("update.exe", kDownloaded), Result::Failed);
        else
            QCOMPARE(t.recover(), ApplyTransaction::Recovery::Failed);
        QCOMPARE(int(t.failure().step), int(ApplyFailure::Link));
        QCOMPARE(hashTree(outside), outsideBefore);
        QCOMPARE(readTestFile(install.root + "/a.txt"), QByteArray("A2"));
        QCOMPARE(QFileInfo::exists(install.root + "/update.journal"), !journal.isEmpty());
    }

    // A full file system and a second file system are tmpfs mounts.

    // The installation on a file system with no byte left: nothing is
    // touched, and the reason is the space.
    void fullFileSystem()
    {
        QTemporaryDir dir;
        Tmpfs disk(dir.path() + "/inst", "size=2m,nr_inodes=64");
        QVERIFY(disk.mounted);
        const Install install{disk.path};
        install.lay(kInstalled, kStaged);
        fill(disk.path);
        const auto before = install.tree();
        ApplyTransaction t(disk.path, install.staging(), install.backup(), install.parked());
        QCOMPARE(t.apply("update.exe", kDownloaded), Result::Failed);
        QVERIFY(t.failure().step == ApplyFailure::Space || t.failure().step == ApplyFailure::Journal);
        auto after = install.tree();
        QCOMPARE(after, before);
    }

    // Backup/ on a file system of its own: the backup is copied and
    // flushed; too small for the backup, nothing is touched.
    void backupOnAnotherFileSystem_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("fits");
        QTest::newRow("room enough") << "size=8m" << true;
        QTest::newRow("too small") << "size=1m" << false;
    }
    void backupOnAnotherFileSystem()
    {
        QFETCH(QString, size);
        QFETCH(bool, fits);
        QTemporaryDir dir;
        const Install install{dir.path()};
        const QByteArray big(1536 * 1024, 'b');
        install.lay(with(kInstalled, {{"/big.bin", big}}), with(kStaged, {{"/big.bin", "small now"}}));
        Tmpfs backupFs(install.backup(), size);
        QVERIFY(backupFs.mounted);
        const auto before = install.tree();
        ApplyTransaction t(dir.path(), install.staging(), install.backup(), install.parked());
        QCOMPARE(t.apply("update.exe", kDownloaded), fits ? Result::Done : Result::Failed);
        if (fits) {
            QCOMPARE(readTestFile(dir.path() + "/big.bin"), QByteArray("small now"));
            QCOMPARE(QDir(install.backup()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
                     0);
        } else {
            QCOMPARE(int(t.failure().step), int(ApplyFailure::Space));
            QCOMPARE(install.tree(), before);
        }
    }
#endif

private:
    static FileTree with(FileTree tree, const FileTree &more)
    {
        tree.insert(more);
        return tree;
    }
};

QTEST_GUILESS_MAIN(TestApplyTransaction)
#include "tst_applytransaction.moc"
