// The TCP road from end to end: update.exe console, run as a real process on
// a throw-away installation, against the reference server on 127.0.0.1. It
// checks, downloads, installs the release, records the installed version in
// system.cfg, restarts the host program (or hands a new updater to the
// helper) and exits; a second run then finds the installation up to date.
// A changed file with a published patch is built from it, and from the
// whole file whenever the patch cannot be used.
#include "delta/patchcodec.h"
#include "delta/patchindex.h"
#include "http/md5manifest.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/tcpserverprocess.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kUpdated = consoleLine(true, true);
const QByteArray kUpToDate = consoleLine(true, false);

// The client's own file: CRLF lines, comments (one in GBK) and keys the
// updater does not read, all of which an update must keep. The helper is
// the fake host, named as the file is (the updater checks that it exists).
QByteArray config(quint16 port, const QString &version, int connections)
{
    return "; \xCF\xB5\xCD\xB3\xC5\xE4\xD6\xC3\r\n[Update]\r\nHostExe=host\r\nUpdateExe=update.exe\r\n"
           "UpdateHelperExe=" + programName("host").toUtf8() + "\r\nHttpEnable=0\r\n"
           "[Server]\r\nUpdateServer=127.0.0.1\r\nUpdatePort=" + QByteArray::number(port) + "\r\n"
        + (connections > 1 ? "Connections=" + QByteArray::number(connections) + "\r\n" : QByteArray())
        + "[General]\r\n# installed\r\nVersion=" + version.toUtf8() + "\r\nLastCheckTime=never\r\n"
           "[Paths]\r\nTemp=UpdateTemp/\r\nBackup=Backup/\r\n[Project]\r\nType=1\r\n";
}

} // namespace

class TestTcpEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void updateOverTcp_data();
    void updateOverTcp();
    void serverLostBehindBalancer();
    void patchesOverTcp_data();
    void patchesOverTcp();
};

void TestTcpEndToEnd::updateOverTcp_data()
{
    QTest::addColumn<bool>("newUpdater");
    QTest::addColumn<bool>("shipsConfig");
    QTest::addColumn<int>("connections");
    QTest::addColumn<bool>("fails"); // the large file's transfers all break off: nothing is installed
    QTest::newRow("release installed, version recorded, host restarted") << false << false << 1 << false;
    QTest::newRow("release's own system.cfg keeps the client's trust, places and names") << false << true << 1 << false;
    QTest::newRow("new updater handed to the helper") << true << false << 1 << false;
    QTest::newRow("four connections") << false << false << 4 << false;
    QTest::newRow("four connections, one file fails for good") << false << false << 4 << true;
}

