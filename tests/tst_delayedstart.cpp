#include "platform/delayedstart.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include "platform/privatefolder.h"

#include <sys/stat.h>
#include <unistd.h>
#endif

class TestDelayedStart : public QObject
{
    Q_OBJECT

private:
    // A copy of the fake host at dir/relative; returns its path.
    static QString placeHost(const QString &dir, const QString &relative)
    {
        const QString path = dir + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::copy(builtProgram(QStringLiteral("fakehost")), path);
        return path;
    }

    static QByteArray waitForFile(const QString &path, int timeoutMs = 30000)
    {
        // The started program writes one whole line.
        QByteArray content;
        static_cast<void>(QTest::qWaitFor([&] { return (content = readTestFile(path)).endsWith('\n'); }, timeoutMs));
        return content;
    }

    // Points QDir::tempPath() (and elsewhere than on Windows the user's
    // runtime folder) at dir; an empty dir restores the default.
    static void setTempDir(const QString &dir)
    {
#ifdef Q_OS_WIN
        const char *names[] = {"TMP", "TEMP"};
#else
        const char *names[] = {"TMPDIR", "XDG_RUNTIME_DIR"};
#endif
        static QMap<QByteArray, QByteArray> saved;
        for (const char *name : names) {
            if (!saved.contains(name))
                saved.insert(name, qgetenv(name));
            qputenv(name, dir.isEmpty() ? saved.value(name) : QDir::toNativeSeparators(dir).toLocal8Bit());
        }
    }

private slots:
    void batchScriptIsGbkWithCrLf()
    {
        const QByteArray bytes = batchScriptBytes(QStringLiteral("C:/Program Files/更新 100%/host.exe"),
                                                  {QStringLiteral("a b"), QStringLiteral("%PATH%")},
                                                  QStringLiteral("C:/Temp%dir/delay_start_17.bat"));
        const QByteArray expected = QByteArray("@echo off\r\n"
                                               "echo Starting in 1 second...\r\n"
                                               "timeout /t 1 /nobreak >nul 2>&1 || ping -n 2 127.0.0.1 >nul\r\n"
                                               "\"C:\\Program Files\\\xb8\xfc\xd0\xc2 100%%\\host.exe\" \"a b\" \"%%PATH%%\"\r\n"
                                               "del \"C:\\Temp%%dir\\delay_start_17.bat\"\r\n");
        QCOMPARE(bytes, expected);
    }

#ifdef Q_OS_WIN
    void scriptNameCarriesTheMilliseconds()
    {
        QCOMPARE(delayedScriptName(1733650000123), QStringLiteral("delay_start_1733650000123.bat"));
    }

    // The batch file as cmd.exe runs it: the program starts once with its
    // arguments unchanged, then the script removes itself.
    void batchScriptRunsUnderCmd_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("argument");
        QTest::newRow("blanks") << "with blank" << "an argument";
        QTest::newRow("batch chars") << "50% & ^caret (x)" << "%PATH% & ^x";
    }
    void batchScriptRunsUnderCmd()
    {
        QFETCH(QString, folder);
        QFETCH(QString, argument);
        QTemporaryDir dir;
        const QString host = placeHost(dir.path(), folder + QStringLiteral("/ho st.exe"));
        const QString script = dir.path() + QLatin1Char('/') + folder + QStringLiteral("/delay start.bat");
        QFile f(script);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(batchScriptBytes(host, {argument}, script));
        f.close();

        QProcess cmd;
        cmd.setProgram(QStringLiteral("cmd.exe"));
        cmd.setNativeArguments(batchCommandArguments(script));
        cmd.start();
        QVERIFY(cmd.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(waitForFile(dir.path() + QLatin1Char('/') + folder + QStringLiteral("/host_started.txt"))),
                 QStringLiteral("started ") + argument + QLatin1Char('\n'));
        QVERIFY(!QFileInfo::exists(script));
    }
