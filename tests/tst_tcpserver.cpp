// The reference server in-process, against scripted raw clients on
// 127.0.0.1: checks answered from the release read at start and again only
// when update.ini changes; the limits that answer busy; and connections
// that misbehave (oversize, never reading, idle, dripping) each closed by
// its own limit while a well-behaved client is still served. The patch files
// offered beside a release: only the ones its own index lists.
#include "delta/patchindex.h"
#include "release.h"
#include "support/tcpserverprocess.h"
#include "support/testfiles.h"
#include "tcp/messages.h"
#include "updateserver.h"

#include <QCryptographicHash>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// Generous: these bound waits for the server's own limits (a second or
// two), never a measure of its speed.
constexpr int kWaitMs = 30000;

QByteArray versionCheck(const QString &version, bool knowsSteppingStones = false)
{
    VersionCheckRequest request;
    request.version = version;
    request.knowsSteppingStones = knowsSteppingStones;
    return TcpProtocol::encodeMessage(TcpProtocol::VersionCheck, 1, TcpProtocol::encodeVersionCheckRequest(request));
}

QByteArray fileRequest(const QString &name, TcpProtocol::ReleaseChoice release)
{
    return TcpProtocol::encodeMessage(TcpProtocol::FileDownload, 1,
                                      TcpProtocol::encodeFileRequest({QString(), name}, release));
}

// A raw client: connects, writes what it is told, collects whole messages.
class RawClient
{
public:
    QTcpSocket socket;
    TcpProtocol::FrameReader reader;
    QVector<MessageHeader> headers;
    QVector<QByteArray> payloads;

    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            reader.append(socket.readAll());
            MessageHeader header;
            QByteArray payload;
            while (reader.next(header, payload) == TcpProtocol::FrameReader::Status::Message) {
                headers.append(header);
                payloads.append(payload);
            }
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    // The version of the n-th reply, which must be a version reply.
    VersionInfo versionReply(int n) const { return TcpProtocol::decodeVersionReply(payloads.value(n)); }
};

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// The patch of v2's a.dll from "a 1" (seven bytes, as its index says).
const QString kPatch = PatchLayout::patchPath(sha256("a 1"), sha256(QByteArray(1000, 'a')));
const QString kUnlisted = PatchLayout::patchPath(sha256("a 0"), sha256(QByteArray(1000, 'a')));

} // namespace

class TestTcpServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void checksFollowPublishedRelease();
    void limitsAnswerBusy_data();
    void limitsAnswerBusy();
    void misbehavingConnectionClosed_data();
    void misbehavingConnectionClosed();
    void steppingStone_data();
    void steppingStone();
    void patchFilesOffered_data();
    void patchFilesOffered();

private:
    std::unique_ptr<UpdateServer> startServer(const ServeOptions &options);
    QTemporaryDir root;
};

void TestTcpServer::init()
{
    QVERIFY(root.isValid());
    writeRelease(root.path(), QStringLiteral("2.0"), {{QStringLiteral("a.dll"), QByteArray(1000, 'a')}}, QStringLiteral("v2"));
}

std::unique_ptr<UpdateServer> TestTcpServer::startServer(const ServeOptions &base)
{
    ServeOptions options = base;
    options.root = root.path();
    options.threads = 2;
    auto server = std::make_unique<UpdateServer>(options);
    return server->start(QHostAddress::LocalHost, 0) ? std::move(server) : nullptr;
}

void TestTcpServer::checksFollowPublishedRelease()
{
    const std::unique_ptr<UpdateServer> server = startServer({});
    QVERIFY(server);
    RawClient client(server->port());
    client.socket.write(versionCheck(QStringLiteral("1.0")));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 1, kWaitMs);
    QCOMPARE(client.versionReply(0).version, QStringLiteral("2.0"));
    QCOMPARE(client.versionReply(0).files.size(), 2); // a.dll and update.ini

    // A file added to the folder without a new update.ini is not listed:
    // checks are answered from what was read, not from a new look.
    QFile late(root.path() + QStringLiteral("/v2/late.dll"));
    QVERIFY(late.open(QIODevice::WriteOnly));
    late.close();
    client.socket.write(versionCheck(QStringLiteral("1.0")));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 2, kWaitMs);
    QCOMPARE(client.versionReply(1).files.size(), 2);

    // A published release (update.ini written last) is read and served.
    writeRelease(root.path(), QStringLiteral("3.0"), {{QStringLiteral("b.dll"), QByteArray("b")}}, QStringLiteral("v3"));
    client.socket.write(versionCheck(QStringLiteral("1.0")));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 3, kWaitMs);
    const VersionInfo fresh = client.versionReply(2);
    QCOMPARE(fresh.version, QStringLiteral("3.0"));
    QCOMPARE(fresh.files.size(), 2);
    QCOMPARE(fresh.files.at(0).fileName(), QStringLiteral("b.dll"));

    // Installed at the release's version: nothing offered.
    client.socket.write(versionCheck(QStringLiteral("3.0")));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 4, kWaitMs);
    QVERIFY(!client.versionReply(3).needUpdate);
    QCOMPARE(client.versionReply(3).files.size(), 0);
}

