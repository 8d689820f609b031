// Signed releases over both roads, with update.exe as a real process against
// nginx and the reference TCP server on 127.0.0.1: a release signed with a
// configured key is installed and its statement recorded; a tampered,
// replayed, stale or unsigned one is refused with the installation left
// byte for byte as it was and nothing of the release left behind. With
// both roads configured, what an HTTP check left never reaches a TCP update.
#include "config/names.h"
#include "http/md5manifest.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/tcpserverprocess.h"
#include "support/testfiles.h"
#include "support/testinstall.h"
#include "trust/statement.h"

#include <QtTest>

#include <memory>

namespace {

enum Tamper {
    None,
    FlipByte,
    SwapFile,
    Truncate,
    ExtraFile,
    Replay,
    EditStatement,
    OtherVersionStatement,
    Expired,
    MissingSignature,
    // On the client's side: the installation was reinstalled at a higher
    // version (no recorded statement), or its key entry holds no key.
    ReinstalledHigher,
    AllowedRollback,
    KeyEntryComma,
    KeyEntryBlank,
    KeyEntryComment,
};

// Files a run writes beside the installation's own.
const QStringList kRunFiles{"/update.log", "/host_started.txt"};

const FileTree kVersion1{{"/app.txt", "app 1"},
                         {"/lib/core.dll", QByteArray(200000, '1')},
                         {"/update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n"}};
const FileTree kVersion2{{"/app.txt", "app 2"}, {"/lib/core.dll", QByteArray(200000, '2')}, {"/lib/new.dll", "new"}};

// Serves www on one road (the reference TCP server, else nginx) and points
// settings at it. False when the server did not start.
bool serve(bool tcp, const QString &www, TcpServerProcess &server, std::unique_ptr<NginxServer> &nginx,
           TestInstall::Settings &settings)
{
    if (tcp) {
        if (!server.start(www))
            return false;
        settings["Server"]["UpdateServer"] = "127.0.0.1";
        settings["Server"]["UpdatePort"] = QString::number(server.port());
        settings["General"]["Version"] = "1.0";
        return true;
    }
    nginx = std::make_unique<NginxServer>(www);
    settings["Update"]["HttpEnable"] = "1";
    settings["Update"]["URL"] = nginx->baseUrl();
    if (!nginx->isRunning())
        qWarning("%s", nginx->errorLog().constData());
    return nginx->isRunning();
}

} // namespace

class TestSignedRelease : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void httpRoad_data() { addRows(); }
    void httpRoad() { runRow(false); }
    void tcpRoad_data() { addRows(); }
    void tcpRoad() { runRow(true); }
    void staleHttpCheckBeforeTcp_data();
    void staleHttpCheckBeforeTcp();
    void rollbackThenUpdateAgain_data();
    void rollbackThenUpdateAgain();

private:
    void addRows();
    void runRow(bool tcp);
    // Publishes version 2 into work/www signed with keyFile, then tampers.
    bool publishTampered(const QString &work, const QString &keyFile, Tamper tamper);

    QTemporaryDir keyDir;
    QString keyFiles[3];
    QString publicKeys[3];
};

void TestSignedRelease::initTestCase()
{
    for (int i = 0; i < 3; ++i) {
        keyFiles[i] = keyDir.filePath(QStringLiteral("key%1").arg(i));
        QByteArray publicKey;
        QCOMPARE(createKeyFile(keyFiles[i], &publicKey), QString());
        publicKeys[i] = QString::fromLatin1(publicKey);
    }
}

