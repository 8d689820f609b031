#include "http/tlstrust.h"

#include "log/logger.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>

namespace {
// The reply's property that holds its certificate errors.
const char *const kCertificateErrors = "certificateErrors";
} // namespace

#ifndef QT_NO_SSL
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#endif

void applyTrust(QNetworkRequest &request, const QString &caFile)
{
#ifndef QT_NO_SSL
    if (caFile.isEmpty())
        return;
    // Read once per run: every request of a run trusts the same authorities.
    static QString loadedFrom;
    static QList<QSslCertificate> authorities;
    if (loadedFrom != caFile) {
        loadedFrom = caFile;
        authorities = QSslCertificate::fromPath(caFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
        if (authorities.isEmpty())
            logError(QStringLiteral("CaFile 中没有可用的证书: ") + caFile);
    }
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.addCaCertificates(authorities);
    request.setSslConfiguration(ssl);
#else
    if (!caFile.isEmpty())
        logError(QStringLiteral("此版本不支持 HTTPS，CaFile 无效: ") + caFile);
#endif
}

void reportCertificateErrors(QNetworkReply *reply)
{
#ifndef QT_NO_SSL
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts << error.errorString();
        reply->setProperty(kCertificateErrors, texts.join(QStringLiteral("; ")));
        logError(certificateRefusal(reply) + QStringLiteral(" (") + reply->url().toString() + QLatin1Char(')'));
    });
#else
    Q_UNUSED(reply)
#endif
}

QString certificateRefusal(const QNetworkReply *reply)
{
    const QString errors = reply->property(kCertificateErrors).toString();
    return errors.isEmpty() ? QString() : QStringLiteral("服务器证书不可信: ") + errors;
}
