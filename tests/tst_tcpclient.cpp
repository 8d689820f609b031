// QUpdateTcpClient against the reference server (a real process on
// 127.0.0.1) and against a scripted peer for malformed streams.
#include "support/memorysink.h"
#include "support/testfiles.h"
#include "support/tcpserverprocess.h"
#include "tcp/messages.h"
#include "tcp/updatetcpclient.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace TcpProtocol;

namespace {

// Answers the first request it receives with scripted bytes.
class ScriptedPeer : public QObject
{
public:
    QByteArray answer;

    ScriptedPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this] {
                peer->readAll();
                if (!answer.isEmpty()) {
                    peer->write(answer);
                    peer->flush();
                    answer.clear();
                }
            });
        });
    }
    quint16 port() const { return server.serverPort(); }

private:
    QTcpServer server;
    QTcpSocket *peer = nullptr;
};

QByteArray versionReplyMessage(const QString &version)
{
    VersionReplyContent content;
    content.needUpdate = true;
    content.version = version;
    content.productCode = 2;
    return encodeMessage(VersionReply, 0, encodeVersionReply(content));
}

VersionCheckRequest request(const QString &version)
{
    return VersionCheckRequest{version, QStringLiteral("1"), 1};
}

const FileRequest kBig{QStringLiteral("sub/dir"), QStringLiteral("big.bin")};

} // namespace

class TestTcpClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void connectFailureThenRetry();
    void versionCheck_data();
    void versionCheck();
    void versionCheckServerError();
    void requestsNeedConnection();
    void multiChunkDownloads();
    void requestsSideBySide();
    void downloadFailures_data();
    void downloadFailures();
    void slowMovingTransferIsNotCut();
    void tricklingTransferIsCut();
    void fileDataDoesNotProlongVersionCheck();
    void retryAfterStallStartsClean();
    void scriptedFileData_data();
    void scriptedFileData();
    void cancelEndsWait();
    void scriptedStreams_data();
    void scriptedStreams();
    void overlongFrameClosesConnection();

private:
    bool startServer(const QStringList &options = {});

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<TcpServerProcess> server;
    QMap<QString, QByteArray> releaseFiles;
};

void TestTcpClient::initTestCase()
{
    qRegisterMetaType<uint32_t>("uint32_t");
    qRegisterMetaType<VersionInfo>();
}

void TestTcpClient::init()
{
    dir.reset(new QTemporaryDir);
    server.reset(new TcpServerProcess);
    releaseFiles = {
        {QStringLiteral("sub/dir/big.bin"), randomBytes(200000, 1)},
        {QStringLiteral("empty.txt"), QByteArray()},
        {QStringLiteral("md5.txt"), QByteArray("d41d8cd98f00b204e9800998ecf8427e\t/empty.txt\r\n")},
    };
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
}

bool TestTcpClient::startServer(const QStringList &options)
{
    return server->start(dir->path(), QStringList{QStringLiteral("--chunk-size"), QStringLiteral("7000")} + options);
}

void TestTcpClient::connectFailureThenRetry()
{
    // A port that was free a moment ago: nothing listens there.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QUpdateTcpClient client;
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QVERIFY(!client.connectToServer(QStringLiteral("127.0.0.1"), closedPort, 2000));
    QCOMPARE(client.state(), QUpdateTcpClient::Error);
    QVERIFY(!client.lastError().isEmpty());
    QCOMPARE(errors.count(), 1);

    QVERIFY(startServer());
    QSignalSpy connected(&client, &QUpdateTcpClient::connected);
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QVERIFY(client.isConnected());
    QCOMPARE(connected.count(), 1);
    QVERIFY(!client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QCOMPARE(client.lastError(), QStringLiteral("已经连接或正在连接中"));
    QVERIFY(client.isConnected());
}

void TestTcpClient::versionCheck_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<QStringList>("files");

    const QStringList all{"/empty.txt", "/md5.txt", "/update.ini", "sub/dir/big.bin"};
    QTest::newRow("older version") << "1.0" << true << all;
    QTest::newRow("newer version counts too") << "3.0" << true << all;
    QTest::newRow("same version") << "2.0" << false << QStringList();
}

