#include "http/replyrules.h"

#include <QNetworkRequest>
#include <QVariant>

namespace {

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 || status == 308;
}

} // namespace

QString answerProblem(QNetworkReply *reply, qint64 stored, qint64 maxBytes)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()) && !reply->isFinished())
        return QString();
    if (status.isValid() && status.toInt() != 200)
        return QStringLiteral("服务器应答HTTP %1").arg(status.toInt());
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return QStringLiteral("服务器返回了压缩编码（%1）的内容").arg(QString::fromLatin1(encoding));
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (maxBytes > 0 && (announced > maxBytes || stored + reply->bytesAvailable() > maxBytes))
        return QStringLiteral("内容超过上限（%1字节）").arg(maxBytes);
    return QString();
}

QString replyErrorText(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()))
        return QStringLiteral("服务器应答HTTP %1，重定向未被跟随：").arg(status.toInt()) + reply->errorString();
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

bool appendReplyData(QNetworkReply *reply, QFile &file, QCryptographicHash *hash)
{
    const QByteArray chunk = reply->readAll();
    if (chunk.isEmpty())
        return true;
    if (hash)
        hash->addData(chunk);
    return file.write(chunk) == chunk.size();
}

bool closeWritten(QFile &file)
{
    const bool flushed = file.flush();
    file.close();
    return flushed && file.error() == QFileDevice::NoError;
}
