#include "tcp/tcpadmin.h"

#include <QTcpSocket>
#include <QtEndian>

CTcpAdmin::CTcpAdmin(QObject *parent)
    : QObject(parent)
{
}

CTcpAdmin::CTcpAdmin(qint32 type, QObject *parent)
    : QObject(parent)
    , productType(type)
{
}

void CTcpAdmin::slt_init()
{
    if (m_socket)
        return;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &CTcpAdmin::sig_connected);
    connect(m_socket, &QTcpSocket::readyRead, this, &CTcpAdmin::slt_readReady);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CTcpAdmin::sig_error);
    ready = true;
}

void CTcpAdmin::connectToHost(QString address, ushort port)
{
    if (!m_socket)
        return;
    m_socket->connectToHost(address, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    m_socket->waitForConnected(3000);
}

void CTcpAdmin::disconnectFromHost()
{
    if (!m_socket || m_socket->state() == QAbstractSocket::UnconnectedState)
        return;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->waitForDisconnected(1000);
}

QTcpSocket *CTcpAdmin::socket()
{
    return ready ? m_socket : nullptr;
}

void CTcpAdmin::slt_sendData(uint type, QByteArray data)
{
    queue.append(qMakePair(type, data));
    sendQueue();
}

void CTcpAdmin::sendQueue()
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        queue.clear();
        return;
    }
    while (!queue.isEmpty()) {
        const uint type = queue.first().first;
        const QByteArray frame = TcpProtocol::encodeMessage(type, productType, queue.first().second);
        const uint dataSize = static_cast<uint>(frame.size() - TcpProtocol::kHeaderSize);
        int offset = 0;
        while (offset < frame.size()) {
            const int piece = qMin(kSendPiece, frame.size() - offset);
            m_socket->write(frame.constData() + offset, piece);
            m_socket->flush();
            offset += piece;
            emit sig_sendProgress(type, dataSize, dataSize - static_cast<uint>(frame.size() - offset));
        }
        queue.removeFirst();
    }
}

void CTcpAdmin::slt_readReady()
{
    receiveBuffer.append(m_socket->readAll());
    for (;;) {
        const int buffered = receiveBuffer.buffered();
        if (buffered >= 24) {
            const MessageHeader header = TcpProtocol::decodeHeader(receiveBuffer.data());
            if (header.magic == TcpProtocol::kMagic)
                emit sig_recvProgress(qFromLittleEndian<quint32>(receiveBuffer.data() + 20), header.length,
                                      static_cast<uint>(buffered));
        }
        MessageHeader header;
        QByteArray payload;
        switch (receiveBuffer.next(header, payload)) {
        case TcpProtocol::FrameReader::Status::NeedMore:
        case TcpProtocol::FrameReader::Status::BadMagic:
            return;
        case TcpProtocol::FrameReader::Status::TooLong:
            m_socket->abort();
            emit sig_error(QAbstractSocket::DatagramTooLargeError);
            return;
        case TcpProtocol::FrameReader::Status::Message:
            break;
        }
        uint type = 0;
        if (payload.size() >= 4) {
            type = qFromLittleEndian<quint32>(payload.constData());
            payload.remove(0, 4);
        }
        emit sig_recv(type, payload);
    }
}
