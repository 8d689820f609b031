// The framed transport and its helper against a raw peer on 127.0.0.1:
// frames written in pieces with progress, incoming frames with the type in
// the payload, malformed input, and the helper's wiring and keep-alive.
#include "tcp/tcpadmin.h"
#include "tcp/tcphelper.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// A raw peer: collects what the transport sends and writes what it is told.
class Peer
{
public:
    QTcpServer server;
    QTcpSocket *socket = nullptr;
    QByteArray received;

    Peer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] { received += socket->readAll(); });
        });
    }
    void send(const QByteArray &bytes)
    {
        socket->write(bytes);
        socket->flush();
    }
};

} // namespace

class TestTcpAdmin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void socketOnlyAfterInit();
    void sendInPieces();
    void sendWithoutConnectionDropsFrame();
    void receive_data();
    void receive();
    void overlongFrame();
    void helperWiringAndKeepAlive();

private:
    // A transport connected to peer.
    bool connectTo(CTcpAdmin &admin, Peer &peer);
};

void TestTcpAdmin::initTestCase()
{
    qRegisterMetaType<QAbstractSocket::SocketError>();
}

bool TestTcpAdmin::connectTo(CTcpAdmin &admin, Peer &peer)
{
    admin.slt_init();
    admin.connectToHost(QStringLiteral("127.0.0.1"), peer.server.serverPort());
    return QTest::qWaitFor([&] { return peer.socket != nullptr; }, 5000) && admin.socket()
        && admin.socket()->state() == QAbstractSocket::ConnectedState;
}

void TestTcpAdmin::socketOnlyAfterInit()
{
    CTcpAdmin admin;
    QVERIFY(!admin.socket());
    admin.connectToHost(QStringLiteral("127.0.0.1"), 1); // without a socket: nothing happens
    admin.slt_init();
    QVERIFY(admin.socket());
    QCOMPARE(admin.socket()->parent(), &admin);
}

void TestTcpAdmin::sendInPieces()
{
    Peer peer;
    CTcpAdmin admin;
    QVERIFY(connectTo(admin, peer));
    QSignalSpy progress(&admin, &CTcpAdmin::sig_sendProgress);
    QByteArray data(20000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);

    admin.slt_sendData(0x0102, data);
    QCOMPARE(progress.count(), 3);
    const QList<uint> sent{progress.at(0).at(2).toUInt(), progress.at(1).at(2).toUInt(), progress.at(2).at(2).toUInt()};
    QCOMPARE(sent, (QList<uint>{8172, 16364, 20000}));
    QCOMPARE(progress.at(0).at(0).toUInt(), 0x0102u);
    QCOMPARE(progress.at(0).at(1).toUInt(), 20000u);

    QTRY_COMPARE(peer.received.size(), 20020);
    // Type in the header, the product type (1 without a configuration) in bytes 12-15.
    QCOMPARE(peer.received.left(20), hex("78563412 204e0000 02010000 01000000 00000000"));
    QCOMPARE(peer.received.mid(20), data);
}

void TestTcpAdmin::sendWithoutConnectionDropsFrame()
{
    Peer peer;
    CTcpAdmin admin;
    admin.slt_init();
    QSignalSpy progress(&admin, &CTcpAdmin::sig_sendProgress);
    admin.slt_sendData(5, QByteArray("early"));
    QCOMPARE(progress.count(), 0);
    QVERIFY(connectTo(admin, peer));
    admin.slt_sendData(6, QByteArray("late"));
    QTRY_COMPARE(peer.received.size(), 24);
    QCOMPARE(peer.received.mid(20), QByteArray("late"));
}

void TestTcpAdmin::receive_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QStringList>("received"); // "type:data-hex"

    const QByteArray seven = hex("78563412 07000000 00000000 00000000 00000000 07000000 aabbcc");
    const QByteArray nine = hex("78563412 05000000 00000000 00000000 00000000 09000000 dd");
    QTest::newRow("type from the payload") << QList<QByteArray>{seven} << QStringList{"7:aabbcc"};
    QTest::newRow("two frames in one read") << QList<QByteArray>{seven + nine} << QStringList{"7:aabbcc", "9:dd"};
    QTest::newRow("split frame") << QList<QByteArray>{seven.left(22), seven.mid(22)} << QStringList{"7:aabbcc"};
    QTest::newRow("payload shorter than a type")
        << QList<QByteArray>{hex("78563412 02000000 00000000 00000000 00000000 eeff")} << QStringList{"0:eeff"};
    QTest::newRow("wrong magic drops the buffer, later frames count")
        << QList<QByteArray>{hex("12345678") + seven.mid(4) + seven, nine} << QStringList{"9:dd"};
}

void TestTcpAdmin::receive()
{
    QFETCH(QList<QByteArray>, writes);
    Peer peer;
    CTcpAdmin admin;
    QVERIFY(connectTo(admin, peer));
    QStringList got;
    connect(&admin, &CTcpAdmin::sig_recv, this,
            [&](uint type, const QByteArray &data) { got << QStringLiteral("%1:%2").arg(type).arg(QString::fromLatin1(data.toHex())); });
    QSignalSpy progress(&admin, &CTcpAdmin::sig_recvProgress);
    for (const QByteArray &bytes : writes) {
        peer.send(bytes);
        // Let each write arrive on its own.
        QTest::qWait(100);
    }
    QFETCH(QStringList, received);
    QTRY_COMPARE(got, received);
    if (received.first() == QLatin1String("7:aabbcc")) {
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first().at(0).toUInt(), 7u);
        QCOMPARE(progress.first().at(1).toUInt(), 7u);
    }
}

void TestTcpAdmin::overlongFrame()
{
    Peer peer;
    CTcpAdmin admin;
    QVERIFY(connectTo(admin, peer));
    QSignalSpy errors(&admin, &CTcpAdmin::sig_error);
    QSignalSpy received(&admin, &CTcpAdmin::sig_recv);
    peer.send(hex("78563412 01000004 00000000 00000000 00000000 01000000"));
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().value<QAbstractSocket::SocketError>(), QAbstractSocket::DatagramTooLargeError);
    QCOMPARE(admin.socket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(received.count(), 0);
}

void TestTcpAdmin::helperWiringAndKeepAlive()
{
    Peer peer;
    CTcpAdmin admin(7); // the product type it is handed, whatever the configuration says
    CTcpHelper helper(42);
    helper.attach(&admin);
    QSignalSpy connected(&helper, &CTcpHelper::sig_connected);
    QSignalSpy received(&helper, &CTcpHelper::sig_recv);

    emit helper.sig_init();
    emit helper.sig_connectToHost(QStringLiteral("127.0.0.1"), peer.server.serverPort());
    QCOMPARE(connected.count(), 1);
    QTRY_VERIFY(peer.socket);

    // Keep-alives: "{}" with the helper's order number as the type.
    QTRY_VERIFY_WITH_TIMEOUT(peer.received.size() >= 22, 5000);
    QCOMPARE(peer.received.left(22), hex("78563412 02000000 2a000000 07000000 00000000") + "{}");

    peer.send(hex("78563412 05000000 00000000 00000000 00000000 03000000 ab"));
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.first().at(0).toUInt(), 3u);

    emit helper.sig_disconnectFromHost();
    QCOMPARE(admin.socket()->state(), QAbstractSocket::UnconnectedState);
}

QTEST_GUILESS_MAIN(TestTcpAdmin)
#include "tst_tcpadmin.moc"
