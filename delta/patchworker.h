#pragma once
// The worker thread of a run's patch work: hashing installed files for the
// plan (PatchPlanner) and building patched files (PatchSource::build). Both
// read or write whole files, which can be large; done on the window's
// thread they would stop it painting and hearing cancel, and stop the TCP
// road's heartbeat, for as long as a file takes.
//
// Jobs run one at a time, in the order started. A job looks at its stop
// flag between its steps and returns what is to be done with its result;
// that is done on the thread that owns the worker, from its event loop,
// unless the job was cancelled meanwhile.

#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

class PatchWorker : public QObject
{
    Q_OBJECT
public:
    using Delivery = std::function<void()>;
    // Runs on the worker thread.
    using Job = std::function<Delivery(const std::atomic<bool> &stop)>;

    explicit PatchWorker(QObject *parent = nullptr);
    // cancel().
    ~PatchWorker() override;

    void start(Job job);
    // Ends every job started: no delivery follows for any of them. Returns
    // once the worker has left the job it runs (it stops at its next step),
    // so nothing a job reads or writes is touched after this.
    void cancel();
    // Runs a nested event loop until every job started is delivered, or a
    // cancel ends them.
    void wait();
    bool isBusy() const { return pending > 0; }

signals:
    // Every job started is delivered or cancelled.
    void idle();

private:
    void deliver(quint64 generation, const Delivery &delivery);

    QThreadPool pool; // one thread
    std::shared_ptr<std::atomic<bool>> stop;
    quint64 generation = 0; // moves on at each cancel: a late delivery is known
    int pending = 0;        // started and not yet delivered, of this generation
};
