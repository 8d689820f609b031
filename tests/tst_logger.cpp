#include "log/logger.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { shutdownLogger(); }

    void linesArePlainTextWithPatternAndCrLf_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("name");
        QTest::newRow("debug") << 0 << "debug line" << "debug";
        QTest::newRow("info braces") << 1 << "value {} and {0} and {:>8}" << "info";
        QTest::newRow("warn percent") << 2 << "100% %s %d" << "warning";
        QTest::newRow("error utf8") << 3 << QStringLiteral("文件复制失败:a->b") << "error";
    }
    void linesArePlainTextWithPatternAndCrLf()
    {
        QFETCH(int, level);
        QFETCH(QString, message);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/update.log");
        setLogConsoleToStderr(true);
        initLogger(path.toStdString());
        const std::string text = message.toUtf8().toStdString();
        void (*wrappers[])(const std::string &) = {logDebug, logInfo, logWarn, logError};
        wrappers[level](text);
        shutdownLogger();

        const QString content = QString::fromUtf8(readTestFile(path));
        const QRegularExpression line(QStringLiteral(
            "^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[%1\\] \\[\\d+\\] %2\\r\\n$")
                .arg(name, QRegularExpression::escape(message)));
        QVERIFY2(line.match(content).hasMatch(), qPrintable(content));
    }

    void rotatesAtFiveMebibytesKeepingThree()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/update.log");
        setLogConsoleToStderr(true);
        initLogger(path.toStdString());
        // Each line is about 1 KiB with its prefix; 22 MiB of lines rotate
        // more than three times.
        const std::string chunk(1000, 'x');
        for (int i = 0; i < 22 * 1024; ++i)
            logDebug(chunk);
        shutdownLogger();

        for (const char *name : {"update.log", "update.1.log", "update.2.log", "update.3.log"})
            QVERIFY2(QFile::exists(dir.filePath(QLatin1String(name))), name);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("update.4.log"))));
        for (const char *name : {"update.1.log", "update.2.log", "update.3.log"}) {
            const qint64 size = QFileInfo(dir.filePath(QLatin1String(name))).size();
            QVERIFY(size <= 5242880);
            QVERIFY(size > 5242880 - 2048);
        }
    }

    void appendsToAnExistingLog()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/update.log");
        QVERIFY(writeTestFile(path, "earlier run\r\n"));
        initLogger(path.toStdString());
        logInfo("this run");
        shutdownLogger();
        const QByteArray content = readTestFile(path);
        QVERIFY(content.startsWith("earlier run\r\n"));
        QVERIFY(content.contains("this run"));
    }

    // What a kill leaves is what reached the file: a warning, an error or a
    // phase line is there at once, with every line before it.
    void writtenAtOnce_data()
    {
        QTest::addColumn<int>("level"); // 2 warn, 3 error, 4 phase
        QTest::newRow("warning") << 2;
        QTest::newRow("error") << 3;
        QTest::newRow("phase") << 4;
    }
    void writtenAtOnce()
    {
        QFETCH(int, level);
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/update.log");
        setLogConsoleToStderr(true);
        initLogger(path.toStdString());
        logDebug("line before");
        const QString marker = QStringLiteral("标记行");
        if (level == 2)
            logWarn(marker);
        else if (level == 3)
            logError(marker);
        else
            logPhase(marker);
        const QByteArray content = readTestFile(path);
        QVERIFY2(content.contains("line before") && content.contains(marker.toUtf8()), content.constData());
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
