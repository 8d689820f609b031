#pragma once

#include "fileops/failurecause.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QTimer;

// How a failed file is tried again from the same source.
struct RetryPolicy
{
    int retries = 3;    // after the first attempt: four attempts in all
    int pauseMs = 1000; // between two attempts; cancel ends it at once
};

// How one attempt at a file ended, as its transport reports it.
struct AttemptEnd
{
    bool ok = true;
    FailureCause cause = FailureCause::Cut; // when not ok
    QString detail;                          // why, for people: the run's failure text when it is the last

    static AttemptEnd success() { return {}; }
    static AttemptEnd failure(FailureCause cause, const QString &detail = QString()) { return {false, cause, detail}; }
};

// The one scheduler of a download run, whichever road carries the bytes.
// The run's files are handed out to lanes (a TCP lane is bound to its
// connection, an HTTP lane is a slot of the parallel requests), one file per
// lane at a time, in list order. A transport only starts the attempt it is
// told (attemptDue) and reports how it ended (attemptEnded); what follows is
// decided here by verdictFor(): the same source again after a pause (QTimer,
// RetryPolicy), the file's next source once one has failed for good, or the
// end of the run. The run ends once (finished): every file done, a file that
// no source could deliver, cancel (which ends a pause at once) or stop.
//
// A transport may report an attempt's end before attemptDue returns; files
// that need no fetching therefore pass without the stack growing. Nothing
// reported after the end, or for a lane without an attempt out, counts.
//
// The retry lines of the log are written here: "重试下载: <name>, 尝试次数: <n>",
// "下载失败，等待重试: <name>", "下载最终失败，已达到最大重试次数: <name>",
// "下载失败，不再重试: <name>" (a failure not worth retrying), "改用下一个来源下载: <name>".
class DownloadScheduler : public QObject
{
    Q_OBJECT
public:
    struct Attempt
    {
        int lane = -1;
        int item = -1;   // index in the run's files; -1: the lane is idle
        int source = 0;  // index in the file's sources
        int number = 0;  // 0 for the first attempt from this source, then 1, 2 ...
    };
    enum class End { Done, Failed, Cancelled, Stopped };
    Q_ENUM(End)

    explicit DownloadScheduler(QObject *parent = nullptr);
    ~DownloadScheduler() override;

    void setRetryPolicy(const RetryPolicy &policy) { retryPolicy = policy; }
    const RetryPolicy &policy() const { return retryPolicy; }

    // Runs names (the files, as the log names them) over up to laneCount
    // lanes (at least one, never more than files). sources[i]: how many
    // sources file i has (1 where missing). A run without files is done at
    // once. A run still going is stopped first.
    void start(const QStringList &names, int laneCount, const QVector<int> &sources = {});
    void attemptEnded(int lane, const AttemptEnd &end);
    // End::Cancelled, at once, pauses too.
    void cancel();
    // End::Stopped: the run ends for a reason outside its files.
    void stop();

    bool isRunning() const { return running; }
    int laneCount() const { return lanes.size(); }
    int doneCount() const { return done; }
    // What the lane is working on (item -1: idle, or the run is over).
    Attempt attemptOn(int lane) const;
    // After End::Failed: the file that failed and how its last attempt ended.
    int failedItem() const { return failed; }
    const AttemptEnd &lastFailure() const { return failure; }

signals:
    // The transport starts this attempt now.
    void attemptDue(const DownloadScheduler::Attempt &attempt);
    // A file is done (counted in doneCount already); the lane moves on after.
    void itemDone(int item);
    // The file's lane waits before its next attempt.
    void retryPaused(int item);
    void finished(DownloadScheduler::End end);

private:
    struct Lane
    {
        Attempt attempt;
        bool out = false; // an attempt was handed out and has not ended
        QTimer *pause = nullptr;
    };

    // The lane is to start its attempt, or take the next file when idle.
    void queue(int lane);
    void dispatch();
    void finish(End end);
    void giveUp(const Attempt &attempt, const AttemptEnd &end);

    RetryPolicy retryPolicy;
    QStringList files;
    QVector<int> sourceCounts;
    QVector<Lane> lanes;
    QVector<int> due; // lanes to dispatch, in order
    bool dispatching = false;
    bool running = false;
    int next = 0;
    int done = 0;
    int failed = -1;
    AttemptEnd failure;
};

Q_DECLARE_METATYPE(DownloadScheduler::Attempt)
