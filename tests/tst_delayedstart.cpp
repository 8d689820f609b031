#include "platform/delayedstart.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

    static QByteArray waitForFile(const QString &path, int timeoutMs = 10000)
    {
        // The started program writes one whole line.
        QByteArray content;
        static_cast<void>(QTest::qWaitFor([&] { return (content = readTestFile(path)).endsWith('\n'); }, timeoutMs));
        return content;
    }

    // Points QDir::tempPath() at dir; an empty dir restores the default.
    static void setTempDir(const QString &dir)
    {
#ifdef Q_OS_WIN
        const char *names[] = {"TMP", "TEMP"};
#else
        const char *names[] = {"TMPDIR"};
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

    void scriptNameCarriesTheMilliseconds()
    {
#ifdef Q_OS_WIN
        QCOMPARE(delayedScriptName(1733650000123), QStringLiteral("delay_start_1733650000123.bat"));
#else
        QCOMPARE(delayedScriptName(1733650000123), QStringLiteral("delay_start_1733650000123.sh"));
#endif
    }

#ifdef Q_OS_WIN
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
        QTRY_COMPARE_WITH_TIMEOUT(QDir(tmp.path()).entryList(QDir::Files), QStringList(), 5000);
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
