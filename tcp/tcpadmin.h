#pragma once

#include "tcp/messages.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QVector>

class QTcpSocket;

// A general framed-message transport over one TCP socket, driven only
// through signals and slots (so it can live in a worker thread behind queued
// connections). Frames use the update protocol's 20-byte header. Outgoing:
// the type in header bytes 8-11, the product type it was made with in
// bytes 12-15, the data as payload. Incoming: the first 4 payload bytes are
// the type, the rest is the data (a payload shorter than 4 bytes has type 0
// and is all data). A header announcing more than 64 MiB drops the buffer,
// closes the connection and reports DatagramTooLargeError.
class CTcpAdmin : public QObject
{
    Q_OBJECT
public:
    // Bytes written to the socket per step while sending.
    static constexpr int kSendPiece = 8192;

    // productType goes into bytes 12-15 of every outgoing frame, as in the
    // update protocol (Project/Type; 1 without one).
    explicit CTcpAdmin(QObject *parent = nullptr);
    explicit CTcpAdmin(qint32 productType, QObject *parent = nullptr);

signals:
    void sig_recv(uint type, QByteArray data);
    void sig_error(QAbstractSocket::SocketError error);
    // While a frame arrives: its type, payload size and the bytes buffered.
    void sig_recvProgress(uint type, uint size, uint curSize);
    // After each piece written: type, data size, data bytes sent so far.
    void sig_sendProgress(uint type, uint size, uint curSize);
    void sig_connected();

public slots:
    // Blocks up to 3000 ms. Needs slt_init first.
    void connectToHost(QString address, ushort port);
    // Blocks up to 1000 ms.
    void disconnectFromHost();
    // The socket once slt_init ran, else null. Owned by the transport.
    QTcpSocket *socket();
    // Sends at once when connected; without a connection the frame is
    // dropped (nothing is kept for later).
    void slt_sendData(uint type, QByteArray data);
    // Creates the socket; call once, in the thread the transport lives in.
    void slt_init();

private slots:
    void slt_readReady();

private:
    void sendQueue();

    QTcpSocket *m_socket = nullptr;
    bool ready = false;
    TcpProtocol::FrameReader receiveBuffer;
    QVector<QPair<uint, QByteArray>> queue;
    const qint32 productType = 1;
};
