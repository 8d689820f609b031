#include "nginxserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Under Wine the tests use the machine's own nginx, a Linux program that
// Wine starts by its Unix path and that reads Unix paths.
const QString kNginx = QStringLiteral("Z:/usr/sbin/nginx");

QString serverPath(const QString &path)
{
    using ToUnix = char *(CDECL *)(LPCWSTR);
    static const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const QString native = QDir::toNativeSeparators(path);
    char *unixPath = toUnix ? toUnix(reinterpret_cast<LPCWSTR>(native.utf16())) : nullptr;
    if (!unixPath)
        return path;
    const QString result = QString::fromUtf8(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}
#else
const QString kNginx = QStringLiteral("/usr/sbin/nginx");

QString serverPath(const QString &path)
{
    return path;
}
#endif
constexpr int kStartAttempts = 5;
constexpr int kReadyWaitMs = 5000;

QByteArray configText(const QString &work, const QString &root, quint16 port, const NginxTls &tls,
                      qint64 wholeFileRate, const QVector<quint16> &upstreams)
{
    const QByteArray w = serverPath(work).toUtf8();
    const QByteArray listen = "    listen 127.0.0.1:" + QByteArray::number(port);
    QByteArray text;
    if (!upstreams.isEmpty())
        text += "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n";
    text += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    text += "pid " + w + "/nginx.pid;\nerror_log " + w + "/error.log;\n";
    text += "events { worker_connections 256; }\n";
    if (!upstreams.isEmpty()) {
        // A connection refused by one server is tried on the next.
        text += "stream {\n  upstream servers {\n";
        for (const quint16 upstream : upstreams)
            text += "    server 127.0.0.1:" + QByteArray::number(upstream) + ";\n";
        text += "  }\n  server {\n" + listen + ";\n    proxy_pass servers;\n    proxy_connect_timeout 2s;\n";
        text += "    proxy_next_upstream on;\n  }\n}\n";
        return text;
    }
    text += "http {\n";
    text += "  log_format requests '$status $body_bytes_sent \"$http_range\" $uri';\n";
    text += "  access_log " + w + "/access.log requests;\n";
    text += "  map $http_range $whole_file_rate { \"\" " + QByteArray::number(wholeFileRate) + "; default 0; }\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        text += QByteArray("  ") + kind + "_temp_path " + w + "/" + kind + ";\n";
    text += "  default_type application/octet-stream;\n  sendfile on;\n  keepalive_requests 100000;\n";
    text += "  server {\n" + listen + (tls.certificate.isEmpty() ? ";\n" : " ssl;\n");
    if (!tls.certificate.isEmpty()) {
        text += "    ssl_certificate \"" + serverPath(tls.certificate).toUtf8() + "\";\n";
        text += "    ssl_certificate_key \"" + serverPath(tls.key).toUtf8() + "\";\n";
    }
    text += "    limit_rate $whole_file_rate;\n";
    text += "    root \"" + serverPath(root).toUtf8() + "\";\n  }\n}\n";
    return text;
}

} // namespace

bool acceptsLocalConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

void stopChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

quint16 freeLocalPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

NginxServer::NginxServer(const QString &rootDir, const NginxTls &serverTls, qint64 rate)
    : tls(serverTls)
    , wholeFileRate(rate)
{
    // Another program may take the probed port before nginx binds it: try again.
    for (int attempt = 0; attempt < kStartAttempts && !running; ++attempt)
        running = tryStart(rootDir);
}

NginxServer::NginxServer(const QVector<quint16> &tcpServers)
    : upstreams(tcpServers)
{
    for (int attempt = 0; attempt < kStartAttempts && !running; ++attempt)
        running = tryStart(QString());
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
    file.write(configText(workDir.path(), rootDir, serverPort, tls, wholeFileRate, upstreams));
    file.close();

    const QString work = serverPath(workDir.path());
    const QStringList args{QStringLiteral("-p"), work, QStringLiteral("-c"), serverPath(conf), QStringLiteral("-e"),
                           work + QStringLiteral("/error.log")};
#ifdef Q_OS_WIN
    // Wine starts a Linux program but hands back no process handle to wait
    // on or to end it with: the server runs detached, is watched through its
    // port and stopped through its pid file (stop()).
    if (!QProcess::startDetached(kNginx, args))
        return false;
    const auto alive = [] { return true; };
#else
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(kNginx, args);
    if (!process.waitForStarted(5000))
        return false;
    const auto alive = [this] { return process.state() == QProcess::Running; };
#endif
    // Ends early when nginx exits (bad configuration, port taken).
    static_cast<void>(QTest::qWaitFor([&] { return !alive() || acceptsLocalConnections(serverPort); }, kReadyWaitMs));
    if (alive() && acceptsLocalConnections(serverPort))
        return true;
    stop();
    return false;
}

void NginxServer::stop()
{
#ifdef Q_OS_WIN
    // nginx removes its pid file when it has shut down.
    const QString pidPath = workDir.path() + QStringLiteral("/nginx.pid");
    QFile pidFile(pidPath);
    const QByteArray pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed() : QByteArray();
    pidFile.close();
    if (pid.isEmpty())
        return;
    QProcess::startDetached(QStringLiteral("Z:/bin/kill"), {QStringLiteral("-TERM"), QString::fromLatin1(pid)});
    static_cast<void>(QTest::qWaitFor([&] { return !QFileInfo::exists(pidPath); }, 5000));
#else
    stopChild(process);
#endif
}

QString NginxServer::baseUrl() const
{
    return (tls.certificate.isEmpty() ? QStringLiteral("http://127.0.0.1:%1/") : QStringLiteral("https://127.0.0.1:%1/"))
        .arg(serverPort);
}

QList<QByteArray> NginxServer::accessLog() const
{
    QFile file(workDir.path() + QStringLiteral("/access.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

QByteArray NginxServer::errorLog() const
{
    QFile file(workDir.path() + QStringLiteral("/error.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