void TestTcpClient::versionCheck()
{
    QFETCH(QString, installed);
    QVERIFY(startServer());
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);

    const VersionInfo info = client.sendVersionCheck(request(installed), 10000);
    QTEST(info.needUpdate, "needUpdate");
    QCOMPARE(info.version, QStringLiteral("2.0"));
    QCOMPARE(info.productName, QStringLiteral("Pelican")); // the server echoes the product type
    QStringList files;
    for (const FileEntry &entry : info.files)
        files << entry.filePath() + QLatin1Char('/') + entry.fileName();
    QTEST(files, "files");
    QCOMPARE(checked.count(), 1);
}

void TestTcpClient::versionCheckServerError()
{
    // A release folder without update.ini cannot be served.
    QVERIFY(QFile::remove(dir->filePath(QStringLiteral("update.ini"))));
    QVERIFY(startServer());
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QElapsedTimer timer;
    timer.start();
    const VersionInfo info = client.sendVersionCheck(request(QStringLiteral("1.0")), 120000);
    QVERIFY(!info.needUpdate);
    QVERIFY(info.version.isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("服务器返回错误"));
    // Ended by the reply, not by the two-minute limit.
    QVERIFY(timer.elapsed() < 60000);
}

void TestTcpClient::requestsNeedConnection()
{
    QUpdateTcpClient client;
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QVERIFY(!client.sendVersionCheck(request(QStringLiteral("1")), 1000).needUpdate);
    QCOMPARE(client.lastError(), QStringLiteral("未连接到服务器"));
    QVERIFY(!client.downloadFile(kBig, 1000));
    QCOMPARE(client.lastError(), QStringLiteral("未连接到服务器"));
    QVERIFY(!client.sendMessage(Heartbeat, encodeHeartbeat(1)));
    QCOMPARE(errors.count(), 2);
}

void TestTcpClient::multiChunkDownloads()
{
    QVERIFY(startServer());
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QSignalSpy progress(&client, &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);

    QVERIFY(client.downloadFile(kBig, 10000));
    QCOMPARE(memory.files.value(QStringLiteral("sub/dir/big.bin")), releaseFiles.value(QStringLiteral("sub/dir/big.bin")));
    // 200000 bytes in chunks of 7000: 29 chunks, plus the start of the transfer.
    QCOMPARE(progress.count(), 30);
    QCOMPARE(progress.first().at(2).toUInt(), 0u);
    QCOMPARE(progress.last().at(2).toUInt(), 200000u);
    QCOMPARE(progress.last().at(3).toUInt(), 200000u);
    QCOMPARE(completed.count(), 1);
    QCOMPARE(completed.first().at(0).toString(), QStringLiteral("sub/dir"));

    QVERIFY(client.downloadFile(FileRequest{QString(), QStringLiteral("empty.txt")}, 10000));
    QVERIFY(memory.completed.contains(QStringLiteral("/empty.txt")));
    QCOMPARE(memory.files.value(QStringLiteral("/empty.txt")), QByteArray());
    QVERIFY(client.isConnected());
}

