#pragma once

#include <QElapsedTimer>

#include <functional>

// How often a progress window shows the routine steps of a run (a file
// started, its bytes, a file done): each refresh repaints the window, which
// costs more than receiving a small file. A routine refresh is due once the
// interval has passed since the last refresh shown, routine or not.
class RefreshPacer
{
public:
    static constexpr int kIntervalMs = 100;
    // Milliseconds from any fixed point on, never going back.
    using Clock = std::function<qint64()>;

    // With the monotonic clock; interval 0 or less: every refresh is due.
    explicit RefreshPacer(int intervalMs = kIntervalMs, Clock clock = {});

    void setInterval(int ms) { interval = ms; }
    // A routine refresh may be shown now; when it is due it counts as shown.
    bool due();
    // A refresh was shown now, whether due or not.
    void shown();
    // Milliseconds until the next routine refresh is due (0: now).
    int untilDue() const;

private:
    qint64 now() const;

    int interval;
    Clock clock;
    QElapsedTimer monotonic; // without a clock given
    qint64 last = 0;
    bool anyShown = false;
};
