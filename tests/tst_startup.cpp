// update.exe as a real process in throw-away installations: the console
// line, exit codes, the log, the single-instance guard and the run modes.
#include "fileops/applyjournal.h"
#include "platform/instanceguard.h"
#include "platform/raiserequest.h"
#include "support/guardholder.h"
#include "support/tcpserverprocess.h"
#include "support/testinstall.h"
#include "support/unreplaceablefile.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif


namespace {
const QByteArray kNoChannelLine = consoleLine(false, false, QStringLiteral("TCP升级服务连接失败"));
}

class TestStartup : public QObject
{
    Q_OBJECT

private:
    static QString guardKey(const TestInstall &install)
    {
        return InstanceGuard::keyFor(install.path());
    }

    // Writes the journal an apply leaves in the installation.
    static void writeJournal(TestInstall &install, ApplyPhase phase, const QVector<JournalEntry> &entries)
    {
        ApplyJournal journal;
        journal.phase = phase;
        journal.staging = QStringLiteral("UpdateTemp");
        journal.backup = QStringLiteral("Backup");
        journal.entries = entries;
        install.writeFile(QStringLiteral("update.journal"), serializeJournal(journal));
    }

private slots:
    void consoleWithoutChannelPrintsOneJsonLine()
    {
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, kNoChannelLine);
        // Log lines go to standard error in console mode.
        QVERIFY(r.err.contains("Update started"));
        const QByteArray log = install.readFile(QStringLiteral("update.log"));
        QVERIFY(log.left(log.indexOf('\n') + 1).endsWith("Update started\r\n"));
        QVERIFY(log.contains("argv[1] =console\r\n"));
        QCOMPARE(install.hostStarts(), 0);
    }

    void runModeWords_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("json");
        QTest::newRow("console") << QStringList{"console"} << true;
        QTest::newRow("console later") << QStringList{"x", "console"} << true;
        QTest::newRow("Console") << QStringList{"Console"} << false;
        QTest::newRow("consoles") << QStringList{"consoles"} << false;
        QTest::newRow("helper wins") << QStringList{"console", "updatehelper"} << false;
        QTest::newRow("normal") << QStringList{} << false;
    }
    void runModeWords()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, json);
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        const RunResult r = install.runUpdater(args);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.contains("\"errormsg\""), json);
        if (json)
            QCOMPARE(r.out, kNoChannelLine);
    }

    void normalModeLogsInfoButNotDebugToStdout()
    {
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        const RunResult r = install.runUpdater({});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("] [info] ["));
        QVERIFY(r.out.contains("Update started"));
        QVERIFY(!r.out.contains("Command Line Arguments:"));
        QVERIFY(install.readFile(QStringLiteral("update.log")).contains("Command Line Arguments:"));
    }

    void secondInstanceIsRefusedSilently()
    {
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        QVERIFY(InstanceGuard::tryAcquire(guardKey(install)));
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out, QByteArray());
#ifndef Q_OS_WIN
        // Another name of the same updater, a hard link, shares the guard.
        QCOMPARE(::link(QFile::encodeName(install.filePath("update.exe")).constData(),
                        QFile::encodeName(install.filePath("update2.exe")).constData()),
                 0);
        QProcess linked;
        linked.start(install.filePath("update2.exe"), {"console"});
        QVERIFY(linked.waitForFinished(30000));
        QCOMPARE(linked.exitCode(), 1);
        QCOMPARE(linked.readAllStandardOutput(), QByteArray());
#endif

        // A copy in another folder has its own key and runs.
        TestInstall other;
        other.writeConfig(TestInstall::defaultSettings());
        const RunResult o = other.runUpdater({QStringLiteral("console")});
        QCOMPARE(o.exitCode, 0);
        QCOMPARE(o.out, kNoChannelLine);
    }

    void secondStartBringsTheRunningWindowForward()
    {
        // This process plays the running updater: it holds the guard and
        // listens as update.exe does.
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        RaiseListener running(guardKey(install));
        QVERIFY(running.isListening());
        QSignalSpy knocks(&running, &RaiseListener::raiseRequested);
        QVERIFY(InstanceGuard::tryAcquire(guardKey(install)));
        const RunResult second = install.runUpdater({});
        QCOMPARE(second.exitCode, 1);
        QVERIFY(knocks.count() == 1 || knocks.wait(10000));
        QCOMPARE(install.hostStarts(), 0);
    }

    void staleGuardOfKilledProcessIsRecovered()
    {
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        QProcess holder;
        QVERIFY(startGuardHolder(holder, install.filePath(QStringLiteral("update.exe"))));

        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 1);

        killGuardHolder(holder);
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, kNoChannelLine);
    }

