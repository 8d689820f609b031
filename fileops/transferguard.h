#pragma once

#include "config/transferlimits.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Bounds one transfer in time, whatever the channel: a small request must
// end within the deadline, a file must keep the least average rate over
// every window. Silence limits stay with the channels; this catches a peer
// that keeps a transfer alive with a trickle.
//
// The guard checks itself by a timer while it runs and says so once through
// breached(); check() evaluates the bounds at once (tests drive it with a
// clock of their own). GUI thread only.
class TransferGuard : public QObject
{
    Q_OBJECT
public:
    enum class Kind { Request, File };
    enum class Breach { None, Deadline, TooSlow };
    // Milliseconds on a monotonic scale.
    using Clock = std::function<qint64()>;

    // Request: bounded by limits.requestDeadlineMs; File: by
    // limits.minBytesPerSecond over limits.rateWindowMs. A bound of 0 never
    // breaks. clock defaults to the system's monotonic clock.
    TransferGuard(Kind kind, const TransferLimits &limits, QObject *parent = nullptr, Clock clock = Clock());

    // Starts (again) from now with no byte counted.
    void start();
    void stop();
    // Counts bytes that arrived for the transfer.
    void addBytes(qint64 count);
    // The breach as of now; the first one stops the guard and emits
    // breached(). Once breached, stays so until start().
    Breach check();
    // What the breach means, for people; empty while none happened.
    QString breachText() const;

signals:
    void breached();

private:
    void arm(qint64 now);

    const Kind kind;
    const TransferLimits limits;
    Clock clock;
    QTimer timer;
    bool running = false;
    Breach breach = Breach::None;
    qint64 startedAt = 0;
    qint64 windowStart = 0;
    qint64 windowBytes = 0;
};