// Two connections in one thread, each with its own file request; a
// connection takes one request at a time. The first request stalls after
// one chunk, so the other one runs to its end while it is still open.
void TestTcpClient::requestsSideBySide()
{
    QVERIFY(startServer({QStringLiteral("--stall-after"), QStringLiteral("1"), QStringLiteral("--faulty-requests"),
                         QStringLiteral("1")}));
    MemorySink memory;
    QUpdateTcpClient slow;
    QUpdateTcpClient quick;
    for (QUpdateTcpClient *client : {&slow, &quick}) {
        client->setChunkSink(memory.sink());
        QVERIFY(client->connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    }
    QSignalSpy slowEnd(&slow, &QUpdateTcpClient::requestFinished);
    QSignalSpy slowChunks(&slow, &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy quickEnd(&quick, &QUpdateTcpClient::requestFinished);
    const FileRequest manifest{QString(), QStringLiteral("md5.txt")};

    QVERIFY(slow.startDownload(kBig, 60000));
    QVERIFY(!slow.startDownload(manifest, 10000));
    // The server has taken the first request (the faulty one) once its
    // chunk arrives.
    QTRY_VERIFY(!slowChunks.isEmpty());
    QVERIFY(quick.startDownload(manifest, 10000));
    QTRY_COMPARE(quickEnd.count(), 1);
    QCOMPARE(quickEnd.first().first().toBool(), true);
    QCOMPARE(memory.files.value(QStringLiteral("/md5.txt")), releaseFiles.value(QStringLiteral("md5.txt")));
    QVERIFY(slow.isDownloading());
    QCOMPARE(slowEnd.count(), 0);
    slow.cancelRequest(QStringLiteral("下载已取消"));
    QCOMPARE(slowEnd.count(), 1);
    QCOMPARE(slowEnd.first().first().toBool(), false);
    QCOMPARE(slow.lastFailure().kind, TcpFailure::Cancelled);
}

void TestTcpClient::downloadFailures_data()
{
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<QString>("requestedName");
    QTest::addColumn<int>("failAtChunk");
    QTest::addColumn<QString>("lastError");
    QTest::addColumn<QString>("signalledError"); // sigFileDownloadError text, empty: none
    QTest::addColumn<int>("kept");               // bytes that reached the sink
    QTest::addColumn<int>("kind");               // TcpFailure::Kind

    QTest::newRow("unknown file: error reply") << QStringList() << "nothere.bin" << -1 << "服务器返回错误" << "" << 0
                                               << int(TcpFailure::Unknown);
    QTest::newRow("server stalls") << QStringList{"--stall-after", "3"} << "big.bin" << -1 << "文件下载超时" << "下载超时"
                                   << 3 * 7000 << int(TcpFailure::Timeout);
    QTest::newRow("server drops the connection") << QStringList{"--drop-after", "3"} << "big.bin" << -1
                                                 << "The remote host closed the connection" << "" << 3 * 7000
                                                 << int(TcpFailure::Network);
    // Chunks after the lost one are not stored: the file would have a hole.
    QTest::newRow("chunk cannot be stored") << QStringList() << "big.bin" << 2
                                            << "Failed to save file data: sub/dir/big.bin"
                                            << "Failed to save file data: sub/dir/big.bin" << 2 * 7000
                                            << int(TcpFailure::FileSystem);
}

void TestTcpClient::downloadFailures()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(QString, requestedName);
    QFETCH(int, failAtChunk);
    QFETCH(QString, signalledError);

    QVERIFY(startServer(serverOptions));
    QUpdateTcpClient client;
    MemorySink memory;
    memory.failAtChunk = failAtChunk;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QSignalSpy errors(&client, &QUpdateTcpClient::sigFileDownloadError);

    QVERIFY(!client.downloadFile(FileRequest{kBig.filePath, requestedName}, 1500));
    QTEST(client.lastError(), "lastError");
    QTEST(int(client.lastFailure().kind), "kind");
    QCOMPARE(errors.isEmpty(), signalledError.isEmpty());
    if (!signalledError.isEmpty())
        QCOMPARE(errors.last().at(2).toString(), signalledError);
    // The stream may still carry the failed file: the connection is closed,
    // and the half-received file is closed in the sink.
    QVERIFY(!client.isConnected());
    QVERIFY(!memory.files.contains(QStringLiteral("sub/dir/nothere.bin")));
    QTEST(static_cast<int>(memory.files.value(QStringLiteral("sub/dir/big.bin")).size()), "kept");
    QVERIFY(memory.open.isEmpty());
}

void TestTcpClient::slowMovingTransferIsNotCut()
{
    // 30 chunks 100 ms apart take longer than the 2 s silence limit, which
    // leaves a busy machine ample room between two chunks.
    releaseFiles[QStringLiteral("slow.bin")] = randomBytes(30 * 7000, 2);
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
    QVERIFY(startServer({QStringLiteral("--chunk-delay"), QStringLiteral("100")}));
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QVERIFY(client.downloadFile(FileRequest{QString(), QStringLiteral("slow.bin")}, 2000));
    QCOMPARE(memory.files.value(QStringLiteral("/slow.bin")), releaseFiles.value(QStringLiteral("slow.bin")));
}

void TestTcpClient::tricklingTransferIsCut()
{
    // One byte every 50 ms never falls silent, but stays under the least
    // rate of 1000 bytes per second over 300 ms.
    QVERIFY(server->start(dir->path(), {"--chunk-size", "1", "--chunk-delay", "50"}));
    QUpdateTcpClient client;
    TransferLimits limits;
    limits.minBytesPerSecond = 1000;
    limits.rateWindowMs = 300;
    client.setLimits(limits);
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QVERIFY(!client.downloadFile(kBig, 10000));
    QCOMPARE(client.lastFailure().kind, TcpFailure::Timeout);
    QCOMPARE(client.lastError(), QStringLiteral("传输过慢（1秒内平均低于1000字节/秒）"));
    QVERIFY(!client.isConnected());
    QVERIFY(memory.open.isEmpty());
}

void TestTcpClient::fileDataDoesNotProlongVersionCheck()
{
    // A peer that answers the version check with an endless stream of empty
    // file chunks; it gives up after five seconds. File data during a version
    // check is data nobody asked for.
    QTcpServer peer;
    QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
    QTimer stream;
    QTcpSocket *socket = nullptr;
    FileDataChunk empty;
    empty.fileName = kBig.fileName;
    empty.totalSize = 100;
    connect(&peer, &QTcpServer::newConnection, this, [&] {
        socket = peer.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this, [&] {
            socket->readAll();
            stream.start(100);
            QTimer::singleShot(5000, socket, &QTcpSocket::disconnectFromHost);
        });
    });
    connect(&stream, &QTimer::timeout, this,
            [&] { socket->write(encodeMessage(FileData, 0, encodeFileDataPrefix(empty))); });
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), peer.serverPort()));
    // The first stray chunk ends the check: neither the stream nor the peer
    // giving up after five seconds decides when it ends.
    QVERIFY(!client.sendVersionCheck(request(QStringLiteral("1")), 4000).needUpdate);
    QCOMPARE(client.lastError(), QStringLiteral("服务器发送了未请求的文件数据: %1/%2").arg(empty.filePath, empty.fileName));
    QVERIFY(!client.isConnected());
}

