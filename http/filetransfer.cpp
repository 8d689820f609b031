#include "http/filetransfer.h"

#include "fileops/diskreserve.h"
#include "http/replyrules.h"
#include "log/logger.h"

#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

FileTransfer::FileTransfer(const DownloadTask &task, const TransferLimits &limits, int silence, DiskReserve &diskReserve,
                           QObject *parent)
    : QObject(parent)
    , fileTask(task)
    , silenceMs(silence)
    , reserve(diskReserve)
    , staged(task.localPath, diskReserve)
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
    return staged.open({-1, fileTask.md5}) == StagedFile::Problem::None;
}

void FileTransfer::start(QNetworkReply *newReply)
{
    reply = newReply;
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
    staged.discard();
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
    const QByteArray data = reply->readAll();
    guard.addBytes(data.size());
    const StagedFile::Problem stagingProblem = staged.append(data);
    if (stagingProblem != StagedFile::Problem::None) {
        failStaging(stagingProblem);
        return false;
    }
    if (!data.isEmpty())
        reportProgress();
    return true;
}

void FileTransfer::reportProgress()
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    emit progress(staged.size(), length.isValid() ? length.toLongLong() : -1);
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
    const StagedFile::Problem problem = staged.finish();
    if (problem != StagedFile::Problem::None) {
        failStaging(problem);
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

void FileTransfer::failStaging(StagedFile::Problem problem)
{
    switch (problem) {
    case StagedFile::Problem::DiskShort:
        failWith(reserve.shortageText());
        return;
    case StagedFile::Problem::DigestMismatch:
    case StagedFile::Problem::SizeMismatch:
    case StagedFile::Problem::TooLong: {
        // A file that is not what the manifest promised is never installed.
        const QString detail = QStringLiteral("文件校验失败:") + fileTask.localPath;
        fail(detail, detail + QStringLiteral(" md5=") + staged.md5() + QStringLiteral(" 期望=") + fileTask.md5);
        return;
    }
    case StagedFile::Problem::None:
    case StagedFile::Problem::Open:
    case StagedFile::Problem::Write:
        break;
    }
    failToSave();
}
