// Binary patch benchmark (not a test): for each pair of real files (an
// earlier and a later release of the same file) prints, measured in the
// same run, the size of
//   - this updater's method-1 patch (zstd frame, delta/patchcodec.h),
//   - its method-2 patch (matched segments, tools/publisher/matchedpatch.h),
//   - the one the publisher keeps (the smaller),
//   - the zstd command line's --patch-from -19 --long patch and the bsdiff
//     command line's patch, when the programs are on PATH (nothing is
//     installed for them),
//   - the new file compressed alone (zstd level 19, long window),
//   - today's full-file transfer (the new file as it is: 100 %),
// each as a share of the new file; then, per method, the time and peak
// memory to make the patch, the speed of applying it (output MB/s: mapped
// base and output, digests of base and output included) and the memory the
// apply allocates: the smallest limit of private memory (RLIMIT_DATA, which
// mapped files do not count against) from a ladder it still succeeds under.
// Everything is measured in child processes.
// Last, one synthetic pair of a 1 GiB target (random base, scattered
// address-like edits and insertions), whose patches are built without the
// matcher, for applying speed and memory at that size only.
// Usage: delta_bench LABEL OLD NEW [LABEL OLD NEW]...
// bench/delta_bench.sh gathers real pairs and runs it.
#include "delta/patchcodec.h"
#include "delta/patchfile.h"
#include "matchedpatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <zstd.h>

#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

qint64 statusKiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct ChildResult
{
    bool ok = false;
    double ms = -1;      // best of the runs
    qint64 peakKiB = 0;  // resident peak added (mapped pages touched included)
};

// Runs job in a child runs times, after limiting its private memory to
// limitMiB above what it holds (0: no limit).
ChildResult inChild(const std::function<bool()> &job, int runs, qint64 limitMiB = 0)
{
    int fds[2];
    ChildResult result;
    if (pipe(fds) != 0)
        return result;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (limitMiB > 0) {
            const rlim_t limit = rlim_t(statusKiB("VmData:") + limitMiB * 1024) * 1024;
            const rlimit data{limit, limit};
            setrlimit(RLIMIT_DATA, &data);
        }
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        const qint64 before = statusKiB("VmRSS:");
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        clear.close();
        double best = 1e18;
        bool ok = true;
        for (int i = 0; i < runs && ok; ++i) {
            QElapsedTimer timer;
            timer.start();
            ok = job();
            best = qMin(best, timer.nsecsElapsed() / 1e6);
        }
        const double sent[2] = {ok ? best : -1, double(statusKiB("VmHWM:") - before)};
        const ssize_t written = write(fds[1], sent, sizeof sent);
        _exit(written == sizeof sent ? 0 : 1);
    }
    close(fds[1]);
    double got[2] = {-1, 0};
    const bool read_ = read(fds[0], got, sizeof got) == sizeof got;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.ok = read_ && got[0] >= 0;
    result.ms = got[0];
    result.peakKiB = qint64(got[1]);
    return result;
}

struct Applied
{
    double mbPerSecond = -1;
    qint64 privateMiB = -1; // the smallest limit of the ladder it succeeds under
};

Applied measureApply(const QString &base, const QString &patch, const QString &out, const QByteArray &expected,
                     qint64 size)
{
    const auto apply = [&] { return Delta::applyPatchFile(base, patch, out, size) == Delta::PatchFailure::None; };
    Applied applied;
    const ChildResult timed = inChild(apply, 3);
    if (!timed.ok || readAll(out) != expected)
        return applied;
    applied.mbPerSecond = size / 1e6 / (timed.ms / 1e3);
    for (const qint64 limit : {4, 8, 16, 24, 32, 48, 64, 96, 128, 256, 1024, 4096}) {
        if (inChild(apply, 1, limit).ok) {
            applied.privateMiB = limit;
            break;
        }
    }
    return applied;
}