void TestTcpClient::retryAfterStallStartsClean()
{
    QVERIFY(startServer({QStringLiteral("--stall-after"), QStringLiteral("4"), QStringLiteral("--faulty-requests"),
                         QStringLiteral("1")}));
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QVERIFY(!client.downloadFile(kBig, 500));
    QCOMPARE(memory.files.value(QStringLiteral("sub/dir/big.bin")).size(), 4 * 7000);
    QCOMPARE(memory.completed, QStringList{QStringLiteral("sub/dir/big.bin")}); // closed, not kept open

    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    QVERIFY(client.downloadFile(kBig, 10000));
    QCOMPARE(memory.files.value(QStringLiteral("sub/dir/big.bin")), releaseFiles.value(QStringLiteral("sub/dir/big.bin")));
    QCOMPARE(server->count(QStringLiteral("file request sub/dir/big.bin")), 2);
}

namespace {

QByteArray chunkMessage(const FileRequest &id, quint32 totalSize, const QByteArray &data, bool isLast)
{
    FileDataChunk chunk;
    chunk.filePath = id.filePath;
    chunk.fileName = id.fileName;
    chunk.totalSize = totalSize;
    chunk.chunkSize = static_cast<quint32>(data.size());
    chunk.isLast = isLast;
    return encodeMessage(FileData, 0, encodeFileDataPrefix(chunk) + data);
}

} // namespace

void TestTcpClient::scriptedFileData_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("stored"); // what the sink holds for kBig afterwards
    QTest::addColumn<QString>("lastError");

    const FileRequest other{QStringLiteral("elsewhere"), kBig.fileName};
    const QString key = kBig.filePath + QLatin1Char('/') + kBig.fileName;
    QTest::newRow("exact size") << chunkMessage(kBig, 4, "ab", false) + chunkMessage(kBig, 4, "cd", true) << true
                                << QByteArray("abcd") << QString();
    QTest::newRow("shorter than announced") << chunkMessage(kBig, 5, "ab", false) + chunkMessage(kBig, 5, "cd", true)
                                            << false << QByteArray("ab")
                                            << QStringLiteral("文件数据少于声明的大小: ") + key;
    QTest::newRow("longer than announced") << chunkMessage(kBig, 3, "ab", false) + chunkMessage(kBig, 3, "cd", true)
                                           << false << QByteArray("ab")
                                           << QStringLiteral("文件数据超出声明的大小: ") + key;
    QTest::newRow("endless chunks past the size") << chunkMessage(kBig, 2, "ab", false).repeated(50) << false
                                                  << QByteArray("ab")
                                                  << QStringLiteral("文件数据超出声明的大小: ") + key;
    QTest::newRow("announced size changes") << chunkMessage(kBig, 4, "ab", false) + chunkMessage(kBig, 2, "cd", true)
                                            << false << QByteArray("ab")
                                            << QStringLiteral("文件数据声明的大小前后不一致: ") + key;
    // Complete and kept: the stray chunk behind it never reaches the file.
    QTest::newRow("stray chunk after the last") << chunkMessage(kBig, 2, "ok", true) + chunkMessage(kBig, 2, "XX", true)
                                                << true << QByteArray("ok")
                                                << QStringLiteral("服务器发送了未请求的文件数据: ") + key;
    QTest::newRow("chunk of another file") << chunkMessage(other, 2, "ok", true) << false << QByteArray()
                                           << QStringLiteral("服务器发送了未请求的文件数据: elsewhere/big.bin");
}

