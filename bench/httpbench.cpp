// HTTP update benchmark (not a test): a change set of about 1 GiB (one
// 512 MiB file and 2,000 files of 256 KiB), published with the publisher tool
// and served by nginx on 127.0.0.1. Prints, each measured in the same run:
//   1. the whole update by update.exe (check, download with verification,
//      backup, replace) against the same work done by curl, md5sum and cp in
//      one shell script, as a time ratio (target <= 1.0);
//   2. update.exe's peak resident memory (target <= 100 MiB);
//   3. generating the manifest of the 1 GiB installation against md5sum over
//      the same files, as a time ratio (target <= 1.2);
//   4. the same update published signed, with the client checking the signed
//      statement and every file's SHA-256, against the unsigned one (target
//      <= 1.1), and its peak resident memory (target <= 100 MiB).
// Usage: httpbench [work-folder-parent]   (needs about 7 GiB free there)
#include "http/md5manifest.h"
#include "support/nginxserver.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTime>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kBigFile = 512 * kMiB;
constexpr int kSmallFiles = 2000;
constexpr qint64 kSmallFile = 256 * 1024;
constexpr int kRounds = 4;

QTextStream out(stdout);

// Thrown on any failure so that main unwinds: the temp folder goes and the
// nginx child is stopped.
struct BenchError
{
    QString text;
};

[[noreturn]] void fail(const QString &text)
{
    throw BenchError{text};
}

// Deterministic, incompressible content; a different seed gives other bytes.
void writeData(const QString &path, qint64 size, quint64 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write " + path);
    std::vector<quint64> block(kMiB / 8);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qint64 written = 0; written < size;) {
        for (quint64 &word : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        const qint64 n = std::min<qint64>(size - written, kMiB);
        file.write(reinterpret_cast<const char *>(block.data()), n);
        written += n;
    }
}

// The application files of one version, below root.
QStringList writeVersion(const QString &root, quint64 seed)
{
    QStringList files{"/app/big.bin"};
    for (int i = 0; i < kSmallFiles; ++i)
        files << QStringLiteral("/app/d%1/f%2.bin").arg(i / 100, 2, 10, QLatin1Char('0')).arg(i, 4, 10, QLatin1Char('0'));
    writeData(root + files.first(), kBigFile, seed);
    for (int i = 1; i < files.size(); ++i)
        writeData(root + files.at(i), kSmallFile, seed + quint64(i));
    return files;
}

qint64 timed(const QString &program, const QStringList &arguments, const QString &workDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(program + " failed: " + QString::fromUtf8(process.readAllStandardError().right(2000)));
    return timer.elapsed();
}

void copyTree(const QString &from, const QString &to)
{
    timed("cp", {"-a", from, to});
}

// Milliseconds between consecutive marks.
QString phases(const QStringList &names, const QList<qint64> &marks)
{
    QStringList parts;
    for (int i = 0; i + 1 < marks.size() && i < names.size(); ++i)
        parts << names.at(i) + ' ' + QString::number(marks.at(i + 1) - marks.at(i));
    return parts.join(", ");
}

// Time stamps (ms of the day) of the first log line containing each marker,
// in order; "[2026-01-01 12:34:56.789] ..." lines.
QList<qint64> logMarks(const QString &logPath, const QStringList &markers)
{
    QList<qint64> marks;
    const QList<QByteArray> lines = readTestFile(logPath).split('\n');
    int next = 0;
    for (const QByteArray &line : lines) {
        if (next < markers.size() && QString::fromUtf8(line).contains(markers.at(next))) {
            const QTime t = QTime::fromString(QString::fromLatin1(line.mid(12, 12)), "HH:mm:ss.zzz");
            marks << t.msecsSinceStartOfDay();
            ++next;
        }
    }
    return marks;
}

double ratio(qint64 a, qint64 b)
{
    return b > 0 ? double(a) / double(b) : 0.0;
}