struct Made
{
    qint64 size = -1;
    double seconds = -1;
    qint64 peakMiB = -1;
};

// Makes a patch in a child, which writes it to path.
Made measureMake(const std::function<QByteArray()> &make, const QString &path)
{
    const ChildResult result = inChild([&] {
        const QByteArray patch = make();
        return !patch.isEmpty() && writeAll(path, patch);
    }, 1);
    Made made;
    if (result.ok) {
        made.size = QFileInfo(path).size();
        made.seconds = result.ms / 1e3;
        made.peakMiB = result.peakKiB / 1024;
    }
    return made;
}

qint64 runTool(const QString &program, const QStringList &arguments, const QString &out)
{
    if (program.isEmpty())
        return -1;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return QFileInfo(out).size();
}

qint64 zstdCliPatch(const QString &zstd, const QString &oldPath, const QString &newPath, const QString &out)
{
    const qint64 largest = qMax(QFileInfo(oldPath).size(), QFileInfo(newPath).size());
    int windowLog = 10;
    while ((qint64(1) << windowLog) < largest * 2 && windowLog < 31)
        ++windowLog;
    return runTool(zstd, {"-q", "-f", "-19", QStringLiteral("--long=%1").arg(windowLog), "--patch-from=" + oldPath, newPath,
                          "-o", out}, out);
}