void TestTcpClient::scriptedFileData()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, stored);
    ScriptedPeer peer;
    peer.answer = answer;
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), peer.port()));

    QTEST(client.downloadFile(kBig, 5000), "result");
    QTEST(client.lastError(), "lastError");
    QCOMPARE(memory.files.value(kBig.filePath + QLatin1Char('/') + kBig.fileName), stored);
    QCOMPARE(memory.files.size(), stored.isEmpty() ? 0 : 1);
    QVERIFY(memory.open.isEmpty());
    // A stream that broke the protocol is not read any further.
    QCOMPARE(client.isConnected(), client.lastError().isEmpty());
}

void TestTcpClient::cancelEndsWait()
{
    QVERIFY(startServer({QStringLiteral("--chunk-delay"), QStringLiteral("200")}));
    QUpdateTcpClient client;
    MemorySink memory;
    client.setChunkSink(memory.sink());
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
    connect(&client, &QUpdateTcpClient::sigFileDownloadProgress, this,
            [&](const QString &, const QString &, uint32_t downloaded) {
                if (downloaded > 0)
                    client.cancelRequest(QStringLiteral("下载已取消"));
            });
    QVERIFY(!client.downloadFile(kBig, 0)); // no silence limit: only the cancel ends it
    QCOMPARE(client.lastError(), QStringLiteral("下载已取消"));
    QCOMPARE(client.lastFailure().kind, TcpFailure::Cancelled);
    QVERIFY(!client.isConnected());
}

void TestTcpClient::scriptedStreams_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("heartbeats");

    const QByteArray reply = versionReplyMessage(QStringLiteral("9.9"));
    const QByteArray heartbeatReply = encodeMessage(HeartbeatReply, 0, QByteArray());
    QTest::newRow("two messages in one read") << heartbeatReply + reply << true << 1;
    QTest::newRow("unknown type skipped") << encodeMessage(0x8004, 0, QByteArray("??")) + reply << true << 0;
    QTest::newRow("wrong magic drops everything buffered")
        << QByteArray::fromHex("12345678") + reply.mid(4) + reply << false << 0;
}

void TestTcpClient::scriptedStreams()
{
    QFETCH(QByteArray, answer);
    ScriptedPeer peer;
    peer.answer = answer;
    QUpdateTcpClient client;
    QSignalSpy heartbeats(&client, &QUpdateTcpClient::heartbeatReceived);
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), peer.port()));
    const VersionInfo info = client.sendVersionCheck(request(QStringLiteral("1")), 1500);
    QTEST(info.needUpdate, "answered");
    if (info.needUpdate) {
        QCOMPARE(info.version, QStringLiteral("9.9"));
        QCOMPARE(info.productName, QStringLiteral("Marigolds"));
    }
    QTEST(static_cast<int>(heartbeats.count()), "heartbeats");
}

void TestTcpClient::overlongFrameClosesConnection()
{
    ScriptedPeer peer;
    peer.answer = QByteArray::fromHex("78563412 01000004 02800000 00000000 00000000") + QByteArray(100, 'x');
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), peer.port()));
    QSignalSpy disconnected(&client, &QUpdateTcpClient::disconnected);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client.sendVersionCheck(request(QStringLiteral("1")), 120000).needUpdate);
    QVERIFY(timer.elapsed() < 60000);
    QCOMPARE(client.lastError(), QStringLiteral("服务器消息长度超出上限，连接已关闭"));
    QVERIFY(!client.isConnected());
    QCOMPARE(disconnected.count(), 1);
}

QTEST_GUILESS_MAIN(TestTcpClient)
#include "tst_tcpclient.moc"
