#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

// Blocks its caller in a nested event loop until signalReceived is emitted or
// a time-out passes. Events (socket data, timers, repaints) keep flowing while
// it waits, so the code that ends the wait runs inside wait().
class AsyncWaiter : public QObject
{
    Q_OBJECT
public:
    explicit AsyncWaiter(QObject *parent = nullptr);
    ~AsyncWaiter() override;

    // True when signalReceived ended the wait, false when timeoutMs passed
    // first. A timeoutMs of 0 or less waits without limit. A signalReceived
    // emitted before wait() began does not count.
    bool wait(int timeoutMs);

signals:
    void signalReceived();

private slots:
    void onSignalReceived();

private:
    void reset();

    QEventLoop loop;
    QTimer timer;
    bool signalled = false;
};
