#include "http/filetransfer.h"

#include "fileops/diskreserve.h"
#include "fileops/pathpolicy.h"
#include "http/replyrules.h"
#include "log/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

// Staging paths up to this length fit every file system's limit (Windows'
// 260 characters without the long-path prefix).
constexpr int kPortablePathLength = 240;

// Where the task's bytes are written: among the partial downloads when they
// are kept, else at the staged path.
QString writePath(const DownloadTask &task, const PartialDownloads &partials)
{
    const QString partial = partials.dataPath(task.md5);
    return partial.isEmpty() ? task.localPath : partial;
}

bool isRedirect(int status)
{
    return status >= 300 && status < 400;
}

} // namespace

FileTransfer::FileTransfer(const DownloadTask &task, const TransferLimits &limits, int silence, DiskReserve &diskReserve,
                           const PartialDownloads &partialDownloads, QObject *parent)
    : QObject(parent)
    , fileTask(task)
    , silenceMs(silence)
    , reserve(diskReserve)
    , partials(partialDownloads)
    , staged(writePath(task, partialDownloads), diskReserve)
    , guard(TransferGuard::Kind::File, limits)
{
    connect(&guard, &TransferGuard::breached, this, [this] { failWith(FailureCause::TimedOut, guard.breachText()); });
}

bool FileTransfer::placeHolds(const QString &path)
{
    const QFileInfo place(path);
    if (!QDir().mkpath(place.absolutePath()))
        return false;
    // A file is made (and removed) only for a name not every file system
    // holds: each such probe leaves a freed inode behind, and with
    // thousands of files those make every later file's creation slower.
    if (PathPolicy::isPortableFileName(place.fileName()) && path.size() <= kPortablePathLength)
        return true;
    StagedFile probe(path, reserve);
    if (probe.open() != StagedFile::Problem::None)
        return false;
    probe.discard();
    return true;
}

FileTransfer::~FileTransfer()
{
    abort();
}

bool FileTransfer::open()
{
    if (staged.path() != fileTask.localPath && !placeHolds(fileTask.localPath))
        return false;
    const PartialDownloads::Kept kept = partials.kept(fileTask.md5);
    if (kept.bytes > 0 && staged.openKeeping(kept.bytes, {kept.total, fileTask.md5}) == StagedFile::Problem::None) {
        if (kept.validator.isEmpty() || staged.size() == kept.total) {
            // Whole already, or only a whole file could be of use: taken
            // when it verifies, fetched again when not.
            complete = staged.finish() == StagedFile::Problem::None;
            if (complete)
                return true;
        } else {
            resumeFrom = staged.size();
            ifRange = kept.validator;
            recorded = true;
            return true;
        }
    }
    partials.forget(fileTask.md5);
    return staged.open({-1, fileTask.md5}) == StagedFile::Problem::None;
}

void FileTransfer::openAfresh()
{
    resumeFrom = 0;
    ifRange.clear();
    recorded = false;
    staged.discard();
    partials.forget(fileTask.md5);
    if (staged.open({-1, fileTask.md5}) != StagedFile::Problem::None)
        failToSave();
}

void FileTransfer::start(Fetch fetcher)
{
    fetch = std::move(fetcher);
    Headers headers;
    if (resumeFrom > 0) {
        headers.append({"Range", "bytes=" + QByteArray::number(resumeFrom) + '-'});
        headers.append({"If-Range", ifRange});
        logInfo(QStringLiteral("继续下载:") + fileTask.localPath + QStringLiteral(" 从第") + QString::number(resumeFrom)
                + QStringLiteral("字节起"));
    }
    answered = false;
    refusal.clear();
    reply = fetch(headers);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::onReadyRead);
    // The size is known from the answer's header, before any byte.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (acceptAnswer())
            reportProgress();
    });
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::onFinished);
    guard.start();
}

