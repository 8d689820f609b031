// Binary patch benchmark (not a test): for each pair of real files (an
// earlier and a later release of the same file) prints, measured in the
// same run, the size of
//   - this updater's patch (delta/patchcodec.h),
//   - the zstd command line's --patch-from -19 --long patch, when the zstd
//     program is on PATH (nothing is installed for it),
//   - the new file compressed alone (zstd level 19, long window),
//   - today's full-file transfer (the new file as it is),
// each as a share of the new file; then the time to make our patch, the
// speed of applying it (output MB/s: mapped base and output, digests of
// base and output included) and the peak resident memory the apply adds
// (mapped file pages it touches included: an upper bound of what it
// allocates), measured in a child process after resetting its peak.
// Usage: delta_bench LABEL OLD NEW [LABEL OLD NEW]...
// bench/delta_bench.sh gathers real pairs and runs it.
#include "delta/patchcodec.h"
#include "delta/patchfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <zstd.h>

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

// Applies in a child: best time of three runs in ms, and the peak RSS added
// in KiB, through a pipe.
bool applyInChild(const QString &base, const QString &patch, const QString &out, qint64 bound, double *ms,
                  qint64 *peakKiB)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        const qint64 before = statusKiB("VmRSS:");
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        clear.close();
        double best = 1e18;
        bool ok = true;
        for (int i = 0; i < 3 && ok; ++i) {
            QElapsedTimer timer;
            timer.start();
            ok = Delta::applyPatchFile(base, patch, out, bound) == Delta::PatchFailure::None;
            best = qMin(best, timer.nsecsElapsed() / 1e6);
        }
        const double result[2] = {ok ? best : -1, double(statusKiB("VmHWM:") - before)};
        const ssize_t written = write(fds[1], result, sizeof result);
        _exit(written == sizeof result ? 0 : 1);
    }
    close(fds[1]);
    double result[2] = {-1, 0};
    const bool got = read(fds[0], result, sizeof result) == sizeof result;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    *ms = result[0];
    *peakKiB = qint64(result[1]);
    return got && result[0] >= 0;
}

qint64 zstdCliPatch(const QString &zstd, const QString &oldPath, const QString &newPath, const QString &out)
{
    if (zstd.isEmpty())
        return -1;
    const qint64 largest = qMax(QFileInfo(oldPath).size(), QFileInfo(newPath).size());
    int windowLog = 10;
    while ((qint64(1) << windowLog) < largest * 2 && windowLog < 31)
        ++windowLog;
    QProcess process;
    process.start(zstd, {"-q", "-f", "-19", QStringLiteral("--long=%1").arg(windowLog), "--patch-from=" + oldPath, newPath,
                         "-o", out});
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return QFileInfo(out).size();
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
    if (zstd.isEmpty())
        std::printf("zstd program not on PATH: its column stays empty\n");
    QTemporaryDir work;
    std::printf("%-34s %10s %9s %12s %9s %6s %9s %11s %11s\n", "pair", "new size", "ours", "zstd --patch", "alone",
                "full", "make s", "apply MB/s", "apply +KiB");
    for (int i = 0; i < args.size(); i += 3) {
        const QString label = args.at(i), oldPath = args.at(i + 1), newPath = args.at(i + 2);
        const QByteArray oldBytes = readAll(oldPath), newBytes = readAll(newPath);
        QElapsedTimer timer;
        timer.start();
        const QByteArray patch = Delta::makePatch(oldBytes, newBytes);
        const double makeSeconds = timer.nsecsElapsed() / 1e9;
        const QString patchPath = work.filePath(QStringLiteral("p%1").arg(i));
        QFile file(patchPath);
        if (patch.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(patch) != patch.size())
            return 1;
        file.close();
        double ms = -1;
        qint64 peakKiB = -1;
        const QString outPath = work.filePath(QStringLiteral("o%1").arg(i));
        const bool applied = applyInChild(oldPath, patchPath, outPath, newBytes.size(), &ms, &peakKiB);
        if (!applied || readAll(outPath) != newBytes) {
            std::printf("%s: the patch did not rebuild the new file\n", qPrintable(label));
            return 1;
        }
        const qint64 cli = zstdCliPatch(zstd, oldPath, newPath, work.filePath(QStringLiteral("z%1").arg(i)));
        std::printf("%-34s %10lld %9s %12s %9s %6s %9.1f %11.0f %11lld\n", qPrintable(label),
                    static_cast<long long>(newBytes.size()), qPrintable(share(patch.size(), newBytes.size())),
                    qPrintable(share(cli, newBytes.size())),
                    qPrintable(share(compressedAlone(newBytes), newBytes.size())), "100%", makeSeconds,
                    newBytes.size() / 1e6 / (ms / 1e3), static_cast<long long>(qMax<qint64>(peakKiB, 0)));
    }
    return 0;
}