void TestTcpServer::limitsAnswerBusy_data()
{
    QTest::addColumn<int>("maxConnections");
    QTest::addColumn<int>("maxPerAddress");
    QTest::newRow("server full") << 2 << 0;
    QTest::newRow("address full") << 0 << 2;
}

void TestTcpServer::limitsAnswerBusy()
{
    QFETCH(int, maxConnections);
    QFETCH(int, maxPerAddress);
    ServeOptions options;
    options.maxConnections = maxConnections;
    options.maxPerAddress = maxPerAddress;
    const std::unique_ptr<UpdateServer> server = startServer(options);
    QVERIFY(server);
    RawClient first(server->port());
    RawClient second(server->port());
    QTRY_COMPARE_WITH_TIMEOUT(server->limits().open(), 2, kWaitMs);

    // The third gets the protocol's error reply, then the connection ends.
    RawClient third(server->port());
    QTRY_COMPARE_WITH_TIMEOUT(third.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(third.headers.size(), 1);
    QCOMPARE(third.headers.at(0).type, quint32(TcpProtocol::ErrorReply));

    // One closes: a newcomer is served again.
    first.socket.abort();
    QTRY_COMPARE_WITH_TIMEOUT(server->limits().open(), 1, kWaitMs);
    RawClient fourth(server->port());
    fourth.socket.write(versionCheck(QStringLiteral("1.0")));
    QTRY_COMPARE_WITH_TIMEOUT(fourth.headers.size(), 1, kWaitMs);
    QCOMPARE(fourth.headers.at(0).type, quint32(TcpProtocol::VersionReply));
}

void TestTcpServer::misbehavingConnectionClosed_data()
{
    QTest::addColumn<QByteArray>("burst");   // written at once
    QTest::addColumn<QByteArray>("drip");    // then one byte of it every 200 ms, over and over
    QTest::addColumn<bool>("reads");         // false: the client takes nothing it is sent
    QTest::addColumn<int>("idleTimeoutSec"); // 0: the connection must end for another reason

    MessageHeader huge;
    huge.type = TcpProtocol::FileDownload;
    huge.length = 64u * 1024u * 1024u;
    QByteArray checks;
    for (int i = 0; i < 50; ++i)
        checks += versionCheck(QStringLiteral("1.0"));
    QByteArray downloads;
    for (int i = 0; i < 50; ++i)
        downloads += TcpProtocol::encodeMessage(TcpProtocol::FileDownload, 1,
                                                TcpProtocol::encodeFileRequest({QString(), QStringLiteral("big.bin")}));
    // The body's start stays within what the system takes at once: a client
    // under Wine that is still writing when the server resets the connection
    // may never hear of the reset.
    QTest::newRow("oversize message announced")
        << TcpProtocol::encodeHeader(huge) + QByteArray(64 * 1024, 'x') << QByteArray() << true << 0;
    QTest::newRow("pipelined checks, never read") << checks << QByteArray() << false << 2;
    QTest::newRow("pipelined downloads, never read") << downloads << QByteArray() << false << 2;
    QTest::newRow("idle") << QByteArray() << QByteArray() << true << 2;
    QTest::newRow("slow drip") << QByteArray() << versionCheck(QStringLiteral("1.0")) << true << 2;
}

void TestTcpServer::misbehavingConnectionClosed()
{
    QFETCH(QByteArray, burst);
    QFETCH(QByteArray, drip);
    QFETCH(bool, reads);
    QFETCH(int, idleTimeoutSec);
    // Fifty of its files outgrow the system's socket buffers.
    writeRelease(root.path(), QStringLiteral("2.0"), {{QStringLiteral("big.bin"), QByteArray(8 * 1024 * 1024, 'b')}},
                 QStringLiteral("v2"));
    ServeOptions options;
    options.idleTimeoutSec = idleTimeoutSec;
    const std::unique_ptr<UpdateServer> server = startServer(options);
    QVERIFY(server);

    RawClient hostile(server->port());
    if (!reads) {
        // Qt stops taking bytes from the system once this much is buffered.
        QObject::disconnect(&hostile.socket, &QTcpSocket::readyRead, nullptr, nullptr);
        hostile.socket.setReadBufferSize(1);
    }
    QVERIFY(hostile.socket.waitForConnected(kWaitMs));
    hostile.socket.write(burst);
    int dripped = 0;
    QTimer dripper;
    QObject::connect(&dripper, &QTimer::timeout, [&] {
        hostile.socket.write(drip.mid(dripped++ % drip.size(), 1));
    });
    if (!drip.isEmpty())
        dripper.start(200);
    // (Only the oversize message is closed at once; the others stay open
    // for two seconds, room enough to see them open on a busy machine.)
    if (idleTimeoutSec > 0)
        QTRY_COMPARE_WITH_TIMEOUT(server->limits().open(), 1, kWaitMs);

    // Meanwhile a well-behaved client is answered.
    RawClient normal(server->port());
    normal.socket.write(versionCheck(QStringLiteral("2.0")));
    QTRY_COMPARE_WITH_TIMEOUT(normal.headers.size(), 1, kWaitMs);
    QCOMPARE(normal.headers.at(0).type, quint32(TcpProtocol::VersionReply));
    normal.socket.abort();

    // The server ended it (a client that reads sees the end).
    if (reads)
        QTRY_COMPARE_WITH_TIMEOUT(hostile.socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(server->limits().open(), 0, kWaitMs);
    // A drip never completes a request: it closed before one would have.
    QVERIFY(drip.isEmpty() || dripped < drip.size());
}

void TestTcpServer::steppingStone_data()
{
    QTest::addColumn<bool>("declares");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("stoneIni"); // the stepping stone's own description; "" for none
    QTest::addColumn<bool>("stoneNamed");  // update.ini names it
    QTest::addColumn<QString>("offered");
    const QString stone = QStringLiteral("[Version]\nVersion=1.5\nFolder=v1.5\n");
    QTest::newRow("below the minimum: the stone") << true << "1.0" << stone << true << "1.5";
    QTest::newRow("at the minimum: the newest") << true << "1.5" << stone << true << "2.0";
    QTest::newRow("below, not declared: the newest") << false << "1.0" << stone << true << "2.0";
    QTest::newRow("below, no stone named: the newest") << true << "1.0" << stone << false << "2.0";
    QTest::newRow("below, stone's description missing: the newest") << true << "1.0" << QString() << true << "2.0";
    QTest::newRow("below, stone's folder missing: the newest")
        << true << "1.0" << QStringLiteral("[Version]\nVersion=1.5\nFolder=gone\n") << true << "2.0";
}

// The newest release needs 1.5 and names a stepping stone; both hold a.dll.
// Which release a check is offered follows the client's version and
// declaration; a tagged file request is served from the stone alone (an
// error reply without one), an untagged one from the newest.
void TestTcpServer::steppingStone()
{
    QFETCH(bool, declares);
    QFETCH(QString, installed);
    QFETCH(QString, stoneIni);
    QFETCH(bool, stoneNamed);
    QFETCH(QString, offered);
    const QString www = root.path() + QLatin1Char('/');
    // Nothing of earlier tests and rows.
    QVERIFY(QDir(www + "v2").removeRecursively() && QDir(www + "v1.5").removeRecursively());
    QFile::remove(www + "v1.5.ini");
    QVERIFY(writeTestFile(www + "v2/a.dll", "newest") && writeTestFile(www + "v2/only.dll", "x"));
    QVERIFY(writeTestFile(www + "v1.5/a.dll", "stone"));
    if (!stoneIni.isEmpty())
        QVERIFY(writeTestFile(www + "v1.5.ini", stoneIni.toUtf8()));
    QVERIFY(writeTestFile(www + "update.ini", "[Version]\nVersion=2.0\nFolder=v2\nMinRequiredVersion=1.5\n"
                                                  + QByteArray(stoneNamed ? "SteppingStone=v1.5\n" : "")));
    const std::unique_ptr<UpdateServer> server = startServer({});
    QVERIFY(server);
    RawClient client(server->port());
    client.socket.write(versionCheck(installed, declares));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 1, kWaitMs);
    const VersionInfo info = client.versionReply(0);
    const bool toStone = offered == QLatin1String("1.5");
    QCOMPARE(info.version, offered);
    QVERIFY(info.needUpdate);
    QCOMPARE(info.files.size(), toStone ? 2 : 3); // with update.ini
    QCOMPARE(TcpProtocol::isSteppingStoneField(client.headers.at(0).reserved), toStone);

    using TcpProtocol::ReleaseChoice;
    client.socket.write(fileRequest("a.dll", ReleaseChoice::SteppingStone) + fileRequest("a.dll", ReleaseChoice::Newest)
                        + fileRequest("only.dll", ReleaseChoice::SteppingStone) + fileRequest("update.ini", ReleaseChoice::SteppingStone));
    QTRY_COMPARE_WITH_TIMEOUT(client.payloads.size(), 5, kWaitMs);
    const bool stoneServed = !stoneIni.isEmpty() && !stoneIni.contains("gone") && stoneNamed;
    QStringList answers;
    for (int i = 1; i < 5; ++i) {
        answers << (client.headers.at(i).type == TcpProtocol::FileData
                        ? QString::fromUtf8(TcpProtocol::decodeFileData(client.payloads.at(i)).data)
                        : QStringLiteral("error"));
    }
    QCOMPARE(answers, QStringList({stoneServed ? "stone" : "error", "newest", "error", stoneServed ? stoneIni : "error"}));
}

void TestTcpServer::patchFilesOffered_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("asked"); // below root; its last level is the file name
    QTest::addColumn<bool>("offered");
    QTest::newRow("index") << "" << PatchLayout::indexPath("v2") << true;
    QTest::newRow("signature") << "" << PatchLayout::signaturePath("v2") << true;
    QTest::newRow("listed patch") << "" << kPatch << true;
    QTest::newRow("another release's index") << "" << PatchLayout::indexPath("v1") << false;
    QTest::newRow("patch the index does not list") << "" << kUnlisted << false;
    QTest::newRow("name leading out") << "" << "_patches/../v2/a.dll" << false;
    QTest::newRow("index of another version") << "other version" << PatchLayout::indexPath("v2") << false;
    QTest::newRow("patch of another size") << "short patch" << kPatch << false;
#ifndef Q_OS_WIN
    // (QFile::link makes a shortcut on Windows.)
    QTest::newRow("patch that is a link") << "linked patch" << kPatch << false;
    QTest::newRow("patch in a linked folder") << "linked folder" << kPatch << false;
    QTest::newRow("patch folder that is a link") << "linked root" << PatchLayout::indexPath("v2") << false;
#endif
}

