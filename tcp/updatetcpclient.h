#pragma once

#include <QObject>
#include <QString>

// The one TCP connection to the update server. (Placeholder until the TCP
// channel lands: it never connects.)
class QUpdateTcpClient : public QObject
{
    Q_OBJECT
public:
    explicit QUpdateTcpClient(QObject *parent = nullptr);

    bool connectToServer(const QString &host, quint16 port, int timeoutMs = 1000);
};