#else
    void shellScriptQuotesEveryWord_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("argument");
        QTest::newRow("blanks") << "with blank" << "an argument";
        QTest::newRow("quotes") << "it's \"here\"" << "don't";
        QTest::newRow("shell chars") << "$HOME `id` ; x" << "$(echo no) && *";
        QTest::newRow("chinese") << QStringLiteral("程序 目录") << QStringLiteral("参数");
    }
    void shellScriptQuotesEveryWord()
    {
        QFETCH(QString, folder);
        QFETCH(QString, argument);
        QTemporaryDir dir;
        const QString host = placeHost(dir.path(), folder + QStringLiteral("/ho st"));
        const QString script = dir.path() + QLatin1Char('/') + folder + QStringLiteral("/delay start.sh");
        QVERIFY(writeTestFile(script, shellScriptBytes(host, {argument}, script)));

        QProcess sh;
        sh.start(QStringLiteral("/bin/sh"), {script});
        QVERIFY(sh.waitForFinished(10000));
        QCOMPARE(sh.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(waitForFile(dir.path() + QLatin1Char('/') + folder + QStringLiteral("/host_started.txt"))),
                 QStringLiteral("started ") + argument + QLatin1Char('\n'));
        QVERIFY(!QFileInfo::exists(script));
    }
#endif

