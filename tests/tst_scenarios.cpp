// Whole-system scenarios with real processes on throw-away installations:
// update.exe, the update helper, the fake host program, the publisher tool,
// nginx and the reference TCP server, all on 127.0.0.1.
#include "http/md5manifest.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/tcpserverprocess.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QProcess>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kUpdateLine = consoleLine(true, true);
// Files every run writes beside the installation's own.
const QStringList kRunFiles{"/update.log", "/updatehelper.log", "/host_started.txt"};

QByteArray bytes(char fill, int size, const QByteArray &tag)
{
    QByteArray data(size, fill);
    data.replace(0, tag.size(), tag);
    return data;
}

// Version 1 as installed: a few files, one of them large.
FileTree version1(int bigSize)
{
    return {{"/app.txt", "app 1"},
            {"/lib/core.dll", bytes('c', 1 << 20, "core 1")},
            {"/data/big.bin", bytes('b', bigSize, "big 1")},
            {"/update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n"}};
}

// Version 2 as published: every file of version 1 changed.
FileTree version2(int bigSize)
{
    return {{"/app.txt", "app 2"},
            {"/lib/core.dll", bytes('C', 1 << 20, "core 2")},
            {"/data/big.bin", bytes('B', bigSize, "big 2")}};
}

// The updater of the next release: the real program with a marker appended,
// so it runs and differs from the installed copy.
QByteArray newUpdater()
{
    return readTestFile(builtProgram(QStringLiteral("update.exe"))) + "\nrelease 2 updater\n";
}

// Version 2 with a new updater among its files.
FileTree selfUpdateRelease()
{
    FileTree release = version2(4096);
    release.insert("/update.exe", newUpdater());
    return release;
}

// A version-1 installation with the updater, the helper and the host.
void installVersion1(TestInstall &install, const TestInstall::Settings &settings, int bigSize)
{
    install.writeConfig(settings);
    install.addProgram(QStringLiteral("updatehelper"), programName(QStringLiteral("updatehelper")));
    writeTree(install.path(), version1(bigSize));
    generateMd5File(install.path() + QLatin1Char('/'));
}

TestInstall::Settings httpSettings(const QString &url)
{
    TestInstall::Settings s = TestInstall::defaultSettings();
    s["Update"]["HttpEnable"] = "1";
    s["Update"]["URL"] = url;
    return s;
}

TestInstall::Settings tcpSettings(quint16 port, const QString &version = QStringLiteral("1.0"))
{
    TestInstall::Settings s = TestInstall::defaultSettings();
    s["Server"]["UpdateServer"] = "127.0.0.1";
    s["Server"]["UpdatePort"] = QString::number(port);
    s["General"]["Version"] = version;
    return s;
}

// Publishes tree as version 2.0 into www/ with the publisher tool.
bool publish(const QString &work, const FileTree &tree)
{
    const QString src = work + QStringLiteral("/src");
    writeTree(src, tree);
    return runPublisher(src, work + QStringLiteral("/www"), QStringLiteral("2.0"), QStringLiteral("v2"));
}

// Paths of the published manifest whose installed file differs from it.
QStringList differingFromManifest(const TestInstall &install, const QString &work)
{
    QStringList differing;
    const Md5Map manifest = readMd5File(work + QStringLiteral("/www/v2/md5.txt"));
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        if (md5OfFile(install.path() + it.key()) != it.value())
            differing << it.key();
    }
    return differing;
}

QMap<QString, QString> installedTree(const TestInstall &install)
{
    return hashTree(install.path(), kRunFiles);
}

// update.exe of the installation, started and left running.
void startUpdater(QProcess &process, const TestInstall &install, const QStringList &args)
{
    process.setWorkingDirectory(install.path());
    process.start(install.filePath(QStringLiteral("update.exe")), args);
    process.waitForStarted(10000);
}

} // namespace

class TestScenarios : public QObject
{
    Q_OBJECT

private slots:
    // A release that also carries a new update.exe: the other files are
    // installed, the helper swaps the updater, and the new updater's helper
    // run cleans up and starts the host exactly once.
    void selfUpdate()
    {
        QTemporaryDir work;
        const FileTree release = selfUpdateRelease();
        QVERIFY(publish(work.path(), release));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
        TestInstall install;
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);