void TestTcpEndToEnd::updateOverTcp()
{
    QFETCH(bool, newUpdater);
    QFETCH(bool, shipsConfig);
    QFETCH(int, connections);
    QFETCH(bool, fails);
    TestInstall install;
    QVERIFY(install.isValid());
    QTemporaryDir releaseRoot;
    TcpServerProcess server;
    // The server must run before the release names its port in system.cfg:
    // start it on an empty folder, then publish (it reads the release at
    // every version check).
    QVERIFY(server.start(releaseRoot.path(), fails ? QStringList{"--drop-after", "2"} : QStringList()));

    const FileTree installed{
        {"/system.cfg", config(server.port(), "1.0.0", connections)},
        {"/update/update.ini", "[Version]\nVersion=1.0.0\nFolder=v1\n"},
        {"/md5.txt", "manifest 1\r\n"},
        {"/lib/core.dll", "core 1"},
        {"/data/keep.txt", "untouched"},
    };
    writeTree(install.path(), installed);

    QMap<QString, QByteArray> release{
        {"lib/core.dll", QByteArray(300000, 'c')},
        {"lib/plugins/new.dll", "new plugin"},
        {"empty.dat", QByteArray()},
    };
    Md5Map digests;
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        digests.insert('/' + it.key(), QCryptographicHash::hash(it.value(), QCryptographicHash::Md5).toHex());
    release.insert("md5.txt", serializeMd5Map(digests));
    if (newUpdater)
        release.insert("update.exe", "a newer updater");
    // A release's file naming another updater, key, staging folder and
    // version, and a product name the client lacks.
    if (shipsConfig)
        release.insert("system.cfg", "[Update]\nUpdateExe=other.exe\nPublicKey=\nCaFile=ca.pem\n[Server]\nConnections=9\n"
                                     "[General]\nVersion=7.7\n[Paths]\nTemp=Elsewhere/\n[Project]\nName=Demo\n");
    writeRelease(releaseRoot.path(), "2.0.0", release, "v2");

    const QMap<QString, QString> before = hashTree(install.path(), {"/update.log"});
    const RunResult run = install.runUpdater({"console"}, 120000);
    QVERIFY2(run.finished, run.err.right(2000).constData());
    QVERIFY(server.count("connection from") >= connections);
    if (fails) {
        // Only core.dll (five chunks) breaks off; its four attempts end the
        // run once (the update announced on standard output failed), and
        // the installation is as it was, with nothing staged.
        QCOMPARE(server.count("file request lib/core.dll"), 4);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, kUpdated);
        QCOMPARE(run.err.count("TCP升级失败: 网络错误，重试失败: core.dll"), 1);
        QCOMPARE(hashTree(install.path(), {"/update.log", "/update/partial/"}), before);
        // What arrived whole was kept: the next run, from a server without
        // faults, takes it by its digest and fetches only core.dll again.
        TcpServerProcess healthy;
        QVERIFY(healthy.start(releaseRoot.path()));
        QVERIFY(writeTestFile(install.filePath("system.cfg"), config(healthy.port(), "1.0.0", connections)));
        const RunResult resumed = install.runUpdater({"console"}, 120000);
        QVERIFY2(resumed.exitCode == 0, resumed.err.right(2000).constData());
        QCOMPARE(healthy.count("file request lib/plugins/new.dll"), 0);
        QCOMPARE(healthy.count("file request empty.dat"), 0);
        QCOMPARE(healthy.count("file request lib/core.dll"), 1);
        QCOMPARE(install.readFile("lib/core.dll"), release.value("lib/core.dll"));
        QCOMPARE(install.readFile("lib/plugins/new.dll"), release.value("lib/plugins/new.dll"));
        QVERIFY(!QFileInfo::exists(install.filePath("update/partial")));
        return;
    }
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
    // The installed version is recorded in place: only its value changed.
    // ([Project] is the last group: the release's new key ends the file.)
    QCOMPARE(install.readFile("system.cfg"), config(server.port(), "2.0.0", connections) + (shipsConfig ? "Name=Demo\r\n" : ""));

    // So the next check finds nothing to do.
    const RunResult again = install.runUpdater({"console"}, 60000);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out, kUpToDate);
    QCOMPARE(server.count("version check from 2.0.0"), 1);
}

