// The updater and the update helper killed (SIGKILL) at the steps of a real
// update of about 200 files and 50 MB from nginx. The steps are the calls
// that change the file system (renames, removals, folder changes, flushes),
// found by tracing one undisturbed run; strace's fault injection then kills
// the program on entry to the n-th such call, so every chosen step is hit
// exactly, without timing. After each kill the next run must leave exactly
// version 1 or exactly version 2 (every file's digest compared), and the
// run after it exactly version 2. The installations keep the previous
// version (Update/KeepPrevious), and "update.exe rollback" is killed the same
// way: the run after it leaves version 2 or version 1, whole, and nothing kept.
//
// UPDATER_KILL_POINTS=all kills at every step (hundreds: see
// tests/kill_every_step.sh); a number N kills at N steps spread over the
// run plus a few random ones. The default is a short sample.
#include "http/md5manifest.h"
#include "platform/instanceguard.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const QString kSyscalls =
    QStringLiteral("rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,fsync,fdatasync,syncfs,link,linkat");
const QStringList kRunFiles{"/update.log", "/updatehelper.log", "/host_started.txt", "/UpdatePrevious/"};
constexpr int kDefaultPoints = 16;
constexpr int kRandomPoints = 4;

struct KillPoint
{
    QString syscall;
    int nth = 0;
};

QByteArray content(quint32 seed, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

// 200 files in ten folders, eight of them 5 MiB; version 2 changes three
// in four of them and adds 20 in new folders.
FileTree releaseFiles(int version)
{
    FileTree tree;
    for (int i = 0; i < 200; ++i) {
        const bool changed = version == 2 && i % 4 != 0;
        tree.insert(QStringLiteral("/f%1/file%2.bin").arg(i % 10).arg(i),
                    content(changed ? 1000 + i : i, i < 8 ? 5 << 20 : 48 << 10));
    }
    for (int i = 0; version == 2 && i < 20; ++i)
        tree.insert(QStringLiteral("/added/sub%1/new%2.bin").arg(i % 3).arg(i), content(5000 + i, 32 << 10));
    return tree;
}

bool copyTree(const QString &from, const QString &to)
{
    return QProcess::execute("cp", {"-a", from + "/.", to}) == 0;
}

// Runs program under strace; without a kill point it records the traced
// calls, in order, into calls. True when the program was killed.
bool runTraced(const QString &dir, const QString &program, const QStringList &args, const KillPoint *kill,
               QStringList *calls = nullptr)
{
    QTemporaryFile trace;
    trace.open();
    QStringList straceArgs{"-o", kill ? "/dev/null" : trace.fileName()};
    if (kill)
        straceArgs << "-e"
                   << "trace=" + kill->syscall << "-e"
                   << QStringLiteral("inject=%1:signal=KILL:when=%2").arg(kill->syscall).arg(kill->nth);
    else
        straceArgs << "-e"
                   << "trace=" + kSyscalls;
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start("strace", straceArgs + QStringList{program} + args);
    p.waitForFinished(300000);
    const QByteArray err = p.readAllStandardError();
    if (calls) {
        for (const QByteArray &line : trace.readAll().split('\n')) {
            const int paren = line.indexOf('(');
            if (paren > 0 && !line.startsWith("---") && !line.startsWith("+++"))
                *calls << QString::fromLatin1(line.left(paren));
        }
    }
    return err.contains("+++ killed by SIGKILL") || p.exitStatus() == QProcess::CrashExit || p.exitCode() == 137;
}

// The n-th call of each kind, for the calls in the order they ran: either
// all of them or `count` spread evenly plus a few at random.
QVector<KillPoint> choosePoints(const QStringList &calls, const QByteArray &setting)
{
    QVector<KillPoint> all;
    QHash<QString, int> seen;
    for (const QString &call : calls)
        all.append({call, ++seen[call]});
    if (setting == "all")
        return all;
    const int count = setting.isEmpty() ? kDefaultPoints : setting.toInt();
    QVector<KillPoint> chosen;
    for (int i = 0; i < count && !all.isEmpty(); ++i)
        chosen.append(all.at(static_cast<int>(qint64(i) * all.size() / count)));
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random kill points, seed %u", seed);
    QRandomGenerator random(seed);
    for (int i = 0; i < kRandomPoints && !all.isEmpty(); ++i)
        chosen.append(all.at(random.bounded(all.size())));
    return chosen;
}

QMap<QString, QString> installedTree(const QString &dir)
{
    return hashTree(dir, kRunFiles);
}

int hostStarts(const QString &dir)
{
    return readTestFile(dir + "/host_started.txt").count('\n');
}

// Runs update.exe console and waits for everything it set going, which ends
// by starting the host: after an update that carries a new updater, the
// helper and the updater's helper run first.
RunResult runAndSettle(const QString &dir, const QStringList &args = {"console"})
{
    const int starts = hostStarts(dir);
    RunResult r;
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(dir + "/update.exe", args);
    r.finished = p.waitForFinished(300000);
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    // Settling waits are bounded; what did not settle shows in the checks
    // that follow, so their own result is not needed here.
    if (r.out.contains("\"update\":true") && r.exitCode == 0)
        (void)QTest::qWaitFor([&] { return hostStarts(dir) > starts && !QFileInfo::exists(dir + "/update.journal"); }, 60000);
    (void)QTest::qWaitFor([&] { return !InstanceGuard::isHeld(InstanceGuard::keyFor(dir)); }, 30000);
    return r;
}

} // namespace

