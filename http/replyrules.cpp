#include "http/replyrules.h"

#include "config/proxysettings.h"

#include <QNetworkRequest>
#include <QRegularExpression>
#include <QVariant>

namespace {

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 || status == 308;
}

} // namespace

QString answerProblem(QNetworkReply *reply, qint64 stored, qint64 maxBytes, int acceptedStatus)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()) && !reply->isFinished())
        return QString();
    // Only a proxy answers 407, and only once it took no credentials offered.
    if (status.isValid() && status.toInt() == 407)
        return kProxyAuthRefused;
    if (status.isValid() && status.toInt() != acceptedStatus)
        return QStringLiteral("服务器应答HTTP %1").arg(status.toInt());
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return QStringLiteral("服务器返回了压缩编码（%1）的内容").arg(QString::fromLatin1(encoding));
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (maxBytes > 0 && (announced > maxBytes || stored + reply->bytesAvailable() > maxBytes))
        return QStringLiteral("内容超过上限（%1字节）").arg(maxBytes);
    return QString();
}

bool endsByItself(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return status >= 400 && length.isValid() && length.toLongLong() <= kDroppedBodyBytes;
}

ResumeAnswer resumeAnswer(int status, const QByteArray &contentRange, qint64 from, qint64 *total)
{
    if (status == 200)
        return ResumeAnswer::Whole;
    if (status != 206)
        return ResumeAnswer::Unusable;
    // Numbers as a server writes them, without leading zeros.
    static const QRegularExpression form(QStringLiteral("^bytes (0|[1-9][0-9]{0,17})-(0|[1-9][0-9]{0,17})/(0|[1-9][0-9]{0,17})$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(contentRange.trimmed()));
    if (!match.hasMatch())
        return ResumeAnswer::Unusable;
    const qint64 first = match.captured(1).toLongLong();
    const qint64 last = match.captured(2).toLongLong();
    const qint64 size = match.captured(3).toLongLong();
    if (first != from || last != size - 1 || last < first)
        return ResumeAnswer::Unusable;
    *total = size;
    return ResumeAnswer::Rest;
}

QString incompleteBodyProblem(QNetworkReply *reply, qint64 stored)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid())
        return announced.toLongLong() == stored
            ? QString()
            : QStringLiteral("内容不完整（收到%1字节，应为%2字节）").arg(stored).arg(announced.toLongLong());
    if (reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
        return QString();
    return QStringLiteral("服务器的应答既无Content-Length也未分块传输，无法确认内容完整");
}

QString replyErrorText(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()))
        return QStringLiteral("服务器应答HTTP %1，重定向未被跟随").arg(status.toInt());
    const QNetworkReply::NetworkError error = reply->error();
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("服务器拒绝连接");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("服务器关闭了连接");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("找不到服务器");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return kProxyAuthRefused;
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("无法建立安全连接");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("网络暂时不可用");
    default:
        break;
    }
    if (error >= QNetworkReply::ProxyConnectionRefusedError && error < QNetworkReply::ContentAccessDenied)
        return QStringLiteral("无法通过代理服务器连接");
    if (error >= QNetworkReply::ContentAccessDenied && error < QNetworkReply::ProtocolUnknownError)
        return QStringLiteral("服务器拒绝了请求");
    if (error >= QNetworkReply::ProtocolUnknownError && error < QNetworkReply::InternalServerError)
        return QStringLiteral("服务器的应答无法识别");
    if (error >= QNetworkReply::InternalServerError)
        return QStringLiteral("服务器内部错误");
    return QStringLiteral("网络错误");
}

QString replySystemText(QNetworkReply *reply)
{
    return reply->errorString();
}

QString fileErrorText(const QString &name, const QString &reason)
{
    return QStringLiteral("下载文件 \"") + name + QStringLiteral("\" 时出错: ") + reason;
}

QString saveErrorText(const QString &path)
{
    return QStringLiteral("无法保存文件:") + path;
}

bool timedOut(QNetworkReply *reply)
{
    return reply->error() == QNetworkReply::TimeoutError || reply->error() == QNetworkReply::OperationCanceledError;
}

QString timeoutText(int timeoutMs)
{
    return QStringLiteral("下载超时（") + QString::number((timeoutMs + 999) / 1000) + QStringLiteral("秒）");
}

FailureCause replyFailureCause(QNetworkReply::NetworkError error, int status)
{
    if (status >= 500 || status == 408 || status == 429)
        return FailureCause::ServerError;
    if (status == 404 || status == 410)
        return FailureCause::Missing;
    if (status == 401 || status == 403 || status == 407)
        return FailureCause::Denied;
    if (status >= 400 || (status > 0 && status < 200))
        return FailureCause::BadAnswer;
    switch (error) {
    case QNetworkReply::NoError:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return FailureCause::BadAnswer;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return FailureCause::Refused;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return FailureCause::TimedOut;
    case QNetworkReply::OperationCanceledError:
        return FailureCause::Cancelled;
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentAccessDenied:
        return FailureCause::Denied;
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentGoneError:
        return FailureCause::Missing;
    case QNetworkReply::InternalServerError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return FailureCause::ServerError;
    default:
        break;
    }
    // The connection closed, was reset or failed on the way (network and
    // proxy errors below 200).
    return error < 200 ? FailureCause::Cut : FailureCause::BadAnswer;
}