void TestSignedRelease::addRows()
{
    QTest::addColumn<int>("tamper");
    QTest::addColumn<int>("signer");       // key that signs the release
    QTest::addColumn<QList<int>>("client"); // keys the client trusts
    QTest::addColumn<QString>("refusal");  // "" for an update that is installed
    const QList<int> a{0};
    QTest::newRow("signed update") << int(None) << 0 << a << QString();
    QTest::newRow("key rotation") << int(None) << 1 << QList<int>{0, 1} << QString();
    QTest::newRow("flipped byte") << int(FlipByte) << 0 << a << QStringLiteral("文件与发布声明不符");
    QTest::newRow("file of another release") << int(SwapFile) << 0 << a << QStringLiteral("文件与发布声明不符");
    QTest::newRow("truncated file") << int(Truncate) << 0 << a << QStringLiteral("文件与发布声明不符");
    QTest::newRow("extra file") << int(ExtraFile) << 0 << a << QStringLiteral("文件未列在发布声明中");
    QTest::newRow("older statement replayed") << int(Replay) << 0 << a << QStringLiteral("旧版本重放");
    QTest::newRow("unknown key") << int(None) << 2 << QList<int>{0, 1} << QStringLiteral("不属于任何已配置的公钥");
    QTest::newRow("edited statement") << int(EditStatement) << 0 << a << QStringLiteral("不属于任何已配置的公钥");
    QTest::newRow("statement of another version") << int(OtherVersionStatement) << 0 << a
                                                  << QStringLiteral("版本与服务端公布的版本不符");
    QTest::newRow("expired") << int(Expired) << 0 << a << QStringLiteral("发布声明已过期");
    QTest::newRow("missing signature") << int(MissingSignature) << 0 << a << QStringLiteral("签名缺失");
    QTest::newRow("older release after a reinstall")
        << int(ReinstalledHigher) << 0 << a << QStringLiteral("低于已安装的版本，且发布声明未允许降级");
    QTest::newRow("rollback the publisher allows") << int(AllowedRollback) << 0 << a << QString();
    const QString noKey = QStringLiteral("Update/PublicKey 已设置但不含任何公钥");
    QTest::newRow("key entry of commas") << int(KeyEntryComma) << 0 << a << noKey;
    QTest::newRow("key entry blank") << int(KeyEntryBlank) << 0 << a << noKey;
    QTest::newRow("key entry read as a comment") << int(KeyEntryComment) << 0 << a << noKey;
}

bool TestSignedRelease::publishTampered(const QString &work, const QString &keyFile, Tamper tamper)
{
    const QString www = work + QStringLiteral("/www");
    const QString release = www + QStringLiteral("/v2/");
    writeTree(work + QStringLiteral("/src"), kVersion2);
    PublishRequest request{work + QStringLiteral("/src"), www, QStringLiteral("2.0"), QStringLiteral("v2"), keyFile,
                           QDateTime(), false, {}};
    if (tamper == Expired)
        request.expires = QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
    request.allowDowngrade = tamper == AllowedRollback;
    if (!publishRelease(request).isEmpty())
        return false;
    QByteArray core = readTestFile(release + "lib/core.dll");
    switch (tamper) {
    case FlipByte:
        core[1000] = core[1000] ^ 1;
        break;
    case SwapFile:
        core = kVersion1.value("/lib/core.dll");
        break;
    case Truncate:
        core.chop(1);
        break;
    case ExtraFile:
        writeTree(release, {{"/lib/extra.dll", "not signed"}});
        break;
    case EditStatement:
        writeTree(release, {{"/release.statement",
                             readTestFile(release + "release.statement").replace("\nsequence\t1\n", "\nsequence\t9\n")}});
        return true;
    case OtherVersionStatement: {
        request.outDir = work + QStringLiteral("/www3");
        request.version = request.folder = QStringLiteral("3.0");
        if (!publishRelease(request).isEmpty())
            return false;
        for (const QString &name : {Names::kStatementFile, Names::kStatementSignatureFile})
            writeTree(release, {{"/" + name, readTestFile(request.outDir + "/3.0/" + name)}});
        return true;
    }
    case MissingSignature:
        return QFile::remove(release + Names::kStatementSignatureFile);
    default:
        return true;
    }
    // A server that changes files also serves a manifest that agrees, and
    // the record of it in update.ini.
    writeTree(release, {{"/lib/core.dll", core}});
    QFile::remove(release + Names::kMd5File);
    generateMd5File(release);
    writeTree(
        www,
        {{"/update.ini", releaseIniText(request.version, request.folder, readTestFile(release + Names::kMd5File))}});
    return true;
}

