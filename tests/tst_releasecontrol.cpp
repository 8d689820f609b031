// Release control as a publisher uses it: the staged rollout and its halt,
// the word that takes a release at once, and a rollback made by making an
// earlier release current again. The share's decision is tested in process
// over many installations; update.exe runs as a real process against nginx
// and the reference TCP server on 127.0.0.1 for the rest.
#include "config/releasecontrol.h"
#include "currentrelease.h"
#include "fileops/rolloutgroup.h"
#include "http/md5manifest.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/tcpserverprocess.h"
#include "support/testfiles.h"
#include "support/testinstall.h"
#include "tcp/messages.h"
#include "trust/statement.h"

#include <QtTest>

#include <memory>

namespace {

const QStringList kRunFiles{"/update.log", "/host_started.txt"};
const FileTree kVersion1{{"/app.txt", "app 1"}, {"/lib/core.dll", QByteArray(100000, '1')}};
const FileTree kVersion2{{"/app.txt", "app 2"}, {"/lib/core.dll", QByteArray(100000, '2')}, {"/lib/new.dll", "new"}};

// One road to a folder of releases: nginx for HTTP, the reference server
// for TCP, and the client settings that point at it.
struct Road
{
    std::unique_ptr<NginxServer> nginx;
    TcpServerProcess tcp;

    bool start(bool overTcp, const QString &www)
    {
        if (overTcp)
            return tcp.start(www);
        nginx = std::make_unique<NginxServer>(www);
        return nginx->isRunning();
    }
    TestInstall::Settings settings(const QString &publicKey = QString()) const
    {
        TestInstall::Settings s = TestInstall::defaultSettings();
        if (nginx) {
            s["Update"]["HttpEnable"] = "1";
            s["Update"]["URL"] = nginx->baseUrl();
        } else {
            s["Server"]["UpdateServer"] = "127.0.0.1";
            s["Server"]["UpdatePort"] = QString::number(tcp.port());
        }
        if (!publicKey.isEmpty())
            s["Update"]["PublicKey"] = publicKey;
        return s;
    }
};

// An installation of version 1 as both roads know it.
void installVersion1(TestInstall &install, const TestInstall::Settings &settings)
{
    TestInstall::Settings s = settings;
    s["General"]["Version"] = "1.0";
    install.writeConfig(s);
    writeTree(install.path(), kVersion1);
    install.writeFile("update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n");
    generateMd5File(install.path() + QLatin1Char('/'));
}

QString publish(const QString &work, const FileTree &files, const QString &version, const QString &keyFile,
                int rollout = 100)
{
    const QString src = work + QStringLiteral("/src") + version;
    writeTree(src, files);
    PublishRequest request{src, work + QStringLiteral("/www"), version, QLatin1Char('v') + version, keyFile,
                           QDateTime(), false, {}};
    request.rules.rollout = rollout;
    return publishRelease(request);
}

bool hasFiles(const TestInstall &install, const FileTree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (install.readFile(it.key().mid(1)) != it.value())
            return false;
    }
    return true;
}

} // namespace