#ifndef Q_OS_WIN
    void oneUpdaterPerInstallationWhateverThePath_data()
    {
        // How the second run reaches the folder the first one holds.
        QTest::addColumn<QString>("reach");
        QTest::newRow("another TMPDIR") << "tmpdir";
        QTest::newRow("XDG_RUNTIME_DIR set for one only") << "runtime";
        QTest::newRow("bind mount") << "bind";
    }
    void oneUpdaterPerInstallationWhateverThePath()
    {
        QFETCH(QString, reach);
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        QTemporaryDir firstTemp, secondTemp, runtime, mountPoint;
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment first = QProcessEnvironment::systemEnvironment();
        first.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        QProcessEnvironment second = first;
        first.insert(QStringLiteral("TMPDIR"), firstTemp.path());
        second.insert(QStringLiteral("TMPDIR"), reach == QLatin1String("tmpdir") ? secondTemp.path() : firstTemp.path());
        if (reach == QLatin1String("runtime"))
            first.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        QString folder = install.path();
        const auto unmount = qScopeGuard([&] {
            if (folder != install.path())
                QProcess::execute(QStringLiteral("umount"), {mountPoint.path()});
        });
        if (reach == QLatin1String("bind")) {
            QCOMPARE(QProcess::execute(QStringLiteral("mount"), {"--bind", install.path(), mountPoint.path()}), 0);
            folder = mountPoint.path();
        }
        QProcess holder;
        QVERIFY(startGuardHolder(holder, install.filePath(QStringLiteral("update.exe")), QString(), first));
        QProcess run;
        run.setProcessEnvironment(second);
        run.start(folder + QStringLiteral("/update.exe"), {QStringLiteral("console")});
        QVERIFY(run.waitForFinished(30000));
        killGuardHolder(holder);
        QCOMPARE(run.exitCode(), 1);
        QCOMPARE(run.readAllStandardOutput(), QByteArray());
    }

    void lockHeldByAnotherUserInTheSharedTempDoesNotBlock()
    {
        // Another local user creates and holds a lock file under the name an
        // updater would look for in the temp folder every user may write.
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        const QString shared = QDir::tempPath() + QStringLiteral("/update_guard_")
            + QString::fromLatin1(QCryptographicHash::hash(guardKey(install).toUtf8(), QCryptographicHash::Sha1).toHex())
            + QStringLiteral(".lock");
        QProcess holder;
        holder.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-n", shared,
                                                 "-c", "echo held; exec sleep 60"});
        QVERIFY(QTest::qWaitFor([&] { return holder.readAllStandardOutput().contains("held"); }, 10000));
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        holder.kill();
        holder.waitForFinished();
        QFile::remove(shared);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, kNoChannelLine);
    }
#endif

#ifdef Q_OS_WIN
    void guardIsTheInstallationsLockFileHeldWithoutSharing()
    {
        // Whatever session or account opens the lock file while an updater
        // runs meets a sharing violation: no name of the guard to get wrong.
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        QProcess holder;
        QVERIFY(startGuardHolder(holder, install.filePath(QStringLiteral("update.exe"))));
        QFile lock(InstanceGuard::lockFileFor(guardKey(install)));
        QVERIFY(lock.exists());
        QVERIFY(!lock.open(QIODevice::ReadOnly));
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 1);
        killGuardHolder(holder);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        lock.close();
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 0);
    }
#endif

    void unusableLogFallsBackToConsole_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("stdoutText");
        QTest::newRow("console") << QStringList{"console"} << kNoChannelLine;
        // Log lines on the console end the platform's way (text mode).
#ifdef Q_OS_WIN
        QTest::newRow("normal") << QStringList{} << QByteArray("[INFO] Update started\r\n");
#else
        QTest::newRow("normal") << QStringList{} << QByteArray("[INFO] Update started\n");
