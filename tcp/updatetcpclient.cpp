#include "tcp/updatetcpclient.h"

QUpdateTcpClient::QUpdateTcpClient(QObject *parent)
    : QObject(parent)
{
}

bool QUpdateTcpClient::connectToServer(const QString &, quint16, int)
{
    return false;
}
