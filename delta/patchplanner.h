#pragma once
// The patch plan of a run (PatchSource::plan) made off the caller's thread.
// Deciding which patch fits a changed file means hashing its installed
// copy, and an installed file can be large: a worker thread hashes them
// while the caller's event loop goes on (the window paints, cancel is
// heard), and the plan comes back on the caller's thread, by planned().
//
// The work is bounded by what the index says: a file is hashed only when
// its size is the base size of one of its patches, and never past that
// size, so the bytes read are at most the sum of those sizes. A cancel
// ends the plan at once; the worker stops at its next chunk.
//
// Logging is the plan's (PatchSource::plan), on the caller's thread.

#include "delta/patchsource.h"
#include "delta/patchworker.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

class PatchPlanner : public QObject
{
    Q_OBJECT
public:
    using Plan = QHash<QString, PatchEntry>;
    // The SHA-256 of file when it holds exactly size bytes, or nothing (also
    // once stop is set): sha256OfFile unless a test holds the hashing here.
    // Runs on the worker thread.
    using Hasher = std::function<std::optional<QByteArray>(const QString &file, qint64 size, const std::atomic<bool> &stop)>;

    explicit PatchPlanner(Hasher hasher = Hasher(), QObject *parent = nullptr);

    // Plans paths against source's index as PatchSource::plan does, hashing
    // on the worker; planned() follows from the event loop, or at once from
    // here when no installed file needs hashing. A plan still under way is
    // cancelled.
    void start(const PatchSource &source, const QStringList &paths, const QString &installation);
    // Ends the plan under way: planned() is not emitted for it.
    void cancel();
    // Runs a nested event loop until the plan is made or cancelled: the
    // plan, or nothing when it was cancelled.
    std::optional<Plan> wait();

signals:
    void planned(const QHash<QString, PatchEntry> &patches);

private:
    void finish(const QHash<QString, PatchSource::InstalledBytes> &installed);

    const Hasher hasher;
    PatchWorker worker; // its destruction stops the hashing at its next chunk
    bool running = false;
    PatchSource source;
    QStringList paths;
    std::optional<Plan> result;
};
