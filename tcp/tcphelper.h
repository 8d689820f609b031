#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class CTcpAdmin;

// The signal side of CTcpAdmin: its signals drive the transport's slots, it
// mirrors the transport's signals, and once connected it sends a keep-alive
// ("{}" as data, the helper's order number as type) every second.
class CTcpHelper : public QObject
{
    Q_OBJECT
public:
    explicit CTcpHelper(ushort keepAliveOrder = 0, QObject *parent = nullptr);

    // Connects this helper and the transport both ways. Works across
    // threads (the transport's slots then run in its own thread).
    void attach(CTcpAdmin *admin);

signals:
    void sig_recv(uint type, QByteArray data);
    void sig_error(QAbstractSocket::SocketError error);
    void sig_recvProgress(uint type, uint size, uint curSize);
    void sig_sendProgress(uint type, uint size, uint curSize);
    void sig_connected();
    void sig_connectToHost(QString address, ushort port);
    void sig_disconnectFromHost();
    void sig_sendData(ushort order, QByteArray data);
    void sig_init();

private slots:
    void slt_timeout();
    void slt_connected();

private:
    QTimer keepAliveTimer;
    ushort order;
};
