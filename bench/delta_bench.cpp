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
// memory to make the patch (of the whole process, both files included), the
// speed of applying it (output MB/s: mapped base and output, digests of base
// and output included) and the memory the apply allocates: the smallest
// limit of private memory (RLIMIT_DATA, which mapped files do not count
// against) from a ladder it still succeeds under. Each is measured in a
// fresh run of this program (--make, --apply), whose heap holds nothing
// freed earlier that an allocation could reuse.
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
#include <sys/resource.h>

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

// The bench run as a fresh process, for one measurement with nothing of
// the caller's heap in it: the first line of what it prints.
QByteArray runSelf(const QStringList &arguments)
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput().split('\n').value(0);
}

struct Applied
{
    double mbPerSecond = -1;
    qint64 privateMiB = -1; // the smallest limit of the ladder it succeeds under
};

Applied measureApply(const QString &base, const QString &patch, const QString &out, const QByteArray &expected)
{
    const QString size = QString::number(expected.size());
    Applied applied;
    const QByteArray ms = runSelf({"--apply", base, patch, out, size, "0", "3"});
    if (ms.isEmpty() || readAll(out) != expected)
        return applied;
    applied.mbPerSecond = expected.size() / 1e6 / (ms.toDouble() / 1e3);
    for (const int limit : {2, 4, 8, 16, 24, 32, 48, 64, 96, 128, 256, 1024, 4096}) {
        if (!runSelf({"--apply", base, patch, out, size, QString::number(limit), "1"}).isEmpty()) {
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
    qint64 peakMiB = -1; // of the whole making process, both files in memory included
};

Made measureMake(const char *method, const QString &oldPath, const QString &newPath, const QString &out)
{
    const QList<QByteArray> got = runSelf({"--make", method, oldPath, newPath, out}).split(' ');
    Made made;
    if (got.size() == 2) {
        made.size = QFileInfo(out).size();
        made.seconds = got.at(0).toDouble();
        made.peakMiB = got.at(1).toLongLong() / 1024;
    }
    return made;
}

// --apply BASE PATCH OUT SIZE LIMIT_MIB RUNS: the best time of RUNS in ms,
// with private memory limited to LIMIT_MIB above what the process holds
// (0: no limit).
int applyMode(const QStringList &args)
{
    const qint64 size = args.at(4).toLongLong(), limitMiB = args.at(5).toLongLong();
    if (limitMiB > 0) {
        const rlim_t limit = rlim_t(statusKiB("VmData:") + limitMiB * 1024) * 1024;
        const rlimit data{limit, limit};
        if (setrlimit(RLIMIT_DATA, &data) != 0)
            return 1;
    }
    double best = 1e18;
    for (int i = 0; i < args.at(6).toInt(); ++i) {
        QElapsedTimer timer;
        timer.start();
        if (Delta::applyPatchFile(args.at(1), args.at(2), args.at(3), size) != Delta::PatchFailure::None)
            return 1;
        best = qMin(best, timer.nsecsElapsed() / 1e6);
    }
    std::printf("%.3f\n", best);
    return 0;
}

// --make 1|2 OLD NEW OUT: seconds and peak resident KiB.
int makeMode(const QStringList &args)
{
    const QByteArray oldBytes = readAll(args.at(2)), newBytes = readAll(args.at(3));
    QElapsedTimer timer;
    timer.start();
    const QByteArray patch =
        args.at(1) == "2" ? Delta::makeMatchedPatch(oldBytes, newBytes) : Delta::makePatch(oldBytes, newBytes);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (patch.isEmpty() || !writeAll(args.at(4), patch))
        return 1;
    std::printf("%.2f %lld\n", seconds, static_cast<long long>(statusKiB("VmHWM:")));
    return 0;
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
    const QByteArray prefixed = Delta::makePatch(base, target, 3);
    if (prefixed.isEmpty() || !writeAll(basePath, base) || !writeAll(prefixedPath, prefixed)
        || !writeAll(matchedPath, matched))
        return false;
    base.clear();
    std::printf("synthetic, %lld-byte target: method 1 (level 3) %lld bytes, method 2 %lld bytes\n",
                static_cast<long long>(target.size()), static_cast<long long>(prefixed.size()),
                static_cast<long long>(matched.size()));
    const Applied first = measureApply(basePath, prefixedPath, outPath, target);
    const Applied second = measureApply(basePath, matchedPath, outPath, target);
    printApply("method 1", first);
    printApply("method 2", second);
    return first.mbPerSecond > 0 && second.mbPerSecond > 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 7 && args.at(0) == "--apply")
        return applyMode(args);
    if (args.size() == 5 && args.at(0) == "--make")
        return makeMode(args);
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
        const Made first = measureMake("1", oldPath, newPath, p1);
        const Made second = measureMake("2", oldPath, newPath, p2);
        const QString outPath = work.filePath(QStringLiteral("o%1").arg(i));
        const Applied applyFirst = measureApply(oldPath, p1, outPath, newBytes);
        const Applied applySecond = measureApply(oldPath, p2, outPath, newBytes);
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