void FileTransfer::abort()
{
    guard.stop();
    dropReply();
    if (complete || !staged.isOpen())
        return;
    if (recorded && staged.size() > 0) {
        staged.keep();
    } else {
        staged.discard();
        partials.forget(fileTask.md5);
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

bool FileTransfer::acceptAnswer()
{
    if (answered)
        return true;
    const QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusValue.toInt();
    // Nothing to judge before the header, nor while a redirect is followed.
    if (!statusValue.isValid() || (isRedirect(status) && !reply->isFinished()))
        return true;
    answered = true;
    if (resumeFrom > 0) {
        qint64 total = -1;
        switch (resumeAnswer(status, reply->rawHeader("Content-Range"), resumeFrom, &total)) {
        case ResumeAnswer::Rest:
            if (staged.expectation().size >= 0 && total != staged.expectation().size) {
                restartAfresh(QStringLiteral("服务器上的文件大小已改变"));
                return false;
            }
            wholeSize = total;
            return true;
        case ResumeAnswer::Whole:
            // No ranges, or the server's copy changed: this body is all of it.
            logInfo(QStringLiteral("服务器发送整个文件，重新下载:") + fileTask.localPath);
            openAfresh();
            break;
        case ResumeAnswer::Unusable:
            restartAfresh(QStringLiteral("服务器未按请求发送文件的其余部分"));
            return false;
        }
    }
    if (!staged.isOpen())
        return false; // openAfresh failed
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    wholeSize = length.isValid() ? length.toLongLong() : -1;
    // Only a strong validator may be compared by If-Range.
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    const QByteArray modified = reply->rawHeader("Last-Modified").trimmed();
    if (status != 200 || (wholeSize >= 0 && wholeSize <= PartialDownloads::kRecordAbove))
        return true;
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        recorded = partials.record(fileTask.md5, "ETag", etag, wholeSize);
    else if (!modified.isEmpty())
        recorded = partials.record(fileTask.md5, "Last-Modified", modified, wholeSize);
    return true;
}

void FileTransfer::restartAfresh(const QString &why)
{
    logWarn(why + QStringLiteral("，重新下载:") + fileTask.localPath);
    dropReply();
    guard.stop();
    openAfresh();
    if (staged.isOpen())
        start(fetch);
}

void FileTransfer::onReadyRead()
{
    store();
}

bool FileTransfer::store()
{
    if (!acceptAnswer())
        return false;
    if (refusal.isEmpty())
        refusal = answerProblem(reply, 0, 0, resumeFrom > 0 ? 206 : 200);
    if (!refusal.isEmpty()) {
        // An error answer fails the transfer once it has ended (onFinished).
        if (endsByItself(reply))
            reply->readAll();
        else
            failWith(replyCause(), refusal);
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
    emit progress(staged.size(), wholeSize);
}

void FileTransfer::onFinished()
{
    guard.stop();
    if (!refusal.isEmpty()) {
        failWith(replyCause(), refusal);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // What arrived before the cut is the file's beginning: kept for the
        // next run, with whatever Qt still holds of it.
        if (recorded && reply->error() != QNetworkReply::OperationCanceledError && !store())
            return;
        if (timedOut(reply)) {
            failWith(FailureCause::TimedOut, timeoutText(silenceMs));
        } else {
            const QString detail = fileErrorText(QFileInfo(fileTask.localPath).fileName(), replyErrorText(reply));
            fail(replyCause(), detail, detail + QStringLiteral(" (") + replySystemText(reply) + QLatin1Char(')'));
        }
        return;
    }
    if (!store())
        return;
    // A connection that closed early can end a reply without an error: the
    // bytes so far are kept like those of any cut.
    if (reply->header(QNetworkRequest::ContentLengthHeader).isValid()) {
        const QString cut = incompleteBodyProblem(reply, staged.size() - resumeFrom);
        if (!cut.isEmpty()) {
            failWith(FailureCause::Cut, cut);
            return;
        }
    }
    dropReply();
    const bool resumed = resumeFrom > 0;
    const StagedFile::Problem problem = staged.finish();
    if (problem == StagedFile::Problem::DigestMismatch && resumed) {
        // The kept bytes may be what a killed run tore: once more, whole.
        restartAfresh(QStringLiteral("续传的文件校验失败"));
        return;
    }
    if (problem != StagedFile::Problem::None) {
        failStaging(problem);
        return;
    }
    if (recorded && wholeSize != staged.size()) {
        // The whole size is now known, so a later run takes the file as it is.
        const PartialDownloads::Kept kept = partials.kept(fileTask.md5);
        partials.record(fileTask.md5, kept.validatorName, kept.validator, staged.size());
    }
    complete = true;
    emit succeeded();
}

FailureCause FileTransfer::replyCause() const
{
    return replyFailureCause(reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

void FileTransfer::fail(FailureCause cause, const QString &detail, const QString &logLine, Keep keep)
{
    if (keep == Keep::Nothing)
        recorded = false;
    abort();
    QFile::remove(fileTask.localPath); // also when it was closed already
    logError(logLine.isEmpty() ? detail : logLine);
    emit failed(cause, detail);
}

void FileTransfer::failWith(FailureCause cause, const QString &reason)
{
    fail(cause, fileErrorText(QFileInfo(fileTask.localPath).fileName(), reason));
}

void FileTransfer::failToSave()
{
    fail(FailureCause::WriteFailed, saveErrorText(fileTask.shownPath), saveErrorText(fileTask.localPath), Keep::Nothing);
}

void FileTransfer::failStaging(StagedFile::Problem problem)
{
    switch (problem) {
    case StagedFile::Problem::DiskShort:
        fail(FailureCause::DiskFull, fileErrorText(QFileInfo(fileTask.localPath).fileName(), reserve.shortageText()),
             QString(), Keep::Nothing);
        return;
    case StagedFile::Problem::DigestMismatch:
    case StagedFile::Problem::SizeMismatch:
    case StagedFile::Problem::TooLong: {
        // A file that is not what the manifest promised is never installed.
        const QString detail = QStringLiteral("文件校验失败:");
        fail(FailureCause::DigestMismatch, detail + fileTask.shownPath,
             detail + fileTask.localPath + QStringLiteral(" md5=") + staged.md5() + QStringLiteral(" 期望=") + fileTask.md5,
             Keep::Nothing);
        return;
    }
    case StagedFile::Problem::None:
    case StagedFile::Problem::Open:
    case StagedFile::Problem::Write:
        break;
    }
    failToSave();
}