// Two servers on one release folder behind nginx's TCP balancer: the one
// streaming the large file is stopped in the middle of it, and the
// client's retry reaches the other through the same address.
void TestTcpEndToEnd::serverLostBehindBalancer()
{
    TestInstall install;
    QVERIFY(install.isValid());
    QTemporaryDir releaseRoot;
    const QByteArray big(600000, 'b');
    writeRelease(releaseRoot.path(), "2.0.0", {{"md5.txt", "manifest 2\r\n"}, {"lib/core.dll", big}}, "v2");
    // Slow enough (about three seconds) to be stopped in the middle.
    const QStringList paced{"--chunk-size", "4096", "--chunk-delay", "20"};
    TcpServerProcess servers[2];
    QVERIFY(servers[0].start(releaseRoot.path(), paced));
    QVERIFY(servers[1].start(releaseRoot.path(), paced));
    NginxServer balancer(QVector<quint16>{servers[0].port(), servers[1].port()});
    QVERIFY2(balancer.isRunning(), balancer.errorLog().constData());
    writeTree(install.path(), {
                                  {"/system.cfg", config(balancer.port(), "1.0.0", 1)},
                                  {"/update/update.ini", "[Version]\nVersion=1.0.0\nFolder=v1\n"},
                                  {"/md5.txt", "manifest 1\r\n"},
                              });

    int stopped = -1;
    const RunResult run = install.runUpdater({"console"}, 120000, [&] {
        for (int i = 0; i < 2 && stopped < 0; ++i) {
            if (servers[i].count("file request lib/core.dll") > 0) {
                servers[i].stop();
                stopped = i;
            }
        }
    });
    QVERIFY2(run.finished, run.err.right(2000).constData());
    QVERIFY(stopped >= 0);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, kUpdated);
    QVERIFY(run.err.contains("重试下载: core.dll"));
    QCOMPARE(servers[1 - stopped].count("file request lib/core.dll"), 1);
    QCOMPARE(install.readFile("lib/core.dll"), big);
    QCOMPARE(install.readFile("update/update.ini"), QByteArray("[Version]\nVersion=2.0.0\nFolder=v2\n"));
}

void TestTcpEndToEnd::patchesOverTcp_data()
{
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QByteArray>("logged");
    QTest::addColumn<int>("patchRequests"); // of app.dll's patch
    QTest::addColumn<int>("wholeRequests"); // of app.dll itself
    QTest::newRow("patch") << false << "" << QByteArray("patch /app.dll: ") << 1 << 0;
    QTest::newRow("patch, signed") << true << "" << QByteArray("patch /app.dll: ") << 1 << 0;
    // The server answers the request for the index with an error.
    QTest::newRow("published without patches") << false << "no patches" << QByteArray("no patch index") << 0 << 1;
    QTest::newRow("base changed by the user") << false << "user edit" << QByteArray("full /app.dll: no patch") << 0 << 1;
    QTest::newRow("patch corrupt, signed")
        << true << "patch corrupt" << QByteArray("full /app.dll: the patch failed (malformed)") << 1 << 1;
    // The index lists it, the file is gone: the server answers with an error.
    QTest::newRow("patch missing on the server")
        << false << "patch missing" << QByteArray("full /app.dll: the patch failed (服务器返回错误)") << 1 << 1;
    // Index and patch replaced by one that decodes to other bytes: only the
    // manifest's digest stands between them and the installation.
    QTest::newRow("patch decodes to other bytes")
        << false << "other target" << QByteArray("full /app.dll: the patch failed (target mismatch)") << 1 << 1;
    const QByteArray unsignedIndex("the patch index is not signed by a trusted key, every changed file is fetched whole");
    QTest::newRow("index not signed, signed release") << true << "index unsigned" << unsignedIndex << 0 << 1;
    QTest::newRow("index and patch replaced, signed release") << true << "other target" << unsignedIndex << 0 << 1;
    // The connection drops after the patch's first chunk (the four requests
    // before it are single chunks): the file comes whole.
    QTest::newRow("cut during the patch") << false << "cut" << QByteArray("full /app.dll: the patch failed (") << 1 << 1;
}