void TestTcpServer::patchFilesOffered()
{
    QFETCH(QString, setup);
    QFETCH(QString, asked);
    QFETCH(bool, offered);
    const QString patches = root.filePath(PatchLayout::kFolder);
    QFile::remove(patches); // a link an earlier row left
    QDir(patches).removeRecursively();
    PatchIndex index{setup == "other version" ? "1.9" : "2.0", "v2", {}};
    index.patches.append(PatchEntry{"/a.dll", 3, sha256("a 1"), 1000, sha256(QByteArray(1000, 'a')), 7,
                                    sha256("patch 1"), QString(32, '0')});
    // Where the files below the patch folder are written: elsewhere when the
    // folder is a link there.
    QTemporaryDir outside;
    const auto at = [&](const QString &relative) {
        return setup == "linked root" ? outside.filePath(relative.mid(PatchLayout::kFolder.size() + 1)) : root.filePath(relative);
    };
    QVERIFY(writeTestFile(at(PatchLayout::indexPath("v2")), serializePatchIndex(index)));
    QVERIFY(writeTestFile(at(PatchLayout::signaturePath("v2")), "signature\n"));
    QVERIFY(writeTestFile(at(PatchLayout::indexPath("v1")), "an older index\n"));
    QVERIFY(writeTestFile(at(kUnlisted), "patch 0"));
    const QString patch = at(kPatch);
    QVERIFY(writeTestFile(setup == "linked patch" ? outside.filePath("p") : patch, setup == "short patch" ? "patch" : "patch 1"));
    if (setup == "linked root")
        QVERIFY(QFile::link(outside.path(), patches));
    if (setup == "linked patch")
        QVERIFY(QFile::link(outside.filePath("p"), patch));
    if (setup == "linked folder") {
        const QString folder = QFileInfo(patch).path();
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(writeTestFile(outside.filePath(QFileInfo(patch).fileName()), "patch 1"));
        QVERIFY(QFile::link(outside.path(), folder));
    }

    const Release release = scanRelease(root.path());
    QVERIFY2(release.isValid(), qPrintable(release.error));
    const int slash = asked.lastIndexOf('/');
    const FileRequest id{asked.left(slash), asked.mid(slash + 1)};
    const QString found = release.patches.find(id);
    QCOMPARE(!found.isEmpty(), offered);
    if (offered)
        QCOMPARE(QFileInfo(found).canonicalFilePath(), QFileInfo(root.filePath(asked)).canonicalFilePath());
    // Never one of the release's files, which the version reply lists.
    QVERIFY(!release.find(id));
}

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