// The same work as update.exe with standard tools: one curl over one
// connection for the two descriptions and every file, md5sum for the
// verification, cp for backup and replace.
QString baselineScript(const QString &work, const QString &url, const Md5Map &manifest)
{
    QByteArray curl = "silent\nfail\ncreate-dirs\n";
    curl += "url = \"" + url.toUtf8() + "update.ini\"\noutput = \"update/updateTmp.ini\"\n";
    curl += "url = \"" + url.toUtf8() + "v2/md5.txt\"\noutput = \"update/md5Tmp.txt\"\n";
    QByteArray check, list;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        const QByteArray rel = it.key().mid(1).toUtf8();
        curl += "url = \"" + url.toUtf8() + "v2/" + it.key().toUtf8() + "\"\noutput = \"UpdateTemp/" + rel + "\"\n";
        check += it.value().toLatin1() + "  " + rel + '\n';
        list += rel + '\n';
    }
    writeTestFile(work + "/curl.cfg", curl);
    writeTestFile(work + "/check.md5", check);
    writeTestFile(work + "/files.txt", list);
    // Each step appends a time stamp (ms) to phases.txt for the breakdown.
    const QByteArray mark = "date +%s%3N >> phases.txt\n";
    const QString script = work + "/baseline.sh";
    writeTestFile(script, "set -e\nrm -f phases.txt\n" + mark + "curl -K '" + work.toUtf8() + "/curl.cfg'\n" + mark
                              + "(cd UpdateTemp && md5sum -c --quiet '" + work.toUtf8() + "/check.md5')\n" + mark
                              + "mkdir -p Backup\nxargs -a '" + work.toUtf8() + "/files.txt' cp --parents -t Backup\n"
                              + "cp update/update.ini md5.txt Backup/\n" + mark
                              + "cp -a UpdateTemp/. .\ncp update/updateTmp.ini update/update.ini\n"
                              + "cp update/md5Tmp.txt md5.txt\n" + mark + "rm -rf UpdateTemp Backup\n" + mark);
    return script;
}