        const RunResult run = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, kUpdateLine);
        QCOMPARE(install.waitForHostStarts(1, 20000), 1);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(install.filePath(QStringLiteral("UpdateTmp/update.exe"))); }, 20000));
        QCOMPARE(install.readFile(QStringLiteral("update.exe")), release.value("/update.exe"));
        QCOMPARE(differingFromManifest(install, work.path()), QStringList());
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("UpdateTemp"))));
        QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("Backup"))));
        QThread::msleep(1500);
        QCOMPARE(install.hostStarts(), 1);
    }

#ifdef Q_OS_WIN
    // The host application ships its own Qt DLLs beside update.exe, and a
    // release replaces them. The shipped update.exe loads none of them: an
    // updater that did could neither start beside this Qt5Core.dll (it is no
    // DLL at all) nor overwrite it while running.
    void releaseReplacesTheHostsQtDll()
    {
        QTemporaryDir work;
        FileTree release = version2(4096);
        release.insert("/Qt5Core.dll", bytes('Q', 1 << 20, "Qt5Core 2"));
        QVERIFY(publish(work.path(), release));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY(nginx.isRunning());
        TestInstall install;
        install.writeFile(QStringLiteral("Qt5Core.dll"), bytes('q', 1 << 20, "Qt5Core 1"));
        install.writeFile(QStringLiteral("update.exe"), readTestFile(UPDATER_DIST_DIR "/update.exe"));
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);

        const RunResult run = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, kUpdateLine);
        QCOMPARE(install.readFile(QStringLiteral("Qt5Core.dll")), release.value("/Qt5Core.dll"));
        QCOMPARE(differingFromManifest(install, work.path()), QStringList());
        QCOMPARE(install.waitForHostStarts(1, 20000), 1);
    }
#endif

    // The staged update.exe disappears before the helper runs: the helper
    // restores the old updater, whose HelperFaile run rolls everything back.
    void helperFailureRollsBack()
    {
        QTemporaryDir work;
        QVERIFY(publish(work.path(), selfUpdateRelease()));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY(nginx.isRunning());
        TestInstall install;
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);
        const auto before = installedTree(install);

        const RunResult run = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(run.out, kUpdateLine);
        // The helper starts one second after the updater quit.
        QVERIFY(QFile::remove(install.filePath(QStringLiteral("UpdateTemp/update.exe"))));
        QVERIFY(QTest::qWaitFor([&] { return install.readFile(QStringLiteral("update.log")).contains(QStringLiteral("文件回退完成").toUtf8()); }, 20000));
        QCOMPARE(installedTree(install), before);
        QThread::msleep(1500);
        QCOMPARE(install.hostStarts(), 0);
    }

    // A release whose folder holds update/update.ini (the publisher keeps
    // it): installed, with the published version description winning.
    void releaseWithItsOwnVersionFile()
    {
        QTemporaryDir work;
        FileTree release = version2(4096);
        release.insert("/update/update.ini", "[Version]\nVersion=0.9\n");
        QVERIFY(publish(work.path(), release));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY(nginx.isRunning());
        TestInstall install;
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);

        const RunResult run = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(run.out, kUpdateLine);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(install.readFile("app.txt"), QByteArray("app 2"));
        QCOMPARE(install.readFile("update/update.ini"), readTestFile(work.path() + "/www/update.ini"));
        QCOMPARE(install.runUpdater({QStringLiteral("console")}).out,
                 QByteArray("{\"errormsg\":\"\",\"success\":true,\"update\":false}\n"));
    }

    // A new update.exe but no helper to put it in place: nothing is
    // applied; a console run fails, a normal run starts the host program.
    void selfUpdateWithoutHelperIsRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("hostStarts");
        QTest::newRow("console") << QStringList{"console"} << 1 << 0;
        // Without a display nobody can read the window: the refused update
        // ends the run with 1, after the host has been started.
        QTest::newRow("normal") << QStringList{} << 1 << 1;
    }
    void selfUpdateWithoutHelperIsRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(int, hostStarts);
        QTemporaryDir work;
        QVERIFY(publish(work.path(), selfUpdateRelease()));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY(nginx.isRunning());
        TestInstall install;
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);
        QVERIFY(QFile::remove(install.filePath(programName("updatehelper"))));
        const auto before = installedTree(install);

        const RunResult run = install.runUpdater(args);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(install.waitForHostStarts(hostStarts), hostStarts);
        QVERIFY(install.readFile("update.log").contains(QStringLiteral("更新助手程序不存在").toUtf8()));
        QCOMPARE(installedTree(install), before);
        QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp")));
    }

    // The first staged file cannot be created (a name the file system
    // refuses): the console run ends with exit code 1 and the reason.
    void unwritableFirstFileEndsTheRun()
    {
        QTemporaryDir work;
        QVERIFY(publish(work.path(), version2(4096)));
        const QString manifest = work.path() + "/www/v2/md5.txt";
        Md5Map files = readMd5File(manifest);
        files.insert("/" + QString(300, '0'), QString(32, '0'));
        QVERIFY(writeMd5File(manifest, files));
        // update.ini then keeps no record of the manifest it no longer fits.
        const QString ini = work.path() + "/www/update.ini";
        const QByteArray text = readTestFile(ini);
        QVERIFY(writeTestFile(ini, text.left(text.indexOf("ManifestSize="))));
        NginxServer nginx(work.path() + QStringLiteral("/www"));
        QVERIFY(nginx.isRunning());
        TestInstall install;
        installVersion1(install, httpSettings(nginx.baseUrl()), 4096);

        const RunResult run = install.runUpdater({QStringLiteral("console")});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, kUpdateLine);
        QVERIFY(run.err.contains(QStringLiteral("无法保存文件:").toUtf8()));
        QCOMPARE(install.readFile("app.txt"), QByteArray("app 1"));
    }

