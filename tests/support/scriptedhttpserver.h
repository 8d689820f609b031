#pragma once

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

class QTcpServer;

// A tiny HTTP/1.1 server on 127.0.0.1 whose answers the test scripts, for the
// faults a real web server does not produce on demand: a transfer that stalls,
// breaks off mid-file or trickles, error statuses and redirects, encoded
// bodies, content that is not what the manifest says. It serves from a thread of its own, so the test thread may
// block (waiting for a process, say) while it answers. One request per
// connection; repeated "/" in a request path count as one.
class ScriptedHttpServer
{
public:
    // Trickle sends the body one byte every 50 ms.
    enum class Fault { None, Stall, Drop, Trickle };
    struct Response
    {
        Response(int status = 200, const QByteArray &body = QByteArray(), Fault fault = Fault::None, int cutAfter = 0,
                 const QByteArray &headers = QByteArray(), bool noLength = false, bool ranges = false)
            : status(status)
            , body(body)
            , fault(fault)
            , cutAfter(cutAfter)
            , headers(headers)
            , noLength(noLength)
            , ranges(ranges)
        {
        }
        int status;
        QByteArray body;
        Fault fault;
        int cutAfter;       // bytes of the body sent before a Stall or Drop
        QByteArray headers; // more header lines, each ending with CR LF
        bool noLength;      // no Content-Length: the end of the body is the connection's
        // "Range: bytes=N-" is answered 206 with the rest (a fault applies
        // to the rest), unless an If-Range differs from the ETag in headers.
        bool ranges;
    };

    ScriptedHttpServer();
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer &) = delete;
    ScriptedHttpServer &operator=(const ScriptedHttpServer &) = delete;

    bool isListening() const { return serverPort != 0; }
    QString baseUrl() const;

    // Unscripted paths answer 404.
    void setRoute(const QString &path, const Response &response);
    void setFile(const QString &path, const QByteArray &body) { setRoute(path, {200, body, Fault::None, 0}); }
    // The next request for path gets response (after those given before),
    // once; the route answers the ones after.
    void answerOnce(const QString &path, const Response &response);
    // Request paths in arrival order, as sent.
    QStringList requests() const;
    // The Range header of each request, in the same order ("" without one).
    QList<QByteArray> rangesAsked() const;
    // Body bytes written for path (as routed) so far.
    qint64 bodyBytesSent(const QString &path) const;

private:
    void serve(class QTcpSocket *socket, const QByteArray &path, const QByteArray &header);

    QThread thread;
    QObject *context = nullptr; // lives in thread
    QTcpServer *server = nullptr; // lives in thread
    quint16 serverPort = 0;
    mutable QMutex mutex;
    QMap<QString, Response> routes;
    QMap<QString, QList<Response>> onceRoutes; // by path: answered first, in the order given
    QStringList seen;
    QList<QByteArray> ranges;
    QMap<QString, qint64> bodyBytes; // by routed path
};
