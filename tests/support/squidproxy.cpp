#include "squidproxy.h"

#include "nginxserver.h"

#include <QFile>
#include <QTest>

namespace {

const QString kSquid = QStringLiteral("/usr/sbin/squid");
const QString kBasicHelper = QStringLiteral("/usr/lib/squid/basic_ncsa_auth");
constexpr int kStartAttempts = 5;
constexpr int kReadyWaitMs = 15000;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray accessRules(SquidProxy::Policy policy, const QByteArray &passwords)
{
    switch (policy) {
    case SquidProxy::Policy::Open:
        return "http_access allow all\n";
    case SquidProxy::Policy::Basic:
        return "auth_param basic program " + kBasicHelper.toUtf8() + " " + passwords + "\n"
               "auth_param basic realm updater-test\n"
               "acl authenticated proxy_auth REQUIRED\n"
               "http_access allow authenticated\nhttp_access deny all\n";
    case SquidProxy::Policy::Connect443Only:
        return "acl SSL_ports port 443\nacl CONNECT method CONNECT\n"
               "http_access deny CONNECT !SSL_ports\nhttp_access allow all\n";
    case SquidProxy::Policy::RefuseAll:
        break;
    }
    return "http_access deny all\n";
}

} // namespace

SquidProxy::SquidProxy(Policy proxyPolicy)
    : policy(proxyPolicy)
{
    // squid started as root works as its own user: it must reach its folder.
    QFile::setPermissions(workDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadOther | QFileDevice::WriteOther
                                              | QFileDevice::ExeOther);
    if (policy == Policy::Basic) {
        QProcess htpasswd;
        htpasswd.start(QStringLiteral("htpasswd"), {QStringLiteral("-b"), QStringLiteral("-c"),
                                                     workDir.filePath(QStringLiteral("passwd")),
                                                     QString::fromLatin1(kUser), QString::fromLatin1(kPassword)});
        if (!htpasswd.waitForFinished(10000) || htpasswd.exitCode() != 0)
            return;
    }
    for (int attempt = 0; attempt < kStartAttempts && !running; ++attempt)
        running = tryStart();
}

SquidProxy::~SquidProxy()
{
    stop();
}

bool SquidProxy::tryStart()
{
    proxyPort = freeLocalPort();
    if (!workDir.isValid() || proxyPort == 0)
        return false;
    const QByteArray w = workDir.path().toUtf8();
    QByteArray text = "http_port 127.0.0.1:" + QByteArray::number(proxyPort) + "\n";
    text += "visible_hostname localhost\npid_filename " + w + "/squid.pid\n";
    text += "cache_log " + w + "/cache.log\naccess_log stdio:" + w + "/access.log\n";
    text += "coredump_dir " + w + "\nnetdb_filename none\ncache deny all\ncache_mem 8 MB\n";
    text += "shutdown_lifetime 0 seconds\n";
    text += accessRules(policy, w + "/passwd");
    const QString conf = workDir.filePath(QStringLiteral("squid.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(text);
    file.close();

    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(kSquid, {QStringLiteral("-N"), QStringLiteral("-f"), conf});
    if (!process.waitForStarted(5000))
        return false;
    // Ends early when squid exits (bad configuration, port taken).
    static_cast<void>(QTest::qWaitFor(
        [&] { return process.state() != QProcess::Running || acceptsLocalConnections(proxyPort); }, kReadyWaitMs));
    if (process.state() == QProcess::Running && acceptsLocalConnections(proxyPort))
        return true;
    stop();
    return false;
}

void SquidProxy::stop()
{
    stopChild(process);
}

QString SquidProxy::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(proxyPort);
}

QByteArray SquidProxy::accessLog() const
{
    // Without the connections that only probed whether the proxy is up.
    QByteArray requests;
    for (const QByteArray &line : readAll(workDir.filePath(QStringLiteral("access.log"))).split('\n')) {
        if (!line.isEmpty() && !line.contains("error:transaction-end-before-headers"))
            requests += line + '\n';
    }
    return requests;
}

QByteArray SquidProxy::cacheLog() const
{
    return readAll(workDir.filePath(QStringLiteral("cache.log")));
}
