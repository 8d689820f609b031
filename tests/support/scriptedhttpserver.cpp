#include "scriptedhttpserver.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

QString normalPath(const QByteArray &raw)
{
    QString path = QString::fromLatin1(raw.split('?').first());
    return path.replace(QRegularExpression(QStringLiteral("/{2,}")), QStringLiteral("/"));
}

QByteArray statusLine(int status)
{
    const char *reason = status == 200 ? "OK" : status == 404 ? "Not Found" : status == 302 ? "Found" : "Error";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
}

} // namespace

ScriptedHttpServer::ScriptedHttpServer()
{
    thread.start();
    context = new QObject;
    context->moveToThread(&thread);
    QMetaObject::invokeMethod(
        context,
        [this] {
            server = new QTcpServer(context);
            if (!server->listen(QHostAddress::LocalHost, 0))
                return;
            serverPort = server->serverPort();
            QObject::connect(server, &QTcpServer::newConnection, server, [this] {
                while (QTcpSocket *socket = server->nextPendingConnection()) {
                    auto buffer = std::make_shared<QByteArray>();
                    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                        buffer->append(socket->readAll());
                        if (!buffer->contains("\r\n\r\n"))
                            return;
                        const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
                        buffer->clear();
                        serve(socket, requestLine.value(1));
                    });
                }
            });
        },
        Qt::BlockingQueuedConnection);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    QMetaObject::invokeMethod(context, [this] { delete context; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

QString ScriptedHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort);
}

void ScriptedHttpServer::setRoute(const QString &path, const Response &response)
{
    QMutexLocker lock(&mutex);
    routes.insert(path, response);
}

QStringList ScriptedHttpServer::requests() const
{
    QMutexLocker lock(&mutex);
    return seen;
}

void ScriptedHttpServer::serve(QTcpSocket *socket, const QByteArray &rawPath)
{
    Response response{404, "not found", Fault::None, 0};
    {
        QMutexLocker lock(&mutex);
        seen.append(QString::fromLatin1(rawPath));
        response = routes.value(normalPath(rawPath), response);
    }
    const QByteArray length =
        response.noLength ? QByteArray() : "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    socket->write(statusLine(response.status) + "Content-Type: application/octet-stream\r\n" + length + response.headers
                  + "Connection: close\r\n\r\n");
    if (response.fault == Fault::Trickle) {
        auto *timer = new QTimer(socket);
        auto sent = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, body = response.body] {
            if (*sent < body.size())
                socket->write(body.mid((*sent)++, 1));
            else
                timer->stop();
        });
        timer->start(50);
        return;
    }
    if (response.fault == Fault::None) {
        socket->write(response.body);
        socket->disconnectFromHost();
        return;
    }
    socket->write(response.body.left(response.cutAfter));
    if (response.fault == Fault::Drop)
        socket->disconnectFromHost();
}