class TestKillSteps : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    std::unique_ptr<NginxServer> nginx;
    QString templateDir;
    QMap<QString, QString> version1;
    QMap<QString, QString> version2;

    // Publishes release (version 2.0 in folder v2) and lays out a version-1
    // installation in templateDir, and both expected trees.
    void prepare(const QString &name, const FileTree &release)
    {
        const QString root = work.path() + '/' + name;
        const QString www = root + "/www";
        writeTree(root + "/src", release);
        QVERIFY(runPublisher(root + "/src", www, "2.0", "v2"));
        nginx = std::make_unique<NginxServer>(www);
        QVERIFY(nginx->isRunning());

        templateDir = root + "/template";
        TestInstall::Settings s = TestInstall::defaultSettings();
        s["Update"]["HttpEnable"] = "1";
        s["Update"]["URL"] = nginx->baseUrl();
        s["Update"]["KeepPrevious"] = "1";
        FileTree v1 = releaseFiles(1);
        v1.insert("/system.cfg", TestInstall::configText(s));
        v1.insert("/update/update.ini", "[Version]\nVersion=1.0\nFolder=v1\n");
        writeTree(templateDir, v1);
        for (const char *program : {"update.exe", "updatehelper"})
            QVERIFY(QFile::copy(builtProgram(program), templateDir + '/' + program));
        QVERIFY(QFile::copy(builtProgram("fakehost"), templateDir + "/host"));
        generateMd5File(templateDir + '/');

        version1 = installedTree(templateDir);
        version2 = version1;
        version2.insert(treeHashes(release));
        version2.insert("/md5.txt", md5OfFile(www + "/v2/md5.txt"));
        version2.insert("/update/update.ini", md5OfFile(www + "/update.ini"));
    }

    // Kills program at point in a copy of start (dir), then waits for what
    // it had set going. True when it was killed.
    bool killAndSettle(const QString &start, const QString &dir, const QString &program, const QStringList &args,
                       const KillPoint &point)
    {
        if (!copyTree(start, dir))
            return false;
        const bool killed = runTraced(dir, dir + '/' + program, args, &point);
        // Whatever the program had already set going ends first: an updater
        // or helper that was not killed ends by starting the host.
        if (!killed)
            (void)QTest::qWaitFor([&] { return hostStarts(dir) > 0; }, 30000);
        (void)QTest::qWaitFor([&] { return !InstanceGuard::isHeld(InstanceGuard::keyFor(dir)); }, 30000);
        return killed;
    }

    // One round: a fresh version-1 installation (or a copy of start), the
    // kill, then two ordinary runs.
    void killRound(const QString &start, const QString &program, const QStringList &args, const KillPoint &point)
    {
        QTemporaryDir dir;
        const QString where = QStringLiteral("%1 #%2").arg(point.syscall).arg(point.nth);
        const bool killed = killAndSettle(start, dir.path(), program, args, point);
        if (killed && program == "update.exe") {
            // The log holds every line up to the last phase the run reached.
            const QByteArray log = readTestFile(dir.path() + "/update.log");
            // Killed before the log was opened (its folder is made first), it has none.
            QVERIFY2(!QFileInfo::exists(dir.path() + "/update.log") || log.contains("Update started"),
                     qPrintable(where));
            if (QFileInfo::exists(dir.path() + "/UpdateTemp"))
                QVERIFY2(log.contains("更新检查完成: 有新版本"), qPrintable(where));
            if (QFileInfo::exists(dir.path() + "/update.journal"))
                QVERIFY2(log.contains("下载完成") && log.contains("开始安装更新"), qPrintable(where));
        }

        const RunResult next = runAndSettle(dir.path());
        QVERIFY2(next.finished, qPrintable(where));
        const auto tree = installedTree(dir.path());
        QVERIFY2(tree == version1 || tree == version2, qPrintable(where + " left a mixed installation"));
        const RunResult second = runAndSettle(dir.path());
        QVERIFY2(second.finished, qPrintable(where));
        QVERIFY2(installedTree(dir.path()) == version2, qPrintable(where + ": not version 2 after two runs"));
    }

