// The TCP road from end to end: update.exe console, run as a real process on
// a throw-away installation, against the reference server on 127.0.0.1. It
// checks, downloads, installs the release, restarts the host program (or
// hands a new updater to the helper) and exits; a second run then finds the
// installation up to date.
#include "support/filetree.h"
#include "support/tcpserverprocess.h"
#include "support/testinstall.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kUpdated = consoleLine(true, true);
const QByteArray kUpToDate = consoleLine(true, false);

QByteArray config(quint16 port, const QString &version)
{
    TestInstall::Settings s = TestInstall::defaultSettings();
    s["Update"]["UpdateHelperExe"] = "host";
    s["Server"]["UpdateServer"] = "127.0.0.1";
    s["Server"]["UpdatePort"] = QString::number(port);
    s["General"]["Version"] = version;
    return TestInstall::configText(s);
}

} // namespace

class TestTcpEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void updateOverTcp_data();
    void updateOverTcp();
};

void TestTcpEndToEnd::updateOverTcp_data()
{
    QTest::addColumn<bool>("newUpdater");
    QTest::newRow("release installed, host restarted") << false;
    QTest::newRow("new updater handed to the helper") << true;
}

void TestTcpEndToEnd::updateOverTcp()
{
    QFETCH(bool, newUpdater);
    TestInstall install;
    QVERIFY(install.isValid());
    QTemporaryDir releaseRoot;
    TcpServerProcess server;
    // The server must run before the release names its port in system.cfg:
    // start it on an empty folder, then publish (it reads the release at
    // every version check).
    QVERIFY(server.start(releaseRoot.path()));

    const FileTree installed{
        {"/system.cfg", config(server.port(), "1.0.0")},
        {"/update/update.ini", "[Version]\nVersion=1.0.0\nFolder=v1\n"},
        {"/md5.txt", "manifest 1\r\n"},
        {"/lib/core.dll", "core 1"},
        {"/data/keep.txt", "untouched"},
    };
    writeTree(install.path(), installed);

    QMap<QString, QByteArray> release{
        {"system.cfg", config(server.port(), "2.0.0")},
        {"md5.txt", "manifest 2\r\n"},
        {"lib/core.dll", QByteArray(300000, 'c')},
        {"lib/plugins/new.dll", "new plugin"},
        {"empty.dat", QByteArray()},
    };
    if (newUpdater)
        release.insert("update.exe", "a newer updater");
    writeRelease(releaseRoot.path(), "2.0.0", release, "v2");

    const RunResult run = install.runUpdater({"console"}, 120000);
    QVERIFY2(run.finished, run.err.right(2000).constData());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, kUpdated);
    QCOMPARE(install.waitForHostStarts(1), 1);
    QCOMPARE(install.readFile("host_started.txt"),
             newUpdater ? QByteArray("started update.exe update.exe\n") : QByteArray("started\n"));

    // Every file of the release is in place; the version description and
    // the manifest went to their installed places; nothing else changed.
    QCOMPARE(install.readFile("lib/core.dll"), release.value("lib/core.dll"));
    QCOMPARE(install.readFile("lib/plugins/new.dll"), release.value("lib/plugins/new.dll"));
    QVERIFY(QFileInfo(install.filePath("empty.dat")).isFile());
    QCOMPARE(install.readFile("md5.txt"), release.value("md5.txt"));
    QCOMPARE(install.readFile("update/update.ini"), QByteArray("[Version]\nVersion=2.0.0\nFolder=v2\n"));
    QCOMPARE(install.readFile("data/keep.txt"), QByteArray("untouched"));
    QVERIFY(!QFileInfo::exists(install.filePath("update.ini")));
    QVERIFY(run.err.contains("所有文件下载完成"));

    if (newUpdater) {
        // The helper replaces update.exe; until then the new one waits staged.
        QCOMPARE(install.readFile("UpdateTemp/update.exe"), QByteArray("a newer updater"));
        QVERIFY(install.readFile("update.exe") != release.value("update.exe"));
        return;
    }
    QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp")));
    QVERIFY(!QFileInfo::exists(install.filePath("Backup")));

    // The release carried its system.cfg with the new version: the next
    // check finds nothing to do.
    const RunResult again = install.runUpdater({"console"}, 60000);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out, kUpToDate);
    QCOMPARE(server.count("version check from 2.0.0"), 1);
}

QTEST_GUILESS_MAIN(TestTcpEndToEnd)
#include "tst_tcpendtoend.moc"
