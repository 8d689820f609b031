#include "delta/patchworker.h"

#include <QEventLoop>

PatchWorker::PatchWorker(QObject *parent)
    : QObject(parent)
    , stop(std::make_shared<std::atomic<bool>>(false))
{
    pool.setMaxThreadCount(1);
}

PatchWorker::~PatchWorker()
{
    cancel();
}

void PatchWorker::start(Job job)
{
    ++pending;
    pool.start([this, job = std::move(job), stopped = stop, started = generation] {
        const Delivery delivery = stopped->load() ? Delivery() : job(*stopped);
        // The worker waits for this function before it is destroyed: it is
        // there, and a delivery still queued then is dropped with it.
        QMetaObject::invokeMethod(this, [this, started, delivery] { deliver(started, delivery); }, Qt::QueuedConnection);
    });
}

void PatchWorker::cancel()
{
    stop->store(true);
    pool.waitForDone();
    stop = std::make_shared<std::atomic<bool>>(false);
    ++generation;
    pending = 0;
    emit idle();
}

void PatchWorker::wait()
{
    while (pending > 0) {
        QEventLoop loop;
        connect(this, &PatchWorker::idle, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void PatchWorker::deliver(quint64 started, const Delivery &delivery)
{
    if (started != generation)
        return; // cancelled meanwhile
    --pending;
    if (delivery)
        delivery();
    if (pending == 0)
        emit idle();
}