#ifndef Q_OS_WIN
    void privateFolderCheck_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("owner"); // -1: the running user
        QTest::addColumn<bool>("link");
        QTest::addColumn<bool>("isPrivate");
        QTest::newRow("own, 0700") << 0700 << -1 << false << true;
        QTest::newRow("group may write") << 0770 << -1 << false << false;
        QTest::newRow("others may enter") << 0701 << -1 << false << false;
        QTest::newRow("another user's") << 0700 << 65534 << false << false;
        QTest::newRow("link to an own folder") << 0700 << -1 << true << false;
    }
    void privateFolderCheck()
    {
        QFETCH(int, mode);
        QFETCH(int, owner);
        QFETCH(bool, link);
        QTemporaryDir dir;
        const QByteArray real = QFile::encodeName(dir.path() + QStringLiteral("/real"));
        QCOMPARE(::mkdir(real.constData(), 0700), 0);
        QCOMPARE(::chmod(real.constData(), static_cast<mode_t>(mode)), 0);
        if (owner >= 0)
            QCOMPARE(::chown(real.constData(), static_cast<uid_t>(owner), static_cast<gid_t>(owner)), 0);
        const QString path = dir.path() + (link ? QStringLiteral("/link") : QStringLiteral("/real"));
        if (link)
            QVERIFY(QFile::link(QFile::decodeName(real), path));
        QTEST(isPrivateFolder(path, ::geteuid()), "isPrivate");
    }

    void privateFolderLiesWhereNobodyElseCanSwapIt_data()
    {
        // TMPDIR is a folder "tmp" in a folder "parent" of this mode and owner.
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("owner"); // -1: the running user
        QTest::addColumn<bool>("runtime"); // XDG_RUNTIME_DIR: a private folder in parent
        QTest::addColumn<bool>("usable");
        QTest::newRow("own parent") << 0755 << -1 << false << true;
        QTest::newRow("another user's parent") << 0755 << 65534 << false << false;
        QTest::newRow("runtime folder in another user's parent") << 0755 << 65534 << true << false;
        QTest::newRow("group may write the parent") << 0775 << -1 << false << false;
        QTest::newRow("sticky parent everybody may write") << 01777 << 0 << false << true;
    }
    void privateFolderLiesWhereNobodyElseCanSwapIt()
    {
        QFETCH(int, mode);
        QFETCH(int, owner);
        QFETCH(bool, runtime);
        QTemporaryDir dir;
        const QString parent = dir.path() + QStringLiteral("/parent");
        QVERIFY(QDir().mkpath(parent + QStringLiteral("/tmp")) && QDir().mkpath(parent + QStringLiteral("/run")));
        QCOMPARE(::chmod(QFile::encodeName(parent + QStringLiteral("/run")).constData(), 0700), 0);
        QCOMPARE(::chmod(QFile::encodeName(parent).constData(), static_cast<mode_t>(mode)), 0);
        if (owner >= 0)
            QCOMPARE(::chown(QFile::encodeName(parent).constData(), static_cast<uid_t>(owner), 0), 0);
        setTempDir(parent + QStringLiteral("/tmp"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(parent + (runtime ? QStringLiteral("/run") : QString())));
        const QString folder = privateRuntimeFolder();
        setTempDir(QString());
        QFETCH(bool, usable);
        QCOMPARE(!folder.isEmpty(), usable);
        if (usable)
            QCOMPARE(folder, QFileInfo(parent).canonicalFilePath() + QStringLiteral("/tmp/update-")
                                 + QString::number(::geteuid()) + QLatin1Char('/'));
    }

    void plantedScriptNamesAreNeitherFollowedNorUsed_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("symbolic links") << false;
        QTest::newRow("FIFOs") << true;
    }
    void plantedScriptNamesAreNeitherFollowedNorUsed()
    {
        // Another user fills the shared temp folder with every name the
        // script could get in the next seconds.
        QFETCH(bool, fifo);
        QTemporaryDir shared;
        QTemporaryDir runtime;
        QTemporaryDir dir;
        const QString victim = dir.path() + QStringLiteral("/victim.txt");
        QVERIFY(writeTestFile(victim, "untouched"));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (qint64 ms = now; ms < now + 3000; ++ms) {
            const QString planted = shared.path() + QStringLiteral("/delay_start_%1.sh").arg(ms);
            QVERIFY(fifo ? ::mkfifo(QFile::encodeName(planted).constData(), 0666) == 0 : QFile::link(victim, planted));
        }
        qputenv("TMPDIR", QFile::encodeName(shared.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString host = placeHost(dir.path(), programName(QStringLiteral("host")));
        delayedStart(host, {});
        QCOMPARE(waitForFile(dir.path() + QStringLiteral("/host_started.txt")), QByteArray("started\n"));
        setTempDir(QString());
        QCOMPARE(readTestFile(victim), QByteArray("untouched"));
        QCOMPARE(QDir(shared.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(runtime.path()).entryList(QDir::Files), QStringList(), 30000);
    }
#endif

    void delayedStartWaitsThenStartsAndRemovesItsScript()
    {
        QTemporaryDir tmp;
        QTemporaryDir dir;
        setTempDir(tmp.path());
        const QString host = placeHost(dir.path(), programName(QStringLiteral("host")));
        QElapsedTimer timer;
        timer.start();
        delayedStart(host, {QStringLiteral("update.exe"), QStringLiteral("update.exe")});
        const QByteArray started = waitForFile(dir.path() + QStringLiteral("/host_started.txt"));
        QVERIFY(timer.elapsed() >= 900);
        QCOMPARE(started, QByteArray("started update.exe update.exe\n"));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(tmp.path()).entryList(QDir::Files), QStringList(), 30000);
        setTempDir(QString());
    }

    void unwritableScriptStartsTheProgramDirectly_data()
    {
        QTest::addColumn<QString>("tempName");
        QTest::addColumn<bool>("isFile");
        QTest::newRow("temp is a file") << "file" << true;
        QTest::newRow("temp is missing") << "missing" << false;
    }
    void unwritableScriptStartsTheProgramDirectly()
    {
        QFETCH(QString, tempName);
        QFETCH(bool, isFile);
        QTemporaryDir dir;
        const QString temp = dir.path() + QLatin1Char('/') + tempName;
        if (isFile)
            QFile(temp).open(QIODevice::WriteOnly);
        setTempDir(temp);
        const QString host = placeHost(dir.path(), programName(QStringLiteral("host")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^无法创建批处理文件: ")));
        delayedStart(host, {});
        QCOMPARE(waitForFile(dir.path() + QStringLiteral("/host_started.txt")), QByteArray("started\n"));
        setTempDir(QString());
        QCOMPARE(QDir(QStringLiteral("/")).entryList({QStringLiteral("delay_start_*")}, QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDelayedStart)
#include "tst_delayedstart.moc"
