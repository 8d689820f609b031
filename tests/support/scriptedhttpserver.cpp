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
    const char *reason = status == 200 ? "OK"
        : status == 206                ? "Partial Content"
        : status == 404                ? "Not Found"
        : status == 302                ? "Found"
                                       : "Error";
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
                        const QByteArray header = buffer->left(buffer->indexOf("\r\n\r\n") + 2);
                        const QList<QByteArray> requestLine = header.left(header.indexOf("\r\n")).split(' ');
                        buffer->clear();
                        serve(socket, requestLine.value(1), header);
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

void ScriptedHttpServer::answerOnce(const QString &path, const Response &response)
{
    QMutexLocker lock(&mutex);
    onceRoutes[path].append(response);
}

QStringList ScriptedHttpServer::requests() const
{
    QMutexLocker lock(&mutex);
    return seen;
}

QList<QByteArray> ScriptedHttpServer::rangesAsked() const
{
    QMutexLocker lock(&mutex);
    return ranges;
}

qint64 ScriptedHttpServer::bodyBytesSent(const QString &path) const
{
    QMutexLocker lock(&mutex);
    return bodyBytes.value(path);
}

namespace {

// The value of the request header name ("" without one).
QByteArray headerValue(const QByteArray &header, const QByteArray &name)
{
    for (const QByteArray &line : header.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

void ScriptedHttpServer::serve(QTcpSocket *socket, const QByteArray &rawPath, const QByteArray &header)
{
    Response response{404, "not found", Fault::None, 0};
    const QByteArray range = headerValue(header, "Range");
    {
        QMutexLocker lock(&mutex);
        seen.append(QString::fromLatin1(rawPath));
        ranges.append(range);
        QList<Response> &once = onceRoutes[normalPath(rawPath)];
        if (!once.isEmpty()) {
            response = once.takeFirst();
        } else {
            response = routes.value(normalPath(rawPath), response);
        }
    }
    const QByteArray ifRange = headerValue(header, "If-Range");
    if (response.ranges && range.startsWith("bytes=") && range.endsWith('-')
        && (ifRange.isEmpty() || ifRange == headerValue(response.headers, "ETag"))) {
        const int from = range.mid(6, range.size() - 7).toInt();
        response.headers += "Content-Range: bytes " + QByteArray::number(from) + '-'
            + QByteArray::number(response.body.size() - 1) + '/' + QByteArray::number(response.body.size()) + "\r\n";
        response.body = response.body.mid(from);
        response.status = 206;
    }
    {
        QMutexLocker lock(&mutex);
        bodyBytes[normalPath(rawPath)] += response.fault == Fault::None || response.fault == Fault::Trickle
            ? response.body.size()
            : qMin(response.body.size(), response.cutAfter);
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
