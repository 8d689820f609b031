// The update helper program as a real process on throw-away installations:
// it waits for the updater to exit, swaps update.exe, and starts the updater
// again in update helper mode.
#include "fileops/applyjournal.h"
#include "platform/instanceguard.h"
#include "support/guardholder.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QProcess>
#include <QThread>
#include <QtTest>


class TestUpdateHelper : public QObject
{
    Q_OBJECT

private:
    // The new updater: the real one with a marker appended, so it still runs
    // and its bytes differ from the installed copy.
    static QByteArray newUpdater()
    {
        return readTestFile(builtProgram(QStringLiteral("update.exe"))) + QByteArrayLiteral("\nnew updater build\n");
    }

    // An installation as the updater hands it over: a.txt replaced (its
    // old bytes in the backup), the new update.exe still to be swapped in.
    static void prepare(TestInstall &install)
    {
        install.writeConfig(TestInstall::defaultSettings());
        install.addProgram(QStringLiteral("updatehelper"), programName(QStringLiteral("updatehelper")));
        install.writeFile("a.txt", "new a");
        install.writeFile("Backup/a.txt", "old a");
        const ApplyJournal journal{ApplyPhase::Handover, "UpdateTemp", "Backup", {},
                                   {{JournalEntry::Replace, "a.txt", "UpdateTemp/a.txt", "Backup/a.txt"},
                                    {JournalEntry::Updater, "update.exe", "UpdateTemp/update.exe", "UpdateTmp/update.exe"}}};
        install.writeFile("update.journal", serializeJournal(journal));
    }

    static RunResult runHelper(const TestInstall &install, int timeoutMs = 30000)
    {
        RunResult result;
        QProcess p;
        p.setWorkingDirectory(install.path());
        p.start(install.filePath(programName(QStringLiteral("updatehelper"))), {QStringLiteral("update.exe"), QStringLiteral("update.exe")});
        result.finished = p.waitForFinished(timeoutMs);
        result.exitCode = p.exitCode();
        result.out = p.readAllStandardOutput();
        return result;
    }

private slots:
    void swapsTheUpdaterAndFinishes()
    {
        TestInstall install;
        prepare(install);
        const QByteArray fresh = newUpdater();
        install.writeFile(QStringLiteral("UpdateTemp/update.exe"), fresh);

        const RunResult r = runHelper(install);
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("update.exe")), fresh);
        QVERIFY(QFileInfo(install.filePath(QStringLiteral("update.exe"))).isExecutable());
        QCOMPARE(install.readFile("a.txt"), QByteArray("new a"));
        // The started updater's HelperSuccess run cleans up and starts the host.
        QCOMPARE(install.waitForHostStarts(1), 1);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(install.filePath(QStringLiteral("UpdateTemp"))); }, 10000));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("Backup"))));
        // The old updater was parked in UpdateTmp/; the folder is gone now.
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(install.filePath(QStringLiteral("UpdateTmp"))); }, 10000));
        const QByteArray log = install.readFile(QStringLiteral("update.log"));
        QVERIFY(log.contains("argv[1] =updatehelper"));
        QVERIFY(log.contains("argv[2] =HelperSuccess"));
        QVERIFY(install.readFile(QStringLiteral("updatehelper.log")).contains("update.exe"));
    }

    void missingStagedUpdaterKeepsTheOldOne()
    {
        TestInstall install;
        prepare(install);
        QVERIFY(QDir().mkpath(install.filePath(QStringLiteral("UpdateTemp"))));
        const QByteArray old = install.readFile(QStringLiteral("update.exe"));

        const RunResult r = runHelper(install);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(install.readFile(QStringLiteral("update.exe")), old);
        // The old updater's HelperFaile run rolls the installation back.
        QVERIFY(QTest::qWaitFor([&] { return install.readFile(QStringLiteral("a.txt")) == "old a"; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(install.filePath(QStringLiteral("Backup"))); }, 10000));
        // The log reaches its file when the updater exits.
        QVERIFY(QTest::qWaitFor([&] { return install.readFile(QStringLiteral("update.log")).contains("HelperFaile"); }, 10000));
        QThread::msleep(1500);
        QCOMPARE(install.hostStarts(), 0);
    }

    void unsafeSettingsTouchNothing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("UpdateExe with path") << "UpdateExe" << "../update.exe";
        QTest::newRow("UpdateExe dot dot") << "UpdateExe" << "..";
        QTest::newRow("Temp outside") << "Temp" << "../t";
        QTest::newRow("Temp empty") << "Temp" << "";
    }
    void unsafeSettingsTouchNothing()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        TestInstall install;
        prepare(install);
        TestInstall::Settings s = TestInstall::defaultSettings();
        const QString group = key == QLatin1String("Temp") ? QStringLiteral("Paths") : QStringLiteral("Update");
        s[group][key] = value;
        install.writeConfig(s);
        install.writeFile(QStringLiteral("UpdateTemp/update.exe"), newUpdater());
        const QStringList skip{QStringLiteral("/updatehelper.log")};
        const auto before = hashTree(install.path(), skip);
        QCOMPARE(runHelper(install).exitCode, 2);
        QCOMPARE(hashTree(install.path(), skip), before);
    }

    void waitsUntilTheUpdaterHasExited()
    {
        TestInstall install;
        prepare(install);
        const QByteArray fresh = newUpdater();
        install.writeFile(QStringLiteral("UpdateTemp/update.exe"), fresh);

        // Another process holds the updater's guard, as a running update.exe would.
        QProcess holder;
        QVERIFY(startGuardHolder(holder, install.filePath(QStringLiteral("update.exe"))));

        QProcess helper;
        helper.start(install.filePath(programName(QStringLiteral("updatehelper"))), {QStringLiteral("update.exe"), QStringLiteral("update.exe")});
        QVERIFY(!helper.waitForFinished(1500));
        QVERIFY(install.readFile(QStringLiteral("update.exe")) != fresh);

        killGuardHolder(holder);
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(install.readFile(QStringLiteral("update.exe")), fresh);
        QCOMPARE(install.waitForHostStarts(1), 1);
    }

    // The old updater has let its guard go but still runs (as while it
    // exits): Windows refuses to overwrite a running program, so it is
    // renamed aside for the new one.
    void replacesAnUpdaterThatStillRuns()
    {
        TestInstall install;
        prepare(install);
        const QByteArray fresh = newUpdater();
        install.writeFile(QStringLiteral("UpdateTemp/update.exe"), fresh);
        const QString installed = install.filePath(QStringLiteral("update.exe"));
        QVERIFY(QFile::remove(installed) && QFile::copy(QCoreApplication::applicationFilePath(), installed));
        QTemporaryDir elsewhere;
        QProcess running;
        QVERIFY(startGuardHolder(running, elsewhere.filePath(QStringLiteral("update.exe")), installed));

        const RunResult r = runHelper(install);
        killGuardHolder(running);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("update.exe")), fresh);
        QCOMPARE(install.waitForHostStarts(1), 1);
    }
};

int main(int argc, char **argv)
{
    if (holdGuardIfAsked(argc, argv))
        return 0;
    QCoreApplication app(argc, argv);
    TestUpdateHelper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatehelper.moc"
