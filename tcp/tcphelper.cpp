#include "tcp/tcphelper.h"

#include "tcp/tcpadmin.h"

namespace {
constexpr int kKeepAliveMs = 1000;
}

CTcpHelper::CTcpHelper(ushort keepAliveOrder, QObject *parent)
    : QObject(parent)
    , order(keepAliveOrder)
{
    connect(&keepAliveTimer, &QTimer::timeout, this, &CTcpHelper::slt_timeout);
}

void CTcpHelper::attach(CTcpAdmin *admin)
{
    connect(this, &CTcpHelper::sig_init, admin, &CTcpAdmin::slt_init);
    connect(this, &CTcpHelper::sig_connectToHost, admin, &CTcpAdmin::connectToHost);
    connect(this, &CTcpHelper::sig_disconnectFromHost, admin, &CTcpAdmin::disconnectFromHost);
    connect(this, &CTcpHelper::sig_sendData, admin, &CTcpAdmin::slt_sendData);
    connect(admin, &CTcpAdmin::sig_recv, this, &CTcpHelper::sig_recv);
    connect(admin, &CTcpAdmin::sig_error, this, &CTcpHelper::sig_error);
    connect(admin, &CTcpAdmin::sig_recvProgress, this, &CTcpHelper::sig_recvProgress);
    connect(admin, &CTcpAdmin::sig_sendProgress, this, &CTcpHelper::sig_sendProgress);
    connect(admin, &CTcpAdmin::sig_connected, this, &CTcpHelper::slt_connected);
}

void CTcpHelper::slt_connected()
{
    keepAliveTimer.start(kKeepAliveMs);
    emit sig_connected();
}

void CTcpHelper::slt_timeout()
{
    emit sig_sendData(order, QByteArrayLiteral("{}"));
}
