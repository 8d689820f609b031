#include "fileops/transferguard.h"

#include <QElapsedTimer>

#include <climits>

namespace {

qint64 monotonicNow()
{
    static QElapsedTimer epoch;
    if (!epoch.isValid())
        epoch.start();
    return epoch.elapsed();
}

QString seconds(int ms)
{
    return QString::number((ms + 999) / 1000);
}

} // namespace

TransferGuard::TransferGuard(Kind guardKind, const TransferLimits &transferLimits, QObject *parent, Clock guardClock)
    : QObject(parent)
    , kind(guardKind)
    , limits(transferLimits)
    , clock(guardClock ? std::move(guardClock) : Clock(monotonicNow))
    , timer(this)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &TransferGuard::check);
}

void TransferGuard::start()
{
    running = true;
    breach = Breach::None;
    startedAt = clock();
    windowStart = startedAt;
    windowBytes = 0;
    arm(startedAt);
}

void TransferGuard::stop()
{
    running = false;
    timer.stop();
}

void TransferGuard::addBytes(qint64 count)
{
    windowBytes += count;
}

TransferGuard::Breach TransferGuard::check()
{
    if (!running)
        return breach;
    const qint64 now = clock();
    if (kind == Kind::Request) {
        if (limits.requestDeadlineMs > 0 && now - startedAt >= limits.requestDeadlineMs)
            breach = Breach::Deadline;
    } else if (limits.minBytesPerSecond > 0 && limits.rateWindowMs > 0) {
        const qint64 span = now - windowStart;
        if (span >= limits.rateWindowMs) {
            // Whole windows only: the rate is judged over at least one.
            if (windowBytes * 1000 < limits.minBytesPerSecond * span)
                breach = Breach::TooSlow;
            windowStart = now;
            windowBytes = 0;
        }
    }
    if (breach != Breach::None) {
        stop();
        emit breached();
    } else {
        arm(now);
    }
    return breach;
}

void TransferGuard::arm(qint64 now)
{
    qint64 due = -1;
    if (kind == Kind::Request && limits.requestDeadlineMs > 0)
        due = startedAt + limits.requestDeadlineMs - now;
    else if (kind == Kind::File && limits.minBytesPerSecond > 0 && limits.rateWindowMs > 0)
        due = windowStart + limits.rateWindowMs - now;
    if (due >= 0)
        timer.start(int(qMin<qint64>(due, INT_MAX)));
}

QString TransferGuard::breachText() const
{
    switch (breach) {
    case Breach::None:
        break;
    case Breach::Deadline:
        return QStringLiteral("请求超时（%1秒内未完成）").arg(seconds(limits.requestDeadlineMs));
    case Breach::TooSlow:
        return QStringLiteral("传输过慢（%1秒内平均低于%2字节/秒）")
            .arg(seconds(limits.rateWindowMs))
            .arg(limits.minBytesPerSecond);
    }
    return QString();
}
