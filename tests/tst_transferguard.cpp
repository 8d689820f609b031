// The transfer guard's bounds on a clock of the test's own: no waiting.
#include "fileops/transferguard.h"

#include <QtTest>

namespace {

using Breach = TransferGuard::Breach;

// Milliseconds -> bytes arriving at that moment (0: only a look at the clock).
using Timeline = QVector<QPair<qint64, qint64>>;

TransferLimits limits(int deadlineMs, qint64 minRate, int windowMs)
{
    TransferLimits l;
    l.requestDeadlineMs = deadlineMs;
    l.minBytesPerSecond = minRate;
    l.rateWindowMs = windowMs;
    return l;
}

} // namespace

Q_DECLARE_METATYPE(TransferLimits)
Q_DECLARE_METATYPE(TransferGuard::Kind)
Q_DECLARE_METATYPE(TransferGuard::Breach)

class TestTransferGuard : public QObject
{
    Q_OBJECT
private slots:
    // After each step of the timeline the guard is checked; the first
    // breach is when and which.
    void bounds_data()
    {
        QTest::addColumn<TransferGuard::Kind>("kind");
        QTest::addColumn<TransferLimits>("bounds");
        QTest::addColumn<Timeline>("timeline");
        QTest::addColumn<qint64>("breachAt"); // -1: never
        QTest::addColumn<TransferGuard::Breach>("breach");
        const auto request = TransferGuard::Kind::Request;
        const auto file = TransferGuard::Kind::File;
        const TransferLimits usual = limits(60000, 1024, 60000);
        // Data keep coming, but the request is past its deadline.
        QTest::newRow("request trickles past its deadline")
            << request << usual << Timeline{{1000, 1}, {30000, 1}, {59999, 1}, {60000, 1}} << qint64(60000)
            << Breach::Deadline;
        QTest::newRow("request within its deadline")
            << request << usual << Timeline{{59999, 100}} << qint64(-1) << Breach::None;
        QTest::newRow("request without a deadline")
            << request << limits(0, 1024, 60000) << Timeline{{3600000, 0}} << qint64(-1) << Breach::None;
        // 61440 bytes are exactly 1 KiB/s over 60 s.
        QTest::newRow("file one byte short of the rate")
            << file << usual << Timeline{{1000, 61439}, {60000, 0}} << qint64(60000) << Breach::TooSlow;
        QTest::newRow("file at the rate")
            << file << usual << Timeline{{1000, 61440}, {60000, 0}} << qint64(-1) << Breach::None;
        QTest::newRow("file slow only before a window ends")
            << file << usual << Timeline{{59999, 0}} << qint64(-1) << Breach::None;
        // Each window is judged on its own: a fast start does not carry a
        // stalled rest.
        QTest::newRow("file fast, then empty chunks")
            << file << usual << Timeline{{1000, 10000000}, {60000, 0}, {90000, 0}, {120000, 0}} << qint64(120000)
            << Breach::TooSlow;
        QTest::newRow("file of one-byte chunks")
            << file << usual << Timeline{{10000, 1}, {20000, 1}, {60000, 1}} << qint64(60000) << Breach::TooSlow;
        QTest::newRow("file without a least rate")
            << file << limits(60000, 0, 60000) << Timeline{{600000, 0}} << qint64(-1) << Breach::None;
        QTest::newRow("file ignores the request deadline")
            << file << limits(10, 1, 60000) << Timeline{{59999, 0}} << qint64(-1) << Breach::None;
    }
    void bounds()
    {
        QFETCH(TransferGuard::Kind, kind);
        QFETCH(TransferLimits, bounds);
        QFETCH(Timeline, timeline);
        QFETCH(qint64, breachAt);
        QFETCH(TransferGuard::Breach, breach);
        qint64 now = 5000;
        TransferGuard guard(kind, bounds, nullptr, [&now] { return now; });
        QSignalSpy breached(&guard, &TransferGuard::breached);
        guard.start();
        const qint64 start = now;
        qint64 seenAt = -1;
        for (const auto &step : timeline) {
            now = start + step.first;
            guard.addBytes(step.second);
            if (guard.check() != Breach::None && seenAt < 0)
                seenAt = step.first;
        }
        QCOMPARE(seenAt, breachAt);
        QCOMPARE(guard.check(), breach);
        QCOMPARE(breached.count(), breach == Breach::None ? 0 : 1);
        QCOMPARE(guard.breachText().isEmpty(), breach == Breach::None);
    }
};

QTEST_GUILESS_MAIN(TestTransferGuard)
#include "tst_transferguard.moc"
