#include "http/filetransfer.h"

#include "fileops/diskreserve.h"
#include "http/replyrules.h"
#include "log/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

FileTransfer::FileTransfer(const DownloadTask &task, const TransferLimits &limits, int silence, DiskReserve &diskReserve,
                           QObject *parent)
    : QObject(parent)
    , fileTask(task)
    , silenceMs(silence)
    , reserve(diskReserve)
    , file(task.localPath)
    , guard(TransferGuard::Kind::File, limits)
{
    connect(&guard, &TransferGuard::breached, this, [this] { failWith(guard.breachText()); });
}

FileTransfer::~FileTransfer()
{
    abort();
}

bool FileTransfer::open()
{
    QDir().mkpath(QFileInfo(fileTask.localPath).absolutePath());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void FileTransfer::start(QNetworkReply *newReply)
{
    reply = newReply;
    hash.reset();
    stored = 0;
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::onReadyRead);
    // The size is known from the answer's header, before any byte.
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileTransfer::reportProgress);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::onFinished);
    guard.start();
}

void FileTransfer::abort()
{
    guard.stop();
    dropReply();
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
}

void FileTransfer::dropReply()
{
    if (!reply)
        return;
    QNetworkReply *dropped = reply;
    reply = nullptr;
    disconnect(dropped, nullptr, this, nullptr);
    dropped->abort();
    dropped->deleteLater();
}

void FileTransfer::onReadyRead()
{
    store();
}

bool FileTransfer::store()
{
    const QString problem = answerProblem(reply, 0, 0);
    if (!problem.isEmpty()) {
        failWith(problem);
        return false;
    }
    const qint64 bytes = reply->bytesAvailable();
    if (!reserve.admit(bytes)) {
        failWith(reserve.shortageText());
        return false;
    }
    guard.addBytes(bytes);
    if (!appendReplyData(reply, file, &hash)) {
        failToSave();
        return false;
    }
    if (bytes > 0) {
        stored += bytes;
        reportProgress();
    }
    return true;
}

void FileTransfer::reportProgress()
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    emit progress(stored, length.isValid() ? length.toLongLong() : -1);
}

void FileTransfer::onFinished()
{
    guard.stop();
    if (reply->error() != QNetworkReply::NoError) {
        if (timedOut(reply)) {
            failWith(timeoutText(silenceMs));
        } else {
            const QString detail = fileErrorText(QFileInfo(fileTask.localPath).fileName(), replyErrorText(reply));
            fail(detail, detail + QStringLiteral(" (") + replySystemText(reply) + QLatin1Char(')'));
        }
        return;
    }
    if (!store())
        return;
    dropReply();
    if (!closeWritten(file)) {
        failToSave();
        return;
    }
    const QString digest = QString::fromLatin1(hash.result().toHex());
    if (digest.compare(fileTask.md5, Qt::CaseInsensitive) != 0) {
        // A file that is not what the manifest promised is never installed.
        const QString detail = QStringLiteral("文件校验失败:") + fileTask.localPath;
        fail(detail, detail + QStringLiteral(" md5=") + digest + QStringLiteral(" 期望=") + fileTask.md5);
        return;
    }
    emit succeeded();
}

void FileTransfer::fail(const QString &detail, const QString &logLine)
{
    abort();
    QFile::remove(fileTask.localPath); // also when it was closed already
    logError(logLine.isEmpty() ? detail : logLine);
    emit failed(detail);
}

void FileTransfer::failWith(const QString &reason)
{
    fail(fileErrorText(QFileInfo(fileTask.localPath).fileName(), reason));
}

void FileTransfer::failToSave()
{
    fail(saveErrorText(fileTask.localPath));
}