#ifndef Q_OS_WIN
    // Windows always has a display (update.exe has no offscreen platform):
    // there the failure stays on screen until the user closes it.

    // A normal run without a display whose install fails (a folder stands
    // where the release has a file): the window names the file and says
    // nothing installed was touched, never "更新完成!"; nobody can close that
    // window, so the run ends on its own with 1, the installation as before
    // and the host program started.
    void failedInstallWithoutDisplay_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("HTTP") << false;
        QTest::newRow("TCP") << true;
    }
    void failedInstallWithoutDisplay()
    {
        QFETCH(bool, tcp);
        QTemporaryDir work;
        QVERIFY(publish(work.path(), version2(4096)));
        std::unique_ptr<NginxServer> nginx;
        std::unique_ptr<TcpServerProcess> server;
        TestInstall::Settings settings;
        if (tcp) {
            server = std::make_unique<TcpServerProcess>();
            QVERIFY(server->start(work.path() + QStringLiteral("/www")));
            settings = tcpSettings(server->port());
        } else {
            nginx = std::make_unique<NginxServer>(work.path() + QStringLiteral("/www"));
            QVERIFY(nginx->isRunning());
            settings = httpSettings(nginx->baseUrl());
        }
        TestInstall install;
        installVersion1(install, settings, 4096);
        QVERIFY(QFile::remove(install.filePath(QStringLiteral("lib/core.dll"))));
        writeTree(install.path(), {{"/lib/core.dll/in-the-way.txt", "x"}});
        // The staging folder and the server's version files may stay for the
        // next run; every installed file must be as it was.
        const QStringList staged = kRunFiles + QStringList{"/UpdateTemp/", "/update/updateTmp.ini", "/update/md5Tmp.txt"};
        const auto before = hashTree(install.path(), staged);

        const RunResult run = install.runUpdater({}, 60000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        const QString log = QString::fromUtf8(install.readFile(QStringLiteral("update.log")));
        const QStringList shown = log.split(QLatin1Char('\n')).filter(QStringLiteral("安装失败（"));
        QVERIFY2(shown.size() == 1, qPrintable(shown.join(QLatin1Char('\n'))));
        const QString line = shown.first().trimmed();
        QVERIFY2(line.contains(tcp ? "TCP升级失败: 安装失败（" : "更新失败 安装失败（") && line.contains("lib/core.dll")
                     && line.endsWith(QStringLiteral("），未改动已安装的文件")),
                 qPrintable(line));
        QVERIFY(!log.contains(QStringLiteral("更新完成!")));
        QVERIFY(!log.contains(QStringLiteral("TCP升级完成")));
        QCOMPARE(hashTree(install.path(), staged), before);
        // The installed version is intact: the application starts.
        QCOMPARE(install.waitForHostStarts(1), 1);
    }
#endif

    // A second updater started while the first downloads exits 1, prints
    // nothing and changes nothing; the first finishes normally.
    void secondUpdaterIsRefused()
    {
        QTemporaryDir work;
        TcpServerProcess server;
        // Slow enough that the first run is still downloading when the
        // second one, started after it, has ended (Wine starts a program in
        // seconds).
        QVERIFY(server.start(work.path() + QStringLiteral("/www"), {"--chunk-delay", "600"}));
        FileTree release = version2(4096);
        release.insert("/system.cfg", TestInstall::configText(tcpSettings(server.port(), QStringLiteral("2.0"))));
        QVERIFY(publish(work.path(), release));
        TestInstall install;
        installVersion1(install, tcpSettings(server.port()), 4096);
        const auto before = hashTree(install.path(), kRunFiles + QStringList{"/UpdateTemp/"});

        QProcess first;
        startUpdater(first, install, {QStringLiteral("console")});
        QVERIFY(QTest::qWaitFor([&] { return server.count(QStringLiteral("file request")) > 0; }, 20000));
        const RunResult second = install.runUpdater({QStringLiteral("console")});
        QCOMPARE(second.exitCode, 1);
        QCOMPARE(second.out, QByteArray());
        QCOMPARE(hashTree(install.path(), kRunFiles + QStringList{"/UpdateTemp/"}), before);

        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(first.readAllStandardOutput(), kUpdateLine);
        QCOMPARE(install.waitForHostStarts(1), 1);
        QCOMPARE(differingFromManifest(install, work.path()), QStringList());
    }

    // The server goes away during the downloads: the run fails and the
    // installation is untouched; with the server back the next run completes.
    void serverGoneMidUpdate()
    {
        QTemporaryDir work;
        TcpServerProcess server;
        // Slow enough that the first run is still downloading when the
        // second one, started after it, has ended (Wine starts a program in
        // seconds).
        QVERIFY(server.start(work.path() + QStringLiteral("/www"), {"--chunk-delay", "600"}));
        const quint16 port = server.port();
        FileTree release = version2(4096);
        release.insert("/system.cfg", TestInstall::configText(tcpSettings(port, QStringLiteral("2.0"))));
        QVERIFY(publish(work.path(), release));
        TestInstall install;
        installVersion1(install, tcpSettings(port), 4096);
        // What arrived whole is kept for the next run among the partial downloads.
        const QStringList skip = kRunFiles + QStringList{"/UpdateTemp/", "/update/partial/"};
        const auto before = hashTree(install.path(), skip);

        QProcess first;
        startUpdater(first, install, {QStringLiteral("console")});
        QVERIFY(QTest::qWaitFor([&] { return server.count(QStringLiteral("file request")) > 0; }, 20000));
        server.stop();
        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(first.exitCode(), 1);
        QCOMPARE(first.readAllStandardOutput(), kUpdateLine);
        QCOMPARE(hashTree(install.path(), skip), before);
        QCOMPARE(install.hostStarts(), 0);

        TcpServerProcess again;
        QVERIFY(again.start(work.path() + QStringLiteral("/www"), {"--port", QString::number(port)}));
        const RunResult next = install.runUpdater({QStringLiteral("console")}, 60000);
        QCOMPARE(next.exitCode, 0);
        QCOMPARE(next.out, kUpdateLine);
        QCOMPARE(install.waitForHostStarts(1), 1);
        QCOMPARE(differingFromManifest(install, work.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestScenarios)
#include "tst_scenarios.moc"