void run(const QString &w)
{

    out << "generating 2 x " << (kBigFile + kSmallFiles * kSmallFile) / kMiB << " MiB in " << w << Qt::endl;
    const QStringList files = writeVersion(w + "/v1", 1);
    writeVersion(w + "/v2src", 2);
    timed(builtProgram("publisher"), {w + "/v2src/app", w + "/www", "2.0", "v2"});
    NginxServer nginx(w + "/www");
    if (!nginx.isRunning())
        fail("nginx did not start: " + QString::fromUtf8(nginx.errorLog()));
    // The same release signed, served beside it.
    QProcess keygen;
    keygen.start(builtProgram("publisher"), {"keygen", w + "/bench.key"});
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0)
        fail("publisher keygen failed");
    const QByteArray publicKey = keygen.readAllStandardOutput().trimmed();
    timed(builtProgram("publisher"), {"--key", w + "/bench.key", w + "/v2src/app", w + "/wwws", "2.0", "v2"});
    NginxServer signedNginx(w + "/wwws");
    if (!signedNginx.isRunning())
        fail("nginx did not start: " + QString::fromUtf8(signedNginx.errorLog()));
    const QByteArray signedConfig = "[Update]\nHostExe=host\nUpdateExe=update.exe\nHttpEnable=1\nURL="
        + signedNginx.baseUrl().toUtf8() + "\nPublicKey=" + publicKey + "\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n";

    // Installation of version 1: the updater, a host, the configuration.
    const QString base = w + "/install";
    copyTree(w + "/v1/app", base);
    QFile::copy(builtProgram("update.exe"), base + "/update.exe");
    QFile::copy(builtProgram("fakehost"), base + "/host");
    writeTestFile(base + "/system.cfg", "[Update]\nHostExe=host\nUpdateExe=update.exe\nHttpEnable=1\nURL="
                                            + nginx.baseUrl().toUtf8() + "\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n");
    writeTestFile(base + "/update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n");

    // 3. Manifest of the installation vs md5sum over the same files.
    QStringList absolute;
    for (const QString &f : files)
        absolute << base + f.mid(4);
    qint64 manifestMs = 0, md5sumMs = 0;
    for (int round = 0; round <= kRounds; ++round) { // round 0 warms the cache
        QFile::remove(base + "/md5.txt");
        QElapsedTimer timer;
        timer.start();
        generateMd5File(base + '/');
        const qint64 m = timer.elapsed();
        const qint64 s = timed("md5sum", absolute);
        if (round > 0) {
            manifestMs = round == 1 ? m : std::min(manifestMs, m);
            md5sumMs = round == 1 ? s : std::min(md5sumMs, s);
        }
    }
    out << "manifest: generateMd5File " << manifestMs << " ms, md5sum " << md5sumMs << " ms, ratio "
        << QString::number(ratio(manifestMs, md5sumMs), 'f', 2) << " (target <= 1.20)" << Qt::endl;

    // 1 and 2. The whole update, alternating with the script, best of rounds.
    const Md5Map release = readMd5File(w + "/www/v2/md5.txt");
    const QString script = baselineScript(w, nginx.baseUrl(), release);
    const auto installed = [&release](const QString &dir) {
        if (readMd5File(dir + "/md5.txt") != release)
            return false;
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (md5OfFile(dir + it.key()) != it.value())
                return false;
        }
        return true;
    };
    qint64 updateMs = 0, scriptMs = 0, peakKiB = 0, fetchMs = 0, curlMs = 0, signedMs = 0, signedPeakKiB = 0;
    for (int round = 1; round <= kRounds; ++round) {
        const QString a = w + QStringLiteral("/run%1a").arg(round), b = w + QStringLiteral("/run%1b").arg(round);
        const QString c = w + QStringLiteral("/run%1c").arg(round);
        copyTree(base, a);
        copyTree(base, b);
        copyTree(base, c);
        writeTestFile(c + "/system.cfg", signedConfig);
        // Each run starts with no dirty pages of the set-up still being
        // written back; the order alternates between rounds.
        qint64 u = 0, s = 0, v = 0;
        const auto runSigned = [&] {
            timed("sync", {});
            v = timed("/usr/bin/time", {"-f", "%M", "-o", w + "/rss-signed.txt", c + "/update.exe", "console"}, c);
        };
        const auto runUpdate = [&] {
            timed("sync", {});
            u = timed("/usr/bin/time", {"-f", "%M", "-o", w + "/rss.txt", a + "/update.exe", "console"}, a);
        };
        const auto runScript = [&] {
            timed("sync", {});
            s = timed("bash", {script}, b);
        };
        if (round % 2) {
            runUpdate();
            runSigned();
            runScript();
        } else {
            runScript();
            runSigned();
            runUpdate();
        }
        const qint64 peak = readTestFile(w + "/rss.txt").trimmed().toLongLong();
        QList<qint64> scriptMarks;
        for (const QByteArray &line : readTestFile(b + "/phases.txt").split('\n'))
            if (!line.isEmpty())
                scriptMarks << line.toLongLong();
        QList<qint64> updateMarks = logMarks(a + "/update.log", {"Update started", "开始应用更新",
                                                                 "更新日志已写入", "更新已提交"});
        updateMarks << updateMarks.value(0) + u;
        if (!installed(a) || !installed(b) || !installed(c) || !QFileInfo::exists(c + "/update/release.statement"))
            fail(QStringLiteral("round %1 did not install version 2").arg(round));
        signedMs = round == 1 ? v : std::min(signedMs, v);
        signedPeakKiB = std::max(signedPeakKiB, readTestFile(w + "/rss-signed.txt").trimmed().toLongLong());
        updateMs = round == 1 ? u : std::min(updateMs, u);
        scriptMs = round == 1 ? s : std::min(scriptMs, s);
        peakKiB = std::max(peakKiB, peak);
        // The HTTP channel's own share: check, download and verification.
        const qint64 fetch = updateMarks.value(1) - updateMarks.value(0);
        const qint64 curl = scriptMarks.value(2) - scriptMarks.value(0);
        fetchMs = round == 1 ? fetch : std::min(fetchMs, fetch);
        curlMs = round == 1 ? curl : std::min(curlMs, curl);
        QDir(a).removeRecursively();
        QDir(b).removeRecursively();
        QDir(c).removeRecursively();
        out << "round " << round << ": update.exe " << u << " ms (peak " << peak / 1024 << " MiB), signed " << v
            << " ms, script " << s << " ms" << Qt::endl
            << "  update.exe: "
            << phases({"start+check+download+verify", "plan+journal", "backup+replace+flush+commit", "clean-up+exit"},
                      updateMarks)
            << Qt::endl
            << "  script:     " << phases({"download", "verify", "backup", "replace", "clean-up"}, scriptMarks) << Qt::endl;
    }
    out << "update: update.exe " << updateMs << " ms, curl+md5sum+cp " << scriptMs << " ms, ratio "
        << QString::number(ratio(updateMs, scriptMs), 'f', 2) << " (target <= 1.00)" << Qt::endl;
    out << "download+verify: update.exe " << fetchMs << " ms, curl+md5sum " << curlMs << " ms, ratio "
        << QString::number(ratio(fetchMs, curlMs), 'f', 2) << Qt::endl;
    out << "peak RSS of update.exe: " << QString::number(double(peakKiB) / 1024.0, 'f', 1)
        << " MiB (target <= 100)" << Qt::endl;
    out << "signed update: update.exe " << signedMs << " ms, unsigned " << updateMs << " ms, ratio "
        << QString::number(ratio(signedMs, updateMs), 'f', 2) << " (target <= 1.10), peak RSS "
        << QString::number(double(signedPeakKiB) / 1024.0, 'f', 1) << " MiB (target <= 100)" << Qt::endl;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir work(parent + "/httpbench-XXXXXX");
    if (!work.isValid()) {
        QTextStream(stderr) << "no work folder below " << parent << Qt::endl;
        return 1;
    }
    try {
        run(work.path());
    } catch (const BenchError &error) {
        QTextStream(stderr) << "httpbench: " << error.text << Qt::endl;
        return 1;
    }
    return 0;
}
