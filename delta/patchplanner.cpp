#include "delta/patchplanner.h"

#include "fileops/filedigest.h"

#include <QEventLoop>
#include <QFileInfo>

namespace {

// The candidates' installed bytes, by path; runs on the worker.
QHash<QString, PatchSource::InstalledBytes> hashInstalled(const QVector<PatchSource::Candidate> &candidates,
                                                          const PatchPlanner::Hasher &hasher,
                                                          const std::atomic<bool> &stop)
{
    QHash<QString, PatchSource::InstalledBytes> installed;
    for (const PatchSource::Candidate &candidate : candidates) {
        if (stop.load())
            break;
        const QFileInfo info(candidate.installedFile);
        if (!info.isFile() || !candidate.baseSizes.contains(info.size()))
            continue;
        if (const auto digest = hasher(candidate.installedFile, info.size(), stop))
            installed.insert(candidate.path, {info.size(), *digest});
    }
    return installed;
}

} // namespace

PatchPlanner::PatchPlanner(Hasher fileHasher, QObject *parent)
    : QObject(parent)
    , hasher(fileHasher ? std::move(fileHasher)
                        : Hasher([](const QString &file, qint64 size, const std::atomic<bool> &stopped) {
                              return sha256OfFile(file, size, stopped);
                          }))
{
    worker.setMaxThreadCount(1);
}

PatchPlanner::~PatchPlanner()
{
    if (stop)
        stop->store(true);
    worker.waitForDone();
}

void PatchPlanner::start(const PatchSource &planSource, const QStringList &planPaths, const QString &installation)
{
    cancel();
    source = planSource;
    paths = planPaths;
    result.reset();
    const QVector<PatchSource::Candidate> candidates = source.candidates(paths, installation);
    const quint64 plan = ++plans;
    running = true;
    if (candidates.isEmpty()) {
        finish(plan, {});
        return;
    }
    stop = std::make_shared<std::atomic<bool>>(false);
    worker.start([this, plan, candidates, hash = hasher, stopped = stop] {
        const auto installed = hashInstalled(candidates, hash, *stopped);
        // The planner waits for this function in its destructor: it is there.
        QMetaObject::invokeMethod(this, [this, plan, installed] { finish(plan, installed); }, Qt::QueuedConnection);
    });
}

void PatchPlanner::cancel()
{
    if (!running)
        return;
    running = false;
    if (stop)
        stop->store(true);
    result.reset();
    if (waiting)
        waiting->quit();
}

std::optional<PatchPlanner::Plan> PatchPlanner::wait()
{
    if (running) {
        QEventLoop loop;
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }
    return result;
}

void PatchPlanner::finish(quint64 plan, const QHash<QString, PatchSource::InstalledBytes> &installed)
{
    if (plan != plans || !running)
        return; // cancelled meanwhile
    running = false;
    result = source.plan(paths, installed);
    if (waiting)
        waiting->quit();
    emit planned(*result);
}
