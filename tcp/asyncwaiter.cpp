#include "tcp/asyncwaiter.h"

AsyncWaiter::AsyncWaiter(QObject *parent)
    : QObject(parent)
    , loop(this)
    , timer(this)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &AsyncWaiter::signalReceived, this, &AsyncWaiter::onSignalReceived);
}

AsyncWaiter::~AsyncWaiter()
{
    if (loop.isRunning())
        loop.quit();
}

bool AsyncWaiter::wait(int timeoutMs)
{
    if (signalled)
        reset();
    if (timeoutMs > 0)
        timer.start(timeoutMs);
    loop.exec();
    const bool result = signalled;
    reset();
    return result;
}

void AsyncWaiter::onSignalReceived()
{
    signalled = true;
    if (loop.isRunning())
        loop.quit();
}

void AsyncWaiter::reset()
{
    signalled = false;
    if (timer.isActive())
        timer.stop();
    if (loop.isRunning())
        loop.quit();
}