void TestSignedRelease::runRow(bool tcp)
{
    QFETCH(int, tamper);
    QFETCH(int, signer);
    QFETCH(QList<int>, client);
    QFETCH(QString, refusal);
    QTemporaryDir work;
    QVERIFY(publishTampered(work.path(), keyFiles[signer], Tamper(tamper)));
    const QString www = work.filePath("www");

    TestInstall install;
    TestInstall::Settings settings = TestInstall::defaultSettings();
    std::unique_ptr<NginxServer> nginx;
    TcpServerProcess server;
    QVERIFY(serve(tcp, www, server, nginx, settings));
    QStringList trusted;
    for (int key : client)
        trusted << publicKeys[key];
    // A comma-separated list, which QSettings would split into a list.
    settings["Update"]["PublicKey"] = trusted.join(QLatin1Char(','));
    if (tamper == KeyEntryComma || tamper == KeyEntryBlank)
        settings["Update"]["PublicKey"] = tamper == KeyEntryComma ? QStringLiteral(" , ,") : QString();
    else if (tamper == KeyEntryComment)
        settings["Update"]["PublicKey"] = QLatin1Char(';') + trusted.join(QLatin1Char(','));
    install.writeConfig(settings);
    writeTree(install.path(), kVersion1);
    if (tamper == ReinstalledHigher || tamper == AllowedRollback)
        install.writeFile("update/update.ini", "[Version]\nVersion=3.0\nFolder=v3\n");
    if (tamper == Replay) {
        ReleaseStatement installed;
        installed.version = installed.folder = QStringLiteral("1.0");
        installed.sequence = 99;
        install.writeFile("update/release.statement", serializeStatement(installed));
    }
    generateMd5File(install.path() + QLatin1Char('/'));
    const QMap<QString, QString> before = hashTree(install.path(), kRunFiles);

    const RunResult run = install.runUpdater({"console"}, 60000);
    QVERIFY2(run.finished, run.err.right(2000).constData());
    QCOMPARE(run.out, consoleLine(true, true));
    if (!refusal.isEmpty()) {
        QVERIFY2(run.err.contains(refusal.toUtf8()), run.err.right(2000).constData());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(hashTree(install.path(), kRunFiles), before);
        QCOMPARE(install.hostStarts(), 0);
        return;
    }
    QVERIFY2(run.exitCode == 0, run.err.right(2000).constData());
    QCOMPARE(install.waitForHostStarts(1), 1);
    for (auto it = kVersion2.cbegin(); it != kVersion2.cend(); ++it)
        QCOMPARE(install.readFile(it.key().mid(1)), it.value());
    // The statement is recorded, not installed as a file of the host.
    QCOMPARE(install.readFile("update/release.statement"), readTestFile(www + "/v2/release.statement"));
    for (const char *stray : {"release.statement", "release.statement.sig", "UpdateTemp", "Backup"})
        QVERIFY2(!QFileInfo::exists(install.filePath(stray)), stray);
}

void TestSignedRelease::staleHttpCheckBeforeTcp_data()
{
    QTest::addColumn<QByteArray>("staleIni"); // what the HTTP server answers for update.ini
    QTest::addColumn<bool>("killed");         // the HTTP run was killed with its files downloaded
    QTest::addColumn<bool>("trusted");        // the client checks the release's signature
    const QByteArray v9 = "[Version]\nVersion=9.0\nFolder=v9\n";
    const QByteArray noFolder = "[Version]\nVersion=9.0\n";
    QTest::newRow("md5.txt missing") << v9 << false << false;
    QTest::newRow("update.ini without folder") << noFolder << false << false;
    QTest::newRow("update.ini without folder, signed") << noFolder << false << true;
    QTest::newRow("killed HTTP run, signed") << v9 << true << true;
}

// Both roads configured: an HTTP check that stopped half-way (or an HTTP
// run that was killed) must leave nothing that a later TCP update installs
// or judges the release by.
void TestSignedRelease::staleHttpCheckBeforeTcp()
{
    QFETCH(QByteArray, staleIni);
    QFETCH(bool, killed);
    QFETCH(bool, trusted);
    QTemporaryDir work;
    QVERIFY(publishTampered(work.path(), keyFiles[0], None));
    const QString www = work.filePath("www");
    writeTree(work.filePath("stale"), {{"/update.ini", staleIni}});

    const quint16 port = freeLocalPort();
    TestInstall install;
    TestInstall::Settings settings = TestInstall::defaultSettings();
    settings["Server"]["UpdateServer"] = "127.0.0.1";
    settings["Server"]["UpdatePort"] = QString::number(port);
    settings["General"]["Version"] = "1.0";
    if (trusted)
        settings["Update"]["PublicKey"] = publicKeys[0];
    auto nginx = std::make_unique<NginxServer>(work.filePath("stale"));
    QVERIFY2(nginx->isRunning(), nginx->errorLog().constData());
    settings["Update"]["HttpEnable"] = "1";
    settings["Update"]["URL"] = nginx->baseUrl();
    install.writeConfig(settings);
    writeTree(install.path(), kVersion1);
    generateMd5File(install.path() + QLatin1Char('/'));

    const QStringList versionFiles{"update/updateTmp.ini", "update/md5Tmp.txt"};
    if (killed) {
        install.writeFile(versionFiles[0], staleIni);
        install.writeFile(versionFiles[1], "/app.txt 00000000000000000000000000000000\r\n");
    } else {
        // TCP is down: the HTTP check runs and fails.
        const RunResult check = install.runUpdater({"console"}, 60000);
        QVERIFY2(check.finished, check.err.right(2000).constData());
        QVERIFY2(check.out.contains("\"success\":false"), check.out.constData());
        for (const QString &file : versionFiles)
            QVERIFY2(!QFileInfo::exists(install.filePath(file)), qPrintable(file));
    }
    nginx.reset();

    TcpServerProcess server;
    QVERIFY(server.start(www, {"--port", QString::number(port)}));
    const RunResult run = install.runUpdater({"console"}, 60000);
    QVERIFY2(run.finished, run.err.right(2000).constData());
    QVERIFY2(run.exitCode == 0, run.err.right(400).constData());
    QCOMPARE(run.out, consoleLine(true, true));
    QCOMPARE(install.readFile("update/update.ini"), readTestFile(www + "/update.ini"));
    QCOMPARE(install.readFile("md5.txt"), readTestFile(www + "/v2/md5.txt"));
    for (const QString &file : versionFiles)
        QVERIFY2(!QFileInfo::exists(install.filePath(file)), qPrintable(file));
}

