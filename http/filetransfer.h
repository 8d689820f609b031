#pragma once

#include "config/transferlimits.h"
#include "fileops/failurecause.h"
#include "fileops/partialdownloads.h"
#include "fileops/stagedfile.h"
#include "fileops/transferguard.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class DiskReserve;
class QNetworkReply;

// One file of a run.
struct DownloadTask
{
    QString url;
    QString localPath;
    QString md5; // the server's digest, checked against the received bytes
    QString shownPath; // localPath as the failure texts name it (the log keeps localPath)
};

// One file of a download run: the reply is written as it arrives (the reply
// holds at most its read buffer), its digest computed on the way and checked
// at the end. The transfer keeps its own least rate; the disk reserve is the
// run's, shared by all its transfers.
//
// With a folder for partial downloads the file is written there (see
// PartialDownloads) and stays there once verified, for the run to move into
// the staging folder when every file is in; a file an earlier run left there
// is continued with a Range request (If-Range: the validator of the answer
// its bytes came from), or taken as it is when it is whole and verifies.
// Without one the file is written at the task's staged path.
//
// It ends once, through succeeded() or failed(), unless abort() ends it
// silently first. Whatever ends it unsuccessfully leaves nothing at the
// staged path; a partial download whose answer named a validator is kept
// when the network or the run ended it, never when its bytes were wrong or
// could not be stored.
class FileTransfer : public QObject
{
    Q_OBJECT
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    // Sends a GET of task().url with these headers added (read buffer set).
    using Fetch = std::function<QNetworkReply *(const Headers &headers)>;

    // silenceMs: the request's own limit without data, for the time-out text.
    // reserve must outlive the transfer and guard the folder written to.
    FileTransfer(const DownloadTask &task, const TransferLimits &limits, int silenceMs, DiskReserve &reserve,
                 const PartialDownloads &partials = PartialDownloads(), QObject *parent = nullptr);
    // Aborts as abort() does.
    ~FileTransfer() override;

    const DownloadTask &task() const { return fileTask; }
    // Where the file is once it succeeded: the staged path, or its place
    // among the partial downloads.
    QString writtenPath() const { return staged.path(); }

    // Creates the file to write, or continues the one an earlier run kept;
    // false when it cannot.
    bool open();
    // open() found the whole file kept and it verified: nothing to fetch.
    bool isComplete() const { return complete; }
    // Fetches the rest of the file opened before; fetch may be called again
    // when the server's answer to a resumed request cannot be used.
    void start(Fetch fetch);
    // Ends the transfer without a signal: the reply is detached before it is
    // aborted (Qt reports an abort inside the call); the partial file is
    // kept when it can be resumed, removed otherwise.
    void abort();

signals:
    // Bytes of the file stored so far (a kept prefix included), and its
    // whole size as the answer named it (-1 when it named none), once the
    // answer's header is in and as each piece is stored: Qt's own progress
    // signal skips pieces that follow each other closely, and the last one
    // before a pause would go unseen.
    void progress(qint64 received, qint64 total);
    // The file is stored whole and has the promised digest.
    void succeeded();
    // cause: whether another attempt may do better (verdictFor); detail
    // says why, for people; it has been logged.
    void failed(FailureCause cause, const QString &detail);

private:
    enum class Keep { Partial, Nothing };

    void onReadyRead();
    void onFinished();
    // Judges the answer once its header is in; false when that ended or
    // restarted the transfer.
    bool acceptAnswer();
    // Judges what the reply holds and stores it; false when that ended the
    // transfer.
    bool store();
    void reportProgress();
    // Starts the file over with a request for all of it.
    void restartAfresh(const QString &why);
    void openAfresh();
    // Whether the file's place in the staging folder can be made: tried
    // before anything is fetched, so a name the disk cannot hold fails first.
    // Makes the folder.
    bool placeHolds(const QString &path);
    // Ends the transfer: logs logLine, cleans up, emits failed(cause, detail).
    void fail(FailureCause cause, const QString &detail, const QString &logLine = QString(),
              Keep keep = Keep::Partial);
    void failWith(FailureCause cause, const QString &reason);
    // The cause of what the reply reports.
    FailureCause replyCause() const;
    void failToSave();
    // Ends the transfer for a problem of the staged file.
    void failStaging(StagedFile::Problem problem);
    void dropReply();

    const DownloadTask fileTask;
    const int silenceMs;
    DiskReserve &reserve;
    const PartialDownloads partials;
    QNetworkReply *reply = nullptr;
    StagedFile staged; // writes, reserves and hashes
    TransferGuard guard;
    Fetch fetch;
    qint64 resumeFrom = 0;  // bytes kept from an earlier run, asked to be continued
    QByteArray ifRange;     // the validator they came with
    bool answered = false;  // the current reply's header has been judged
    QString refusal;        // why the current reply's answer is not taken, once it ends by itself
    bool recorded = false;  // a validator is stored beside the partial file
    qint64 wholeSize = -1;  // of the file, as the answer named it
    bool complete = false;
};
