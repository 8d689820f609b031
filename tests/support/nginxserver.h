#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

// nginx serving a folder on 127.0.0.1 at a free port, for as long as the
// object lives. Its configuration, pid, logs and temp folders live in a
// temp folder of their own; the server runs in the foreground as a child
// process and is stopped by the destructor.
// PEM files of the server's certificate (chain) and key: with them the
// server speaks HTTPS only.
struct NginxTls
{
    QString certificate;
    QString key;
};

class NginxServer
{
public:
    // wholeFileRate: bytes per second for requests without a Range header
    // (0: no limit), so that a test can stop a client inside a download
    // and let its resumed request run at full speed.
    explicit NginxServer(const QString &rootDir, const NginxTls &tls = {}, qint64 wholeFileRate = 0);
    // A TCP balancer instead (the stream module): each connection is passed
    // on to one of the servers at these ports on 127.0.0.1, in turn; one
    // that refuses is skipped.
    explicit NginxServer(const QVector<quint16> &tcpServers);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // True once the server accepts connections.
    bool isRunning() const { return running; }
    quint16 port() const { return serverPort; }
    // "http://127.0.0.1:<port>/" ("https://" with TLS)
    QString baseUrl() const;
    // nginx's error log, for failure messages.
    QByteArray errorLog() const;
    // One line per request answered: status, body bytes sent, the Range
    // header in quotes, the path.
    QList<QByteArray> accessLog() const;

private:
    bool tryStart(const QString &rootDir);
    void stop();

    NginxTls tls;
    qint64 wholeFileRate = 0;
    QVector<quint16> upstreams;
    QTemporaryDir workDir;
    QProcess process;
    quint16 serverPort = 0;
    bool running = false;
};

// A port on 127.0.0.1 that was free a moment ago.
quint16 freeLocalPort();
// True when something on 127.0.0.1 accepts a connection at port.
bool acceptsLocalConnections(quint16 port);
// Ends a server running as a child process: asked first, killed when it
// does not end.
void stopChild(QProcess &process);