class TestReleaseControl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QByteArray publicKeyText;
        QCOMPARE(createKeyFile(keyFile(), &publicKeyText), QString());
        publicKey = QString::fromLatin1(publicKeyText);
    }

    void shareText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("share"); // -1: not a share
        QTest::newRow("unset: everyone") << "" << 100;
        QTest::newRow("halt") << "0" << 0;
        QTest::newRow("whole") << "100" << 100;
        QTest::newRow("part") << "37" << 37;
        QTest::newRow("above all") << "101" << -1;
        QTest::newRow("leading zero") << "050" << -1;
        QTest::newRow("sign") << "+5" << -1;
        QTest::newRow("fraction") << "5.5" << -1;
        QTest::newRow("blank") << " 5" << -1;
    }
    void shareText()
    {
        QFETCH(QString, text);
        QFETCH(int, share);
        QCOMPARE(ReleaseControl::parseRollout(text).value_or(-1), share);
        // The share reaches a TCP client in the reply header as it was.
        if (share >= 0)
            QCOMPARE(TcpProtocol::rolloutOfField(TcpProtocol::rolloutField(share)), share);
    }

    // The header field of a server that predates it (0) or carries another
    // meaning offers the release to everyone.
    void foreignHeaderField_data()
    {
        QTest::addColumn<quint32>("reserved");
        QTest::newRow("none") << 0u;
        QTest::newRow("percent without the flag") << 30u;
        QTest::newRow("flag with a share above all") << (TcpProtocol::kRolloutFlag | 100u);
    }
    void foreignHeaderField()
    {
        QFETCH(quint32, reserved);
        QCOMPARE(TcpProtocol::rolloutOfField(reserved), 100);
    }

    // Many installations draw and keep their groups; the share of those that
    // take a 30 % release lies within five standard deviations of the
    // binomial count (n = 2000, p = 0.3: sd 20.5, so 600 +- 102; a correct
    // draw falls outside about once in two million runs). Every group stays
    // what it was drawn as, and raising the share keeps those it reached.
    void manyInstallations()
    {
        QTemporaryDir root;
        constexpr int kInstallations = 2000;
        int at30 = 0;
        int at60 = 0;
        for (int i = 0; i < kInstallations; ++i) {
            const QString installation = root.filePath(QString::number(i)) + QLatin1Char('/');
            const auto group = installationRolloutGroup(installation);
            QVERIFY(group && *group >= 0 && *group < ReleaseControl::kRolloutGroups);
            QCOMPARE(installationRolloutGroup(installation), group);
            const bool took = ReleaseControl::takesRelease(*group, 30);
            at30 += took;
            at60 += ReleaseControl::takesRelease(*group, 60);
            QVERIFY(!took || ReleaseControl::takesRelease(*group, 60));
            QVERIFY(!ReleaseControl::takesRelease(*group, 0) && ReleaseControl::takesRelease(*group, 100));
        }
        QVERIFY2(qAbs(at30 - 600) <= 102, qPrintable(QString::number(at30)));
        QVERIFY2(qAbs(at60 - 1200) <= 110, qPrintable(QString::number(at60)));
    }

    void rollout_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<int>("share");
        QTest::addColumn<int>("group");       // kept before the run; -1: none yet
        QTest::addColumn<int>("changedTo");   // publisher rollout afterwards; -1: none
        QTest::addColumn<bool>("widened");    // signed, and update.ini rewritten without the share
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<int>("outcome");     // 0 no update, 1 updated, 2 refused after the download
        for (const bool tcp : {false, true}) {
            const char *road = tcp ? "tcp: " : "http: ";
            const QStringList console{"console"};
            const auto row = [road](const char *name) -> QTestData & {
                return QTest::newRow(qPrintable(QString(road) + name));
            };
            row("everyone") << tcp << 100 << -1 << -1 << false << console << 1;
            row("halted") << tcp << 0 << 0 << -1 << false << console << 0;
            row("inside the share") << tcp << 50 << 49 << -1 << false << console << 1;
            row("outside the share") << tcp << 50 << 50 << -1 << false << console << 0;
            row("outside, taken now") << tcp << 50 << 80 << -1 << false << QStringList{"console", "now"} << 1;
            row("halted after publishing") << tcp << 50 << 10 << 0 << false << console << 0;
            row("raised to reach it") << tcp << 10 << 40 << 50 << false << console << 1;
            row("signed share, update.ini widened") << tcp << 30 << 60 << -1 << true << console << 2;
        }
        QTest::newRow("http: outside the share, normal run starts the host")
            << false << 20 << 70 << -1 << false << QStringList() << 0;
    }
    void rollout()
    {
        QFETCH(bool, tcp);
        QFETCH(int, share);
        QFETCH(int, group);
        QFETCH(int, changedTo);
        QFETCH(bool, widened);
        QFETCH(QStringList, words);
        QFETCH(int, outcome);
        QTemporaryDir work;
        const QString www = work.filePath("www");
        const QString key = widened ? keyFile() : QString();
        QCOMPARE(publish(work.path(), kVersion2, "2.0", key, share), QString());
        if (changedTo >= 0) {
            PublishRequest change;
            change.outDir = www;
            change.rules.rollout = changedTo;
            QCOMPARE(changeRollout(change), QString());
        }
        if (widened)
            QVERIFY(writeTestFile(www + "/update.ini", readTestFile(www + "/v2.0.ini")));
        Road road;
        QVERIFY(road.start(tcp, www));
        TestInstall install;
        installVersion1(install, road.settings(widened ? publicKey : QString()));
        if (group >= 0)
            install.writeFile("update/rollout.group", QByteArray::number(group) + '\n');
        const auto before = hashTree(install.path(), kRunFiles);

        const RunResult run = install.runUpdater(words, 60000);
        QVERIFY2(run.finished, run.err.right(2000).constData());
        const QByteArray kept = install.readFile("update/rollout.group");
        // A group is drawn only when a share asks for one.
        QCOMPARE(kept.isEmpty(), share == 100 && group < 0);
        if (outcome == 1) {
            QVERIFY2(run.exitCode == 0, run.err.right(2000).constData());
            QCOMPARE(run.out, consoleLine(true, true));
            QVERIFY(hasFiles(install, kVersion2));
            QCOMPARE(install.readFile("update/update.ini"), readTestFile(www + "/update.ini"));
            return;
        }
        QCOMPARE(hashTree(install.path(), kRunFiles), before);
        if (outcome == 2) {
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.out, consoleLine(true, true));
            QVERIFY2(run.err.contains("发布声明的分阶段发布范围尚未包含本机"), run.err.right(2000).constData());
            return;
        }
        QCOMPARE(run.exitCode, 0);
        if (words.contains("console")) {
            QCOMPARE(run.out, consoleLine(true, false));
        } else {
            QCOMPARE(install.waitForHostStarts(1), 1);
        }
    }

    void publisherRollback_data() { addRoadsAndKeys(); }
    // Version 2 is installed; the publisher makes version 1 current again
    // and the next check installs it, its statement signed anew.
    void publisherRollback()
    {
        QFETCH(bool, tcp);
        QFETCH(bool, signedRelease);
        QTemporaryDir work;
        const QString www = work.filePath("www");
        const QString key = signedRelease ? keyFile() : QString();
        const FileTree version1{{"/app.txt", "app 1"}, {"/lib/core.dll", QByteArray(100000, '1')}};
        QCOMPARE(publish(work.path(), version1, "1.0", key), QString());
        QCOMPARE(publish(work.path(), kVersion2, "2.0", key), QString());
        Road road;
        QVERIFY(road.start(tcp, www));
        TestInstall install;
        TestInstall::Settings settings = road.settings(signedRelease ? publicKey : QString());
        settings["General"]["Version"] = "0.9";
        install.writeConfig(settings);
        writeTree(install.path(), {{"/app.txt", "app 0"}});
        generateMd5File(install.path() + QLatin1Char('/'));

        RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QVERIFY(hasFiles(install, kVersion2));

        PublishRequest rollback;
        rollback.outDir = www;
        rollback.folder = "v1.0";
        rollback.secretKeyFile = key;
        QString version;
        QCOMPARE(makeReleaseCurrent(rollback, &version), QString());
        QCOMPARE(version, QString("1.0"));
        run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QCOMPARE(run.out, consoleLine(true, true));
        QVERIFY(hasFiles(install, version1));
        QCOMPARE(install.readFile("update/update.ini"), readTestFile(www + "/update.ini"));
        if (signedRelease) {
            const auto statement = parseStatement(install.readFile("update/release.statement"));
            QVERIFY(statement && statement->allowDowngrade);
            QCOMPARE(statement->sequence, quint64(3));
        }
    }

    // Without the key a signed release cannot be made current or get a new
    // share: its old statement would be refused as a replay.
    void signedNeedsKey()
    {
        QTemporaryDir work;
        QCOMPARE(publish(work.path(), kVersion2, "2.0", keyFile()), QString());
        const QByteArray before = readTestFile(work.filePath("www/update.ini"));
        PublishRequest change;
        change.outDir = work.filePath("www");
        change.folder = "v2.0";
        change.rules.rollout = 10;
        QVERIFY(makeReleaseCurrent(change).contains("give --key"));
        QVERIFY(changeRollout(change).contains("give --key"));
        QCOMPARE(readTestFile(work.filePath("www/update.ini")), before);
    }

    void moveClients_data() { addRoadsAndKeys(); }
    // Version 2 on the old server moves the client to the new one and to
    // another host program, and tries to drop its key, CA file, places and
    // updater name; the next check goes to the new server, and only the
    // move holds.
    void moveClients()
    {
        QFETCH(bool, tcp);
        QFETCH(bool, signedRelease);
        QTemporaryDir oldPlace;
        QTemporaryDir newPlace;
        const QString key = signedRelease ? keyFile() : QString();
        const FileTree version3{{"/app.txt", "app 3"}};
        QCOMPARE(publish(newPlace.path(), version3, "3.0", key), QString());
        Road next;
        QVERIFY(next.start(tcp, newPlace.filePath("www")));
        const TestInstall::Settings moved = next.settings();
        FileTree version2 = kVersion2;
        version2.insert("/system.cfg",
                        TestInstall::configText({{"Server", moved.value("Server")},
                                                 {"Update",
                                                  {{"URL", moved.value("Update").value("URL")},
                                                   {"HostExe", programName("host2")},
                                                   {"PublicKey", ""},
                                                   {"CaFile", "evil.pem"},
                                                   {"UpdateExe", "evil.exe"}}},
                                                 {"Paths", {{"Temp", "Elsewhere/"}}}}));
        QCOMPARE(publish(oldPlace.path(), version2, "2.0", key), QString());
        Road old;
        QVERIFY(old.start(tcp, oldPlace.filePath("www")));

        TestInstall install;
        // Only the new host program can start.
        QVERIFY(QFile::rename(install.filePath(programName("host")), install.filePath(programName("host2"))));
        const TestInstall::Settings settings = old.settings(signedRelease ? publicKey : QString());
        installVersion1(install, settings);
        RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QVERIFY(hasFiles(install, {{"/app.txt", "app 2"}}));
        QCOMPARE(install.waitForHostStarts(1), 1);
        const QSettings config(install.filePath("system.cfg"), QSettings::IniFormat);
        QCOMPARE(config.value("Update/HostExe").toString(), programName("host2"));
        QCOMPARE(config.value("Update/URL").toString(), moved.value("Update").value("URL"));
        QCOMPARE(config.value("Server/UpdatePort").toString(), moved.value("Server").value("UpdatePort"));
        QCOMPARE(config.value("Update/PublicKey").toString(), settings.value("Update").value("PublicKey"));
        QCOMPARE(config.value("Update/CaFile"), QVariant());
        QCOMPARE(config.value("Update/UpdateExe").toString(), QString("update.exe"));
        QCOMPARE(config.value("Paths/Temp").toString(), QString("UpdateTemp/"));

        run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QCOMPARE(run.out, consoleLine(true, true));
        QVERIFY(hasFiles(install, version3));
        if (tcp)
            QCOMPARE(old.tcp.count("version check"), 1);
    }

    void steppingStone_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<bool>("withStone");
        QTest::addColumn<bool>("signedRelease");
        QTest::addColumn<int>("outcome"); // 0 refused, 1 the stone then the newest, 2 the newest at once
        QTest::newRow("http: below the minimum, stone first") << false << "1.5" << true << false << 1;
        QTest::newRow("http: below the minimum, signed stone first") << false << "1.5" << true << true << 1;
        QTest::newRow("http: at the minimum") << false << "1.0" << true << false << 2;
        QTest::newRow("http: below the minimum, no stone") << false << "1.5" << false << false << 0;
        QTest::newRow("tcp: at the minimum") << true << "1.0" << false << false << 2;
        QTest::newRow("tcp: below the minimum, stone first") << true << "1.5" << true << false << 1;
        QTest::newRow("tcp: below the minimum, signed stone first") << true << "1.5" << true << true << 1;
        // The server offers the newest, as one that predates stepping stones
        // does: the client refuses it once its description arrived.
        QTest::newRow("tcp: below the minimum, no stone") << true << "1.5" << false << false << 0;
    }
    void steppingStone()
    {
        QFETCH(bool, tcp);
        QFETCH(QString, minimum);
        QFETCH(bool, withStone);
        QFETCH(bool, signedRelease);
        QFETCH(int, outcome);
        QTemporaryDir work;
        const QString www = work.filePath("www");
        const QString key = signedRelease ? keyFile() : QString();
        const FileTree stone{{"/app.txt", "app 1.5"}, {"/lib/core.dll", QByteArray(100000, '5')}};
        QCOMPARE(publish(work.path(), stone, "1.5", key), QString());
        writeTree(work.filePath("src2.0"), kVersion2);
        PublishRequest request{work.filePath("src2.0"), www, "2.0", "v2.0", key, QDateTime(), false, {}};
        request.rules.minimumVersion = minimum;
        request.rules.steppingStone = withStone ? "v1.5" : "";
        QCOMPARE(publishRelease(request), QString());
        Road road;
        QVERIFY(road.start(tcp, www));
        TestInstall install;
        TestInstall::Settings settings = road.settings(signedRelease ? publicKey : QString());
        // Every connection of a TCP run asks for the stepping stone's files.
        settings["Server"]["Connections"] = "4";
        installVersion1(install, settings);
        const auto before = hashTree(install.path(), kRunFiles);

        RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished, run.err.right(2000).constData());
        if (outcome == 0) {
            QVERIFY2(run.err.contains("低于新版本要求的最低版本 1.5"), run.err.right(2000).constData());
            // HTTP knows at the check, TCP once the release's description arrived.
            if (tcp)
                QCOMPARE(run.out, consoleLine(true, true));
            else
                QVERIFY2(run.out.startsWith("{\"errormsg\":\"已安装的版本 1.0 低于"), run.out.constData());
            QCOMPARE(run.exitCode, tcp ? 1 : 0);
            QCOMPARE(hashTree(install.path(), kRunFiles), before);
            return;
        }
        QVERIFY2(run.exitCode == 0, run.err.right(2000).constData());
        QCOMPARE(run.out, consoleLine(true, true));
        QVERIFY(hasFiles(install, outcome == 1 ? stone : kVersion2));
        if (outcome == 2)
            return;
        QCOMPARE(install.readFile("update/update.ini"), readTestFile(www + "/v1.5.ini"));
        if (tcp)
            QCOMPARE(road.tcp.count("version check from 1.0: stepping stone 1.5"), 1);
        run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QVERIFY(hasFiles(install, kVersion2));
    }

private:
    // Both roads, each with unsigned and signed releases.
    static void addRoadsAndKeys()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<bool>("signedRelease");
        QTest::newRow("http") << false << false;
        QTest::newRow("http, signed") << false << true;
        QTest::newRow("tcp") << true << false;
        QTest::newRow("tcp, signed") << true << true;
    }
    QString keyFile() const { return keyDir.filePath("secret.key"); }

    QTemporaryDir keyDir;
    QString publicKey;
};

QTEST_GUILESS_MAIN(TestReleaseControl)
#include "tst_releasecontrol.moc"