qint64 compressedAlone(const QByteArray &bytes)
{
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
    QByteArray out(int(ZSTD_compressBound(bytes.size())), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(c, out.data(), out.size(), bytes.constData(), bytes.size());
    ZSTD_freeCCtx(c);
    return ZSTD_isError(size) ? -1 : qint64(size);
}

QString share(qint64 part, qint64 whole)
{
    return part < 0 ? QStringLiteral("-") : QString::number(100.0 * part / qMax<qint64>(whole, 1), 'f', 2) + '%';
}

void printApply(const char *method, const Applied &applied)
{
    std::printf("    apply %s: %.0f MB/s, private memory <= %lld MiB\n", method, applied.mbPerSecond,
                static_cast<long long>(applied.privateMiB));
}

// A 1 GiB target: a random base with, per MiB, four 4-byte fields changed
// as moved addresses are, and 64 bytes inserted; its method-2 patch is
// written from those segments directly.
bool synthetic(const QTemporaryDir &work)
{
    constexpr int kChunk = 1 << 20, kChunks = 1024, kInserted = 64;
    QByteArray base(kChunk * kChunks, Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ull;
    auto *words = reinterpret_cast<quint64 *>(base.data());
    for (int i = 0; i < base.size() / 8; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        words[i] = state;
    }
    QByteArray target, diff(base.size(), '\0'), extra;
    target.reserve(base.size() + kChunks * kInserted);
    std::vector<Delta::Segment> segments;
    for (int c = 0; c < kChunks; ++c) {
        const QByteArray inserted = c == 0 ? QByteArray() : base.mid(c * 7919, kInserted);
        extra += inserted;
        target += inserted;
        QByteArray chunk = base.mid(c * kChunk, kChunk);
        for (int field = 1; field <= 4; ++field) {
            const int at = field * (kChunk / 5);
            chunk[at + 1] = static_cast<char>(chunk[at + 1] + 1);
            diff[c * kChunk + at + 1] = 1;
        }
        target += chunk;
        segments.push_back({quint64(inserted.size()), 0, quint64(kChunk)});
    }
    const QByteArray matched = Delta::encodeHeader(Delta::headerOf(base, target, Delta::Method::Matched))
        + Delta::packStreams(Delta::compressStream(Delta::encodeSegments(segments), 19),
                             Delta::compressStream(diff, 19), Delta::compressStream(extra, 19));
    diff.clear();
    const QString basePath = work.filePath("synthetic.old"), outPath = work.filePath("synthetic.out");
    const QString prefixedPath = work.filePath("synthetic.p1"), matchedPath = work.filePath("synthetic.p2");
    const Made prefixed = measureMake([&] { return Delta::makePatch(base, target, 3); }, prefixedPath);
    if (prefixed.size < 0 || !writeAll(basePath, base) || !writeAll(matchedPath, matched))
        return false;
    base.clear();
    std::printf("synthetic, %lld-byte target: method 1 (level 3) %lld bytes, method 2 %lld bytes\n",
                static_cast<long long>(target.size()), static_cast<long long>(prefixed.size),
                static_cast<long long>(matched.size()));
    const Applied first = measureApply(basePath, prefixedPath, outPath, target, target.size());
    const Applied second = measureApply(basePath, matchedPath, outPath, target, target.size());
    printApply("method 1", first);
    printApply("method 2", second);
    return first.mbPerSecond > 0 && second.mbPerSecond > 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() % 3 != 0) {
        std::fprintf(stderr, "usage: delta_bench LABEL OLD NEW [LABEL OLD NEW]...\n");
        return 2;
    }
    const QString zstd = QStandardPaths::findExecutable(QStringLiteral("zstd"));
    const QString bsdiff = QStandardPaths::findExecutable(QStringLiteral("bsdiff"));
    if (zstd.isEmpty() || bsdiff.isEmpty())
        std::printf("zstd or bsdiff not on PATH: its column stays empty\n");
    QTemporaryDir work;
    std::printf("%-34s %10s %8s %8s %8s %8s %8s %8s %5s\n", "pair", "new size", "method 1", "method 2", "chosen",
                "zstd -p", "bsdiff", "alone", "full");
    for (int i = 0; i < args.size(); i += 3) {
        const QString label = args.at(i), oldPath = args.at(i + 1), newPath = args.at(i + 2);
        const QByteArray oldBytes = readAll(oldPath), newBytes = readAll(newPath);
        const QString p1 = work.filePath(QStringLiteral("p1.%1").arg(i)), p2 = work.filePath(QStringLiteral("p2.%1").arg(i));
        const Made first = measureMake([&] { return Delta::makePatch(oldBytes, newBytes); }, p1);
        const Made second = measureMake([&] { return Delta::makeMatchedPatch(oldBytes, newBytes); }, p2);
        const QString outPath = work.filePath(QStringLiteral("o%1").arg(i));
        const Applied applyFirst = measureApply(oldPath, p1, outPath, newBytes, newBytes.size());
        const Applied applySecond = measureApply(oldPath, p2, outPath, newBytes, newBytes.size());
        if (first.size < 0 || second.size < 0 || applyFirst.mbPerSecond < 0 || applySecond.mbPerSecond < 0) {
            std::printf("%s: a patch was not made or did not rebuild the new file\n", qPrintable(label));
            return 1;
        }
        const QString z = work.filePath(QStringLiteral("z%1").arg(i)), b = work.filePath(QStringLiteral("b%1").arg(i));
        const qint64 cli = zstdCliPatch(zstd, oldPath, newPath, z);
        const qint64 bs = runTool(bsdiff, {oldPath, newPath, b}, b);
        const qint64 n = newBytes.size();
        std::printf("%-34s %10lld %8s %8s %8s %8s %8s %8s %5s\n", qPrintable(label), static_cast<long long>(n),
                    qPrintable(share(first.size, n)), qPrintable(share(second.size, n)),
                    qPrintable(share(qMin(first.size, second.size), n)), qPrintable(share(cli, n)),
                    qPrintable(share(bs, n)), qPrintable(share(compressedAlone(newBytes), n)), "100%");
        std::printf("    make method 1: %.1f s, peak %lld MiB; method 2: %.1f s, peak %lld MiB\n", first.seconds,
                    static_cast<long long>(first.peakMiB), second.seconds, static_cast<long long>(second.peakMiB));
        printApply("method 1", applyFirst);
        printApply("method 2", applySecond);
    }
    return synthetic(work) ? 0 : 1;
}