private slots:
    void killDuringApply()
    {
        prepare("apply", releaseFiles(2));
        QTemporaryDir probe;
        QVERIFY(copyTree(templateDir, probe.path()));
        QStringList calls;
        QVERIFY(!runTraced(probe.path(), probe.path() + "/update.exe", {"console"}, nullptr, &calls));
        QCOMPARE(installedTree(probe.path()), version2);
        const QVector<KillPoint> points = choosePoints(calls, qgetenv("UPDATER_KILL_POINTS"));
        qInfo("%d traced steps, %d kills", int(calls.size()), int(points.size()));
        for (const KillPoint &point : points) {
            killRound(templateDir, "update.exe", {"console"}, point);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // The rollback of an update of version 1 to 2: the run after the kill
    // (a rollback again) leaves either version whole and nothing kept.
    void killDuringRollback()
    {
        prepare("rollback", releaseFiles(2));
        const QString updated = work.path() + "/rollback/updated";
        QVERIFY(copyTree(templateDir, updated));
        QVERIFY(runAndSettle(updated).finished);
        QCOMPARE(installedTree(updated), version2);
        QVERIFY(QFileInfo::exists(updated + "/UpdatePrevious/update.journal"));
        QVERIFY(QFile::remove(updated + "/host_started.txt"));

        QTemporaryDir probe;
        QVERIFY(copyTree(updated, probe.path()));
        QStringList calls;
        QVERIFY(!runTraced(probe.path(), probe.path() + "/update.exe", {"rollback", "console"}, nullptr, &calls));
        QCOMPARE(installedTree(probe.path()), version1);
        const QVector<KillPoint> points = choosePoints(calls, qgetenv("UPDATER_KILL_POINTS"));
        qInfo("%d traced steps of the rollback, %d kills", int(calls.size()), int(points.size()));
        for (const KillPoint &point : points) {
            QTemporaryDir dir;
            const QString where = QStringLiteral("%1 #%2").arg(point.syscall).arg(point.nth);
            killAndSettle(updated, dir.path(), "update.exe", {"rollback", "console"}, point);
            QVERIFY2(runAndSettle(dir.path(), {"rollback", "console"}).finished, qPrintable(where));
            const auto tree = installedTree(dir.path());
            QVERIFY2(tree == version1 || tree == version2, qPrintable(where + " left a mixed installation"));
            QVERIFY2(!QFileInfo::exists(dir.path() + "/UpdatePrevious"), qPrintable(where + " kept a version"));
        }
    }

    // The helper's swap of update.exe: every step, from the state the
    // updater hands over.
    void killDuringUpdaterSwap()
    {
        FileTree release = releaseFiles(2);
        release.insert("/update.exe", readTestFile(builtProgram("update.exe")) + "\nrelease 2 updater\n");
        prepare("swap", release);
        // The hand-over state: the updater ran with a stand-in helper that
        // only records its start.
        const QString handover = work.path() + "/swap/handover";
        QVERIFY(copyTree(templateDir, handover));
        QVERIFY(QFile::remove(handover + "/updatehelper"));
        QVERIFY(QFile::copy(builtProgram("fakehost"), handover + "/updatehelper"));
        QProcess run;
        run.setWorkingDirectory(handover);
        run.start(handover + "/update.exe", {"console"});
        QVERIFY(run.waitForFinished(300000));
        QVERIFY(QTest::qWaitFor([&] { return hostStarts(handover) == 1; }, 20000));
        QVERIFY(QFile::remove(handover + "/updatehelper") && QFile::remove(handover + "/host_started.txt"));
        QVERIFY(QFile::copy(builtProgram("updatehelper"), handover + "/updatehelper"));
        QVERIFY(readTestFile(handover + "/update.journal").contains("phase\thandover"));

        QTemporaryDir probe;
        QVERIFY(copyTree(handover, probe.path()));
        QStringList calls;
        QVERIFY(
            !runTraced(probe.path(), probe.path() + "/updatehelper", {"update.exe", "update.exe"}, nullptr, &calls));
        const QVector<KillPoint> points = choosePoints(calls, "all");
        qInfo("%d traced steps of the swap", int(points.size()));
        for (const KillPoint &point : points) {
            killRound(handover, "updatehelper", {"update.exe", "update.exe"}, point);
            if (QTest::currentTestFailed())
                return;
        }
    }
};

int main(int argc, char **argv)
{
    // Hundreds of rounds of a real update outlast QTest's five-minute limit
    // per test function; CTest's own limit still holds.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(24 * 3600 * 1000));
    QCoreApplication app(argc, argv);
    TestKillSteps test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_killsteps.moc"