#endif
    }
    void unusableLogFallsBackToConsole()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, stdoutText);
        TestInstall install;
        TestInstall::Settings s = TestInstall::defaultSettings();
        s[QStringLiteral("Paths")][QStringLiteral("Log")] = QStringLiteral("logs/");
        install.writeConfig(s);
        // A folder where the log file should be: the file cannot be opened.
        QVERIFY(QDir().mkpath(install.filePath(QStringLiteral("logs/update.log"))));
        const RunResult r = install.runUpdater(args);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err.count("Log initialization failed: "), 1);
        QVERIFY(r.out.startsWith(stdoutText));
        if (args.contains(QStringLiteral("console")))
            QCOMPARE(r.out, stdoutText);
        QVERIFY(!r.out.contains("[DEBUG]") || !args.contains(QStringLiteral("console")));
    }

    void logStaysInTheInstallation_data()
    {
        QTest::addColumn<QString>("log"); // "<out>" stands for a folder outside
        QTest::newRow("parent folder") << "../outside_log/";
        QTest::newRow("absolute") << "<out>/";
#ifndef Q_OS_WIN
        QTest::newRow("folder linked out") << "linked/";
#endif
    }
    void logStaysInTheInstallation()
    {
        QFETCH(QString, log);
        TestInstall install(QStringLiteral("app")); // ../ lies in the test's own folder
        QTemporaryDir outside;
        QVERIFY(QDir().mkpath(install.filePath(QStringLiteral("../outside_log"))));
#ifndef Q_OS_WIN
        QVERIFY(QFile::link(outside.path(), install.filePath(QStringLiteral("linked"))));
#endif
        TestInstall::Settings s = TestInstall::defaultSettings();
        s[QStringLiteral("Paths")][QStringLiteral("Log")] = QString(log).replace(QStringLiteral("<out>"), outside.path());
        install.writeConfig(s);
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 0);
        QVERIFY(install.readFile(QStringLiteral("update.log")).contains("Update started"));
        QVERIFY(!QFileInfo::exists(outside.path() + QStringLiteral("/update.log")));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("../outside_log/update.log"))));
    }

    void unsafeWorkFoldersTouchNothing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("md5"); // an md5.txt lists data/a.txt
        QTest::newRow("empty Temp") << "Temp" << "" << true;
        QTest::newRow("empty Backup") << "Backup" << "" << true;
        QTest::newRow("dot Temp") << "Temp" << "." << true;
        QTest::newRow("outside Temp") << "Temp" << "../elsewhere" << true;
        QTest::newRow("Backup is Temp") << "Backup" << "UpdateTemp" << true;
        QTest::newRow("Backup inside Temp") << "Backup" << "UpdateTemp/b" << true;
        QTest::newRow("Backup holds installed files") << "Backup" << "data" << true;
        QTest::newRow("Temp holds installed files") << "Temp" << "data/" << true;
        QTest::newRow("Backup holds files, no md5.txt") << "Backup" << "data" << false;
        QTest::newRow("Temp holds files, no md5.txt") << "Temp" << "data/" << false;
        QTest::newRow("Temp is the version folder, no md5.txt") << "Temp" << "update/" << false;
        QTest::newRow("Temp holds files no run left") << "Temp" << "UpdateTemp/" << false;
    }
    void unsafeWorkFoldersTouchNothing()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, md5);
        TestInstall install;
        TestInstall::Settings s = TestInstall::defaultSettings();
        s[QStringLiteral("Paths")][key] = value;
        s[QStringLiteral("Update")][QStringLiteral("HttpEnable")] = QStringLiteral("1");
        s[QStringLiteral("Update")][QStringLiteral("URL")] = QStringLiteral("http://127.0.0.1:1/");
        install.writeConfig(s);
        install.writeFile(QStringLiteral("data/a.txt"), "keep");
        install.writeFile(QStringLiteral("update/update.ini"), "[Version]\n");
        if (md5)
            install.writeFile(QStringLiteral("md5.txt"), "00000000000000000000000000000000\t/data/a.txt\r\n");
        install.writeFile(QStringLiteral("UpdateTemp/b.txt"), "keep too");
        const QStringList skip{QStringLiteral("/update.log")};
        const auto before = hashTree(install.path(), skip);
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, consoleLine(false, false, QStringLiteral("临时目录或备份目录配置无效，未执行更新")));
        QCOMPARE(hashTree(install.path(), skip), before);
        QCOMPARE(install.hostStarts(), 0);
    }

    void unsafeWorkFoldersStillStartTheHost()
    {
        // No Paths group: nothing is updated, but the host program is.
        TestInstall install;
        install.writeFile(QStringLiteral("system.cfg"),
                          "[Update]\nHostExe=host\nHttpEnable=1\nURL=http://127.0.0.1:1/\n");
        const RunResult r = install.runUpdater({});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(install.waitForHostStarts(1), 1);
    }

    void minimalConfigWithoutChannelReportsTheChannel()
    {
        // No server, HTTP off and no Paths at all: nothing could be updated,
        // so the run reports the missing channel and touches nothing.
        TestInstall install;
        install.writeFile(QStringLiteral("system.cfg"), "[Update]\nHttpEnable=0\n");
        const auto before = hashTree(install.path(), {QStringLiteral("/update.log")});
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, kNoChannelLine);
        QCOMPARE(hashTree(install.path(), {QStringLiteral("/update.log")}), before);
    }

    void leftoverWorkFoldersGoBeforeTheCheck_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("console") << QStringList{"console"};
        QTest::newRow("normal") << QStringList{};
    }
    void leftoverWorkFoldersGoBeforeTheCheck()
    {
        // An earlier run was stopped half-way through replacing: a.txt is
        // already new, sub/b.txt still old, new.txt added. Its journal is
        // followed: everything is undone.
        QFETCH(QStringList, args);
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        install.writeFile(QStringLiteral("a.txt"), "new a");
        install.writeFile(QStringLiteral("new.txt"), "new");
        install.writeFile(QStringLiteral("sub/b.txt"), "old b");
        install.writeFile(QStringLiteral("UpdateTemp/sub/b.txt"), "new b");
        install.writeFile(QStringLiteral("Backup/a.txt"), "old a");
        writeJournal(install, ApplyPhase::Prepared,
                     {{JournalEntry::Replace, "a.txt", "UpdateTemp/a.txt", "Backup/a.txt"},
                      {JournalEntry::Add, "new.txt", "UpdateTemp/new.txt", QString()},
                      {JournalEntry::Replace, "sub/b.txt", "UpdateTemp/sub/b.txt", "Backup/sub/b.txt"}});
        QCOMPARE(install.runUpdater(args).exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("a.txt")), QByteArray("old a"));
        QCOMPARE(install.readFile(QStringLiteral("sub/b.txt")), QByteArray("old b"));
        for (const char *gone : {"new.txt", "UpdateTemp", "Backup", "update.journal"})
            QVERIFY2(!QFileInfo::exists(install.filePath(gone)), gone);
        QVERIFY(install.readFile(QStringLiteral("update.log")).contains(QStringLiteral("撤销未完成的更新").toUtf8()));
    }

    void committedUpdateIsNeverRestored_data()
    {
        QTest::addColumn<bool>("undeletable");
        QTest::newRow("killed during the clean-up") << false;
        QTest::newRow("a backup file that cannot be removed") << true;
    }
    void committedUpdateIsNeverRestored()
    {
        // The update was committed; its clean-up did not finish. Whatever is
        // left in Backup/ must not come back over the new files.
        QFETCH(bool, undeletable);
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        install.writeFile(QStringLiteral("a.txt"), "new a");
        install.writeFile(QStringLiteral("b.txt"), "new b");
        install.writeFile(QStringLiteral("Backup/a.txt"), "old a");
        writeJournal(install, ApplyPhase::Committed,
                     {{JournalEntry::Replace, "a.txt", "UpdateTemp/a.txt", "Backup/a.txt"},
                      {JournalEntry::Replace, "b.txt", "UpdateTemp/b.txt", "Backup/b.txt"}});
        const QString stuck = install.filePath(QStringLiteral("Backup/a.txt"));
        UnreplaceableFile held;
        if (undeletable)
            QVERIFY(held.make(stuck));
        const RunResult first = install.runUpdater({QStringLiteral("console")});
        held.release();
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QCOMPARE(QFileInfo::exists(install.filePath(QStringLiteral("update.journal"))), undeletable);
        // The next run retries the clean-up.
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("a.txt")), QByteArray("new a"));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("Backup"))));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("update.journal"))));
    }

    void leftoverStagingAloneIsJustRemoved()
    {
        // A download of an earlier run, in the folder it made and marked.
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        install.writeFile(QStringLiteral("a.txt"), "a");
        install.writeFile(QStringLiteral("UpdateTemp/a.txt"), "staged");
        install.writeFile(QStringLiteral("UpdateTemp/.update-work"), QByteArray());
        QVERIFY(QDir().mkpath(install.filePath(QStringLiteral("Backup"))));
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).exitCode, 0);
        QCOMPARE(install.readFile(QStringLiteral("a.txt")), QByteArray("a"));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("UpdateTemp"))));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("Backup"))));
    }

    void failedRestoreKeepsTheBackupAndReports()
    {
        TestInstall install;
        install.writeConfig(TestInstall::defaultSettings());
        // A non-empty folder where the backed-up file belongs cannot be replaced.
        install.writeFile(QStringLiteral("x.txt/inner"), "in the way");
        install.writeFile(QStringLiteral("Backup/x.txt"), "old x");
        writeJournal(install, ApplyPhase::Prepared, {{JournalEntry::Replace, "x.txt", "UpdateTemp/x.txt", "Backup/x.txt"}});
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject json = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(json.value(QStringLiteral("success")).toBool(), false);
        QCOMPARE(json.value(QStringLiteral("update")).toBool(), false);
        QVERIFY(json.value(QStringLiteral("errormsg")).toString().startsWith(QStringLiteral("回退未完成的更新失败: ")));
        QCOMPARE(install.readFile(QStringLiteral("Backup/x.txt")), QByteArray("old x"));
        QVERIFY(QFileInfo::exists(install.filePath(QStringLiteral("update.journal"))));
        QCOMPARE(install.hostStarts(), 0);
    }

    void failedCheckIsNoSuccess_data()
    {
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("errormsg");
        QTest::newRow("HTTP source unreachable") << "http" << QStringLiteral("下载http://127.0.0.1:1/update.ini失败：");
        QTest::newRow("TCP server without a release") << "tcp" << QStringLiteral("服务器返回错误");
        // Cut to 16 bits it would name the server's port: no connection is made.
        QTest::newRow("TCP port out of range") << "tcp 65536+"
                                               << QStringLiteral("TCP升级服务端口无效(应为1-65535): ");
    }
    void failedCheckIsNoSuccess()
    {
        // The check could not be made: the run says so instead of "no update".
        QFETCH(QString, channel);
        QFETCH(QString, errormsg);
        QTemporaryDir empty;
        TcpServerProcess server;
        TestInstall install;
        TestInstall::Settings s = TestInstall::defaultSettings();
        if (channel == QLatin1String("http")) {
            s[QStringLiteral("Update")][QStringLiteral("HttpEnable")] = QStringLiteral("1");
            s[QStringLiteral("Update")][QStringLiteral("URL")] = QStringLiteral("http://127.0.0.1:1/");
        } else {
            QVERIFY(server.start(empty.path()));
            s[QStringLiteral("Server")][QStringLiteral("UpdateServer")] = QStringLiteral("127.0.0.1");
            const int offset = channel == QLatin1String("tcp") ? 0 : 65536;
            s[QStringLiteral("Server")][QStringLiteral("UpdatePort")] = QString::number(server.port() + offset);
        }
        install.writeConfig(s);
        const RunResult r = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(r.exitCode, 0);
        // One line; the reason goes on after its start with the details.
        const QJsonObject json = QJsonDocument::fromJson(r.out).object();
        QVERIFY(r.out.endsWith('\n') && r.out.count('\n') == 1);
        QCOMPARE(json.value("success").toBool(true), false);
        QCOMPARE(json.value("update").toBool(true), false);
        QVERIFY2(json.value("errormsg").toString().startsWith(errormsg), r.out.constData());
    }

    void noUpdateInNormalModeStartsTheHostOnce_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QString();
        // Written to the script in GBK, read back by cmd.exe in code page 936.
        QTest::newRow("chinese, blank") << QStringLiteral("程序 目录");
    }
    void noUpdateInNormalModeStartsTheHostOnce()
    {
        // The HTTP source is unreachable: the check finds nothing to do and a
        // normal run hands over to the host program through the delayed start.
        QFETCH(QString, folder);
        TestInstall install(folder);
        TestInstall::Settings s = TestInstall::defaultSettings();
        s[QStringLiteral("Update")][QStringLiteral("HttpEnable")] = QStringLiteral("1");
        s[QStringLiteral("Update")][QStringLiteral("URL")] = QStringLiteral("http://127.0.0.1:1/");
        install.writeConfig(s);
        QElapsedTimer timer;
        timer.start();
        const RunResult r = install.runUpdater({});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(install.waitForHostStarts(1), 1);
        QVERIFY(timer.elapsed() >= 900); // the script waits one second first
        QThread::msleep(1500);
        QCOMPARE(install.hostStarts(), 1);
        QVERIFY(install.readFile(QStringLiteral("update.log")).contains("Update started"));
    }
};

int main(int argc, char **argv)
{
    if (holdGuardIfAsked(argc, argv))
        return 0;
    QCoreApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
