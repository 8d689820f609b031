#include "config/proxysettings.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "log/logger.h"

#include <QAuthenticator>
#include <QHostAddress>
#include <QUrl>

ProxySettings ProxySettings::parse(const QString &proxyText, const QString &configuredUser,
                                   const QString &configuredPassword)
{
    ProxySettings settings;
    settings.user = configuredUser;
    settings.password = configuredPassword;
    const QString text = proxyText.trimmed();
    if (text.isEmpty() || text.compare(QLatin1String("system"), Qt::CaseInsensitive) == 0)
        return settings;
    if (text.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        settings.mode = Mode::None;
        return settings;
    }
    const QUrl url(text, QUrl::StrictMode);
    const bool usable = url.isValid() && url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
        && !url.host().isEmpty() && url.port() > 0 && (url.path().isEmpty() || url.path() == QLatin1String("/"))
        && !url.hasQuery() && !url.hasFragment();
    if (!usable) {
        // Never a silent direct connection where an administrator asked for a proxy.
        settings.mode = Mode::None;
        settings.problem = QStringLiteral("代理设置无效（Proxy=%1），应为 system、none 或 http://主机:端口").arg(text);
        return settings;
    }
    settings.mode = Mode::Fixed;
    settings.fixed = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()));
    if (settings.user.isEmpty()) {
        settings.user = url.userName(QUrl::FullyDecoded);
        settings.password = url.password(QUrl::FullyDecoded);
    }
    return settings;
}

ProxySettings ProxySettings::fromConfig(const CSystemConfig &config)
{
    const QString group = QString::fromLatin1(Names::kGroupUpdate);
    return parse(config.getValue(group, QString::fromLatin1(Names::kKeyProxy)),
                 config.getValue(group, QString::fromLatin1(Names::kKeyProxyUser)),
                 config.getValue(group, QString::fromLatin1(Names::kKeyProxyPassword)));
}

QList<QNetworkProxy> ProxySettings::proxiesFor(const QNetworkProxyQuery &query) const
{
    switch (mode) {
    case Mode::None:
        break;
    case Mode::Fixed:
        return {fixed};
    case Mode::System: {
        // As Qt itself does for the application's proxy: a server on this
        // machine is reached directly, without asking the system (which
        // may mean a slow proxy discovery for every request).
        const QString host = query.peerHostName();
        const QHostAddress address(host);
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || address.isLoopback())
            break;
        const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(query);
        if (!proxies.isEmpty())
            return proxies;
        break;
    }
    }
    return {QNetworkProxy(QNetworkProxy::NoProxy)};
}

QNetworkProxy ProxySettings::tcpProxyFor(const QString &host, quint16 port) const
{
    const QNetworkProxyQuery query(host, port, QString(), QNetworkProxyQuery::TcpSocket);
    for (const QNetworkProxy &proxy : proxiesFor(query)) {
        // A proxy that cannot tunnel (a caching-only one) carries no TCP connection.
        if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::Socks5Proxy
            || (proxy.type() == QNetworkProxy::HttpProxy
                && proxy.capabilities().testFlag(QNetworkProxy::TunnelingCapability)))
            return proxy;
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

void ProxySettings::answerChallenge(QAuthenticator *authenticator, int &answered) const
{
    if (user.isEmpty())
        return;
    if (answered > 0) {
        logError(QStringLiteral("代理服务器拒绝了配置的凭据（用户 %1）").arg(user));
        return;
    }
    ++answered;
    authenticator->setUser(user);
    authenticator->setPassword(password);
}
