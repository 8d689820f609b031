#include "delta/patchplanner.h"

#include "fileops/filedigest.h"

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
}

void PatchPlanner::start(const PatchSource &planSource, const QStringList &planPaths, const QString &installation)
{
    cancel();
    source = planSource;
    paths = planPaths;
    result.reset();
    const QVector<PatchSource::Candidate> candidates = source.candidates(paths, installation);
    running = true;
    if (candidates.isEmpty()) {
        finish({});
        return;
    }
    worker.start([this, candidates, hash = hasher](const std::atomic<bool> &stop) {
        const auto installed = hashInstalled(candidates, hash, stop);
        return PatchWorker::Delivery([this, installed] { finish(installed); });
    });
}

void PatchPlanner::cancel()
{
    if (!running)
        return;
    running = false;
    result.reset();
    worker.cancel();
}

std::optional<PatchPlanner::Plan> PatchPlanner::wait()
{
    if (running)
        worker.wait();
    return result;
}

void PatchPlanner::finish(const QHash<QString, PatchSource::InstalledBytes> &installed)
{
    running = false;
    result = source.plan(paths, installed);
    emit planned(*result);
}