void TestSignedRelease::rollbackThenUpdateAgain_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("keep"); // Update/KeepPrevious
    QTest::newRow("HTTP, kept") << false << true;
    QTest::newRow("TCP, kept") << true << true;
    QTest::newRow("HTTP, KeepPrevious off") << false << false;
}

// "update.exe rollback" after a signed update: the previous version comes
// back byte for byte with its statement, a second rollback is refused, and
// the release rolled back from installs again (its sequence is above the
// restored statement's).
void TestSignedRelease::rollbackThenUpdateAgain()
{
    QFETCH(bool, tcp);
    QFETCH(bool, keep);
    QTemporaryDir work;
    const QString www = work.filePath("www");
    writeTree(work.filePath("src1"), kVersion1);
    QCOMPARE(publishRelease({work.filePath("src1"), www, "1.0", "v1", keyFiles[0], QDateTime(), false, {}}), QString());
    QVERIFY(publishTampered(work.path(), keyFiles[0], None));

    TestInstall install;
    TestInstall::Settings settings = TestInstall::defaultSettings();
    std::unique_ptr<NginxServer> nginx;
    TcpServerProcess server;
    QVERIFY(serve(tcp, www, server, nginx, settings));
    settings["Update"]["PublicKey"] = publicKeys[0];
    settings["Update"]["KeepPrevious"] = keep ? "1" : "0";
    install.writeConfig(settings);
    writeTree(install.path(), kVersion1);
    install.writeFile("update/release.statement", readTestFile(www + "/v1/release.statement"));
    generateMd5File(install.path() + QLatin1Char('/'));
    const QMap<QString, QString> before = hashTree(install.path(), kRunFiles);

    const auto updateToVersion2 = [&](int hostStarts) {
        const RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.right(2000).constData());
        QCOMPARE(run.out, consoleLine(true, true));
        QCOMPARE(install.waitForHostStarts(hostStarts), hostStarts);
        QCOMPARE(install.readFile("app.txt"), kVersion2.value("/app.txt"));
        QCOMPARE(install.readFile("update/release.statement"), readTestFile(www + "/v2/release.statement"));
    };
    updateToVersion2(1);
    QCOMPARE(QFileInfo::exists(install.filePath("UpdatePrevious")), keep);
    const QMap<QString, QString> updated = hashTree(install.path(), kRunFiles);
    const QString nothingKept = QStringLiteral("没有可回退的上一版本（未保留上一版本，或已回退过）");
    const auto refusedRollback = [&](const QMap<QString, QString> &installed) {
        const RunResult run = install.runUpdater({"rollback", "console"}, 60000);
        QVERIFY2(run.finished, run.err.right(2000).constData());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, consoleLine(false, false, nothingKept));
        QVERIFY(run.err.contains(nothingKept.toUtf8()));
        QCOMPARE(hashTree(install.path(), kRunFiles), installed);
    };
    if (!keep) {
        refusedRollback(updated);
        return;
    }

    const RunResult rollback = install.runUpdater({"rollback", "console"}, 60000);
    QVERIFY2(rollback.finished && rollback.exitCode == 0, rollback.err.right(2000).constData());
    QCOMPARE(rollback.out, consoleLine(true, true));
    QCOMPARE(install.waitForHostStarts(2), 2);
    QCOMPARE(hashTree(install.path(), kRunFiles), before);
    refusedRollback(before);
    updateToVersion2(3);
}

QTEST_GUILESS_MAIN(TestSignedRelease)
#include "tst_signedrelease.moc"
