#include "nginxserver.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

const QString kNginx = QStringLiteral("/usr/sbin/nginx");
constexpr int kStartAttempts = 5;
constexpr int kReadyWaitMs = 5000;

QByteArray configText(const QString &work, const QString &root, quint16 port)
{
    const QByteArray w = work.toUtf8();
    QByteArray text;
    text += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    text += "pid " + w + "/nginx.pid;\nerror_log " + w + "/error.log;\n";
    text += "events { worker_connections 256; }\n";
    text += "http {\n";
    text += "  access_log " + w + "/access.log;\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        text += QByteArray("  ") + kind + "_temp_path " + w + "/" + kind + ";\n";
    text += "  default_type application/octet-stream;\n  sendfile on;\n  keepalive_requests 100000;\n";
    text += "  server {\n    listen 127.0.0.1:" + QByteArray::number(port) + ";\n";
    text += "    root \"" + root.toUtf8() + "\";\n  }\n}\n";
    return text;
}

bool acceptsConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

quint16 freeLocalPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

NginxServer::NginxServer(const QString &rootDir)
{
    // Another program may take the probed port before nginx binds it: try again.
    for (int attempt = 0; attempt < kStartAttempts && !running; ++attempt)
        running = tryStart(rootDir);
}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::tryStart(const QString &rootDir)
{
    serverPort = freeLocalPort();
    if (!workDir.isValid() || serverPort == 0)
        return false;
    const QString conf = workDir.path() + QStringLiteral("/nginx.conf");
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(configText(workDir.path(), rootDir, serverPort));
    file.close();

    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(kNginx, {QStringLiteral("-p"), workDir.path(), QStringLiteral("-c"), conf, QStringLiteral("-e"),
                           workDir.path() + QStringLiteral("/error.log")});
    if (!process.waitForStarted(5000))
        return false;
    // Ends early when nginx exits (bad configuration, port taken).
    static_cast<void>(QTest::qWaitFor(
        [&] { return process.state() != QProcess::Running || acceptsConnections(serverPort); }, kReadyWaitMs));
    if (process.state() == QProcess::Running && acceptsConnections(serverPort))
        return true;
    stop();
    return false;
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort);
}

QByteArray NginxServer::errorLog() const
{
    QFile file(workDir.path() + QStringLiteral("/error.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