void TestTcpEndToEnd::patchesOverTcp()
{
    QFETCH(bool, signedRelease);
    QFETCH(QString, tamper);
    QFETCH(QByteArray, logged);
    QFETCH(int, patchRequests);
    QFETCH(int, wholeRequests);
    QTemporaryDir work;
    const QString www = work.filePath("www");
    const QByteArray app1 = randomBytes(300000, 1);
    // A patch of some 20 kB: several chunks of the cut row's server.
    const QByteArray app2 = QByteArray(app1).replace(150000, 20000, randomBytes(20000, 2));
    const FileTree v1{{"/app.dll", app1}, {"/same.txt", "same"}};
    const FileTree v2{{"/app.dll", app2}, {"/same.txt", "same"}, {"/new.bin", "new"}};
    writeTree(work.filePath("v1"), v1);
    writeTree(work.filePath("v2"), v2);
    PublishRequest request;
    request.sourceDir = work.filePath("v2");
    request.outDir = www;
    request.version = "2.0";
    request.folder = "v2";
    QByteArray publicKey;
    if (signedRelease) {
        request.secretKeyFile = work.filePath("secret.key");
        QVERIFY(createKeyFile(request.secretKeyFile, &publicKey).isEmpty());
    }
    if (tamper != "no patches")
        request.previousDirs = QStringList{work.filePath("v1")};
    QVERIFY(publishRelease(request).isEmpty());
    const QString patch = PatchLayout::patchPath(QCryptographicHash::hash(app1, QCryptographicHash::Sha256),
                                                 QCryptographicHash::hash(app2, QCryptographicHash::Sha256));
    if (tamper == "patch corrupt") {
        const QString patchFile = www + '/' + patch;
        QByteArray bytes = readTestFile(patchFile);
        bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
        QVERIFY(writeTestFile(patchFile, bytes));
    } else if (tamper == "patch missing") {
        QVERIFY(QFile::remove(www + '/' + patch));
    } else if (tamper == "index unsigned") {
        QVERIFY(QFile::remove(www + '/' + PatchLayout::signaturePath("v2")));
    } else if (tamper == "other target") {
        // A patch from the installed bytes to others, listed under the
        // release's target as the index's patch.
        const QByteArray other = QByteArray(app2).replace(0, 5, "other");
        const QByteArray forged = Delta::makePatch(app1, other, 3);
        QVERIFY(writeTestFile(www + '/' + patch, forged));
        const QString indexFile = www + '/' + PatchLayout::indexPath("v2");
        auto index = parsePatchIndex(readTestFile(indexFile));
        QVERIFY(index && index->patches.size() == 1);
        PatchEntry &entry = index->patches[0];
        entry.patchSize = forged.size();
        entry.patchSha256 = QCryptographicHash::hash(forged, QCryptographicHash::Sha256);
        entry.patchMd5 = QCryptographicHash::hash(forged, QCryptographicHash::Md5).toHex();
        QVERIFY(writeTestFile(indexFile, serializePatchIndex(*index)));
    }

    TcpServerProcess server;
    const QStringList cut{"--chunk-size", "4096", "--drop-after", "1", "--faulty-requests", "4"};
    QVERIFY(server.start(www, tamper == "cut" ? cut : QStringList()));
    TestInstall install;
    TestInstall::Settings settings = TestInstall::defaultSettings();
    settings["Server"]["UpdateServer"] = "127.0.0.1";
    settings["Server"]["UpdatePort"] = QString::number(server.port());
    settings["General"]["Version"] = "1.0";
    if (signedRelease)
        settings["Update"]["PublicKey"] = QString::fromLatin1(publicKey);
    install.writeConfig(settings);
    writeTree(install.path(), v1);
    install.writeFile("update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n");
    generateMd5File(install.path() + '/');
    if (tamper == "user edit")
        install.writeFile("app.dll", QByteArray(app1).replace(0, 4, "user"));

    const RunResult run = install.runUpdater({"console"}, 60000);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
    QCOMPARE(run.out, kUpdated);
    for (auto it = v2.cbegin(); it != v2.cend(); ++it)
        QVERIFY2(install.readFile(it.key().mid(1)) == it.value(), qPrintable(it.key()));
    QVERIFY2(run.err.contains(logged), run.err.right(2000).constData());
    // A file built from its patch never crossed whole.
    QCOMPARE(server.count("file request app.dll"), wholeRequests);
    QCOMPARE(server.count("file request " + patch), patchRequests);
    QCOMPARE(server.count("transfer of " + patch + " dropped"), tamper == "cut" ? 1 : 0);
    QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp")));
    QCOMPARE(QDir(install.filePath("update")).entryList(QStringList{"patch*"}, QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestTcpEndToEnd)
#include "tst_tcpendtoend.moc"
