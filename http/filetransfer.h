#pragma once

#include "config/transferlimits.h"
#include "fileops/stagedfile.h"
#include "fileops/transferguard.h"

#include <QObject>
#include <QString>

class DiskReserve;
class QNetworkReply;

// One file of a run.
struct DownloadTask
{
    QString url;
    QString localPath;
    QString md5; // the server's digest, checked against the received bytes
};

// One file of a download run: the reply is written to the staged file as it
// arrives (the reply holds at most its read buffer), its digest computed on
// the way and checked at the end. The transfer keeps its own least rate;
// the disk reserve is the run's, shared by all its transfers.
//
// It ends once, through succeeded() or failed(), unless abort() ends it
// silently first. Whatever ends it unsuccessfully leaves nothing at the
// staged path.
class FileTransfer : public QObject
{
    Q_OBJECT
public:
    // silenceMs: the request's own limit without data, for the time-out text.
    // reserve must outlive the transfer.
    FileTransfer(const DownloadTask &task, const TransferLimits &limits, int silenceMs, DiskReserve &reserve,
                 QObject *parent = nullptr);
    // Aborts as abort() does.
    ~FileTransfer() override;

    const DownloadTask &task() const { return fileTask; }

    // Creates the staged file (and its folder); false when it cannot.
    bool open();
    // Reads reply (a GET of task().url, read buffer set) into the file opened
    // before and owns it from now on.
    void start(QNetworkReply *reply);
    // Ends the transfer without a signal: the reply is detached before it is
    // aborted (Qt reports an abort inside the call), the partial file removed.
    void abort();

signals:
    // Bytes stored so far, and the size the answer announced (-1 when it
    // named none), once the answer's header is in and as each piece is
    // stored: Qt's own progress signal skips
    // pieces that follow each other closely, and the last one before a
    // pause would go unseen.
    void progress(qint64 received, qint64 total);
    // The file is staged whole and has the promised digest.
    void succeeded();
    // detail says why, for people; it has been logged.
    void failed(const QString &detail);

private:
    void onReadyRead();
    void onFinished();
    // Judges what the reply holds and stores it; false when that ended the
    // transfer.
    bool store();
    void reportProgress();
    // Ends the transfer: logs logLine, cleans up, emits failed(detail).
    void fail(const QString &detail, const QString &logLine = QString());
    void failWith(const QString &reason);
    void failToSave();
    // Ends the transfer for a problem of the staged file.
    void failStaging(StagedFile::Problem problem);
    void dropReply();

    const DownloadTask fileTask;
    const int silenceMs;
    DiskReserve &reserve;
    QNetworkReply *reply = nullptr;
    StagedFile staged; // writes, reserves and hashes
    TransferGuard guard;
};
