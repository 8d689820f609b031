#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// squid as an HTTP proxy on 127.0.0.1 at a free port, for as long as the
// object lives: configuration, pid, logs and password file in a temp folder
// of its own, the proxy a foreground child process stopped by the
// destructor. Caches nothing.
class SquidProxy
{
public:
    enum class Policy {
        Open,          // forwards everything, CONNECT to any port
        Basic,         // only for kUser/kPassword (Basic authentication)
        Connect443Only, // forwards plain requests, CONNECT only to port 443
        RefuseAll,     // forwards nothing
    };
    static constexpr const char *kUser = "alice";
    static constexpr const char *kPassword = "s3cret:pass";

    explicit SquidProxy(Policy policy);
    ~SquidProxy();
    SquidProxy(const SquidProxy &) = delete;
    SquidProxy &operator=(const SquidProxy &) = delete;

    bool isRunning() const { return running; }
    quint16 port() const { return proxyPort; }
    // "http://127.0.0.1:<port>"
    QString url() const;
    // Stops the proxy (its logs are then complete).
    void stop();
    // The access log (one line per request or tunnel, without the probes of
    // start-up), once stopped; the cache log for failure messages.
    QByteArray accessLog() const;
    QByteArray cacheLog() const;

private:
    bool tryStart();

    Policy policy;
    QTemporaryDir workDir;
    QProcess process;
    quint16 proxyPort = 0;
    bool running = false;
};
