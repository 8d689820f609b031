#include "fileops/downloadscheduler.h"

#include "log/logger.h"

#include <QTimer>

DownloadScheduler::DownloadScheduler(QObject *parent)
    : QObject(parent)
{
}

DownloadScheduler::~DownloadScheduler() = default;

void DownloadScheduler::start(const QStringList &names, int laneCount, const QVector<int> &sources)
{
    stop();
    for (const Lane &lane : qAsConst(lanes))
        delete lane.pause;
    files = names;
    sourceCounts = sources;
    next = 0;
    done = 0;
    failed = -1;
    failure = AttemptEnd();
    due.clear();
    lanes = QVector<Lane>(qBound(1, laneCount, qMax(1, int(files.size()))));
    running = true;
    if (files.isEmpty()) {
        finish(End::Done);
        return;
    }
    for (int i = 0; i < lanes.size(); ++i) {
        lanes[i].attempt.lane = i;
        lanes[i].pause = new QTimer(this);
        lanes[i].pause->setSingleShot(true);
        connect(lanes[i].pause, &QTimer::timeout, this, [this, i] { queue(i); });
    }
    for (int i = 0; i < lanes.size(); ++i)
        due.append(i);
    dispatch();
}

DownloadScheduler::Attempt DownloadScheduler::attemptOn(int lane) const
{
    if (!running || lane < 0 || lane >= lanes.size())
        return Attempt{lane};
    return lanes.at(lane).attempt;
}

void DownloadScheduler::queue(int lane)
{
    due.append(lane);
    dispatch();
}

void DownloadScheduler::dispatch()
{
    // One loop hands out every attempt: an attempt that ends inside
    // attemptDue queues its lane here instead of starting the next one
    // deeper down the stack.
    if (dispatching)
        return;
    dispatching = true;
    while (running && !due.isEmpty()) {
        Lane &lane = lanes[due.takeFirst()];
        if (lane.attempt.item < 0) {
            // Without files left the lane stays idle; the last file done ends the run.
            if (next >= files.size())
                continue;
            lane.attempt.item = next++;
            lane.attempt.source = 0;
            lane.attempt.number = 0;
        }
        const Attempt attempt = lane.attempt;
        lane.out = true;
        if (attempt.number > 0)
            logInfo(QStringLiteral("重试下载: ") + files.at(attempt.item) + QStringLiteral(", 尝试次数: ")
                    + QString::number(attempt.number));
        emit attemptDue(attempt);
    }
    dispatching = false;
}

void DownloadScheduler::attemptEnded(int laneIndex, const AttemptEnd &end)
{
    if (!running || laneIndex < 0 || laneIndex >= lanes.size() || !lanes.at(laneIndex).out)
        return;
    Lane &lane = lanes[laneIndex];
    lane.out = false;
    const Attempt attempt = lane.attempt;
    const QString &name = files.at(attempt.item);
    if (end.ok) {
        ++done;
        lane.attempt.item = -1;
        emit itemDone(attempt.item);
        if (!running)
            return;
        if (done == files.size())
            finish(End::Done);
        else
            queue(laneIndex);
        return;
    }
    switch (verdictFor(end.cause)) {
    case FailureVerdict::Retry:
        if (attempt.number < retryPolicy.retries) {
            // The transport stays responsive during the pause, and cancel ends it.
            logWarn(QStringLiteral("下载失败，等待重试: ") + name);
            ++lane.attempt.number;
            lane.pause->start(qMax(0, retryPolicy.pauseMs));
            emit retryPaused(attempt.item);
            return;
        }
        logError(QStringLiteral("下载最终失败，已达到最大重试次数: ") + name);
        break;
    case FailureVerdict::NextSource:
        logError(QStringLiteral("下载失败，不再重试: ") + name);
        break;
    case FailureVerdict::EndRun:
        if (end.cause != FailureCause::Cancelled)
            logError(QStringLiteral("下载失败，不再重试: ") + name);
        giveUp(attempt, end);
        return;
    }
    if (attempt.source + 1 < sourceCounts.value(attempt.item, 1)) {
        logWarn(QStringLiteral("改用下一个来源下载: ") + name);
        ++lane.attempt.source;
        lane.attempt.number = 0;
        queue(laneIndex);
        return;
    }
    giveUp(attempt, end);
}

void DownloadScheduler::giveUp(const Attempt &attempt, const AttemptEnd &end)
{
    failed = attempt.item;
    failure = end;
    finish(End::Failed);
}

void DownloadScheduler::cancel()
{
    finish(End::Cancelled);
}

void DownloadScheduler::stop()
{
    finish(End::Stopped);
}

void DownloadScheduler::finish(End end)
{
    if (!running)
        return;
    running = false;
    due.clear();
    for (Lane &lane : lanes) {
        if (lane.pause)
            lane.pause->stop();
        lane.out = false;
    }
    emit finished(end);
}
