// The TCP download queue (CTCPUpdate) against the reference server on
// 127.0.0.1, driving a real progress window: whole runs, retries, failures
// of each class, cancellation, and the queued result signal.
#include "delta/patchcodec.h"
#include "delta/patchindex.h"
#include "fileops/filedigest.h"
#include "fileops/installlayout.h"
#include "fileops/tempfilewriter.h"
#include "log/logger.h"
#include "support/boxanswerer.h"
#include "support/memorysink.h"
#include "support/tcpserverprocess.h"
#include "http/md5manifest.h"
#include "support/testfiles.h"
#include "tcp/tcpupdate.h"
#include "tcp/updatetcpclient.h"
#include "tcp/updatewidget.h"

#include <QLabel>
#include <QProgressBar>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray pattern(int n, char seed)
{
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

// The highest number the server printed in "(<n> <what>)".
int highest(const QStringList &lines, const QString &what)
{
    const QRegularExpression count(QStringLiteral("\\((\\d+) %1\\)").arg(what));
    int most = 0;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = count.match(line);
        if (match.hasMatch())
            most = qMax(most, match.captured(1).toInt());
    }
    return most;
}

} // namespace

class TestTcpUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void classifyError_data();
    void classifyError();
    void refusedEntries_data();
    void refusedEntries();
    void serverRefusesUninstallableRelease();
    void wholeRun();
    void noServer();
    void finalFailures_data();
    void finalFailures();
    void successOnThirdAttempt();
    void cancelDuringTransfer_data();
    void cancelDuringTransfer();
    void cancelDuringRetryPause();
    void parallelRuns_data();
    void parallelRuns();
    void scriptedServer_data();
    void scriptedServer();
    void settingsFromTheCaller_data();
    void settingsFromTheCaller();
    void hashingOffTheWindowThread_data();
    void hashingOffTheWindowThread();

private:
    bool startServer(const QStringList &options = {});
    // The channel, checked, with its chunks going to sink and its progress to window.
    bool prepare(CTCPUpdate &update, MemorySink &sink, UpdateWidget &window);
    QString logText();
    // The settings of a run staging through writer into layout, asking with version.
    TcpUpdateSettings stagingSettings(const InstallLayout &layout, TempFileWriter &writer, const QString &version);
    static QString status(const UpdateWidget &w) { return w.findChild<QLabel *>("label_status")->text(); }
    static QString title(const UpdateWidget &w) { return w.findChild<QLabel *>("label_title")->text(); }

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<TcpServerProcess> server;
    bool serverStalls = false; // the running server stalls transfers
    QMap<QString, QByteArray> releaseFiles;
};

void TestTcpUpdate::initTestCase()
{
    qRegisterMetaType<uint32_t>("uint32_t");
}

void TestTcpUpdate::init()
{
    dir.reset(new QTemporaryDir);
    server.reset(new TcpServerProcess);
    releaseFiles = {
        {QStringLiteral("a.bin"), pattern(30000, 1)},
        {QStringLiteral("b.bin"), pattern(1000000, 2)},
        {QStringLiteral("plugins/codec.dll"), pattern(5000, 3)},
    };
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
    initLogger(dir->filePath(QStringLiteral("update.log")).toStdString());
}

void TestTcpUpdate::cleanup()
{
    shutdownLogger();
}

bool TestTcpUpdate::startServer(const QStringList &options)
{
    serverStalls = options.contains(QStringLiteral("--stall-after"));
    return server->start(dir->path(), QStringList{QStringLiteral("--chunk-size"), QStringLiteral("7000")} + options);
}

bool TestTcpUpdate::prepare(CTCPUpdate &update, MemorySink &sink, UpdateWidget &window)
{
    if (!update.client())
        return false;
    update.client()->setChunkSink(sink.sink());
    update.setProgressWindow(&window);
    // A time-out is what a stalling server is for; anywhere else a short
    // limit would turn a busy machine into a time-out.
    update.setSilenceLimitForTest(serverStalls ? 2000 : CTCPUpdate::kSilenceLimitMs);
    return update.checkVersion();
}

TcpUpdateSettings TestTcpUpdate::stagingSettings(const InstallLayout &layout, TempFileWriter &writer,
                                                 const QString &version)
{
    TcpUpdateSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = server->port();
    settings.version = version;
    settings.workPlaces = layout.workPlaces();
    settings.writer = &writer;
    return settings;
}

QString TestTcpUpdate::logText()
{
    shutdownLogger();
    return QString::fromUtf8(readTestFile(dir->filePath(QStringLiteral("update.log"))));
}

void TestTcpUpdate::classifyError_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("errorClass");
    QTest::newRow("client time-out") << "文件下载超时" << int(CTCPUpdate::TimeoutError);
    QTest::newRow("socket time-out") << "Socket operation timed out" << int(CTCPUpdate::UnknownError);
    QTest::newRow("TIMEOUT any case") << "read TIMEOUT" << int(CTCPUpdate::TimeoutError);
    QTest::newRow("remote closed") << "The remote host closed the connection" << int(CTCPUpdate::NetworkError);
    QTest::newRow("refused") << "Connection refused" << int(CTCPUpdate::NetworkError);
    QTest::newRow("not connected") << "未连接到服务器" << int(CTCPUpdate::NetworkError);
    QTest::newRow("time-out wins over file") << "file timeout" << int(CTCPUpdate::TimeoutError);
    QTest::newRow("chunk not stored") << "Failed to save file data: a/b" << int(CTCPUpdate::FileSystemError);
    QTest::newRow("disk") << "DISK full" << int(CTCPUpdate::FileSystemError);
    QTest::newRow("cancelled") << "下载已取消" << int(CTCPUpdate::Cancelled);
    QTest::newRow("Cancel any case") << "Cancelled by user" << int(CTCPUpdate::Cancelled);
    QTest::newRow("server error") << "服务器返回错误" << int(CTCPUpdate::UnknownError);
    QTest::newRow("fixed text") << "下载失败" << int(CTCPUpdate::UnknownError);
    QTest::newRow("empty") << "" << int(CTCPUpdate::UnknownError);
}

void TestTcpUpdate::classifyError()
{
    QFETCH(QString, text);
    QTEST(int(CTCPUpdate::classifyError(text)), "errorClass");
}

void TestTcpUpdate::refusedEntries_data()
{
    QTest::addColumn<QStringList>("files"); // path|name
    QTest::addColumn<QString>("refused");   // the end of the failure text, "" for none

    QTest::newRow("installable") << QStringList{"plugins|codec.dll", "|update.ini", "update|update.ini", "|md5.txt"}
                                 << "";
    QTest::newRow("hidden folder, Windows separators")
        << QStringList{"a|b.dll", "sub\\.git|config"} << "sub\\.git/config（路径包含隐藏的文件或目录）";
    QTest::newRow("the journal") << QStringList{"|update.journal"} << "/update.journal（路径与更新程序自己的文件或目录重名）";
    QTest::newRow("inside the staging folder") << QStringList{"updatetemp|a.dll"} << "updatetemp/a.dll（路径与更新程序自己的文件或目录重名）";
    QTest::newRow("leaves the staging folder") << QStringList{"..|evil.dll"} << "../evil.dll（路径不安全）";
    // One staged file for two requests at once: refused, whatever the spelling.
    const QString twice = QStringLiteral("（与lib/core.dll相同）");
    QTest::newRow("listed twice") << QStringList{"lib|core.dll", "|a.dll", "lib|core.dll"} << "lib/core.dll" + twice;
    QTest::newRow("folder with a slash") << QStringList{"lib|core.dll", "lib/|core.dll"} << "lib//core.dll" + twice;
    QTest::newRow("folder with a dot level")
        << QStringList{"lib|core.dll", "./lib|core.dll"} << "./lib/core.dll" + twice;
    QTest::newRow("folder with a backslash")
        << QStringList{"lib|core.dll", "lib\\|core.dll"} << "lib\\/core.dll" + twice;
    QTest::newRow("letter case") << QStringList{"lib|core.dll", "LIB|Core.dll"} << "LIB/Core.dll" + twice;
    QTest::newRow("same name, other folders") << QStringList{"lib|core.dll", "lib/x|core.dll", "|core.dll"} << "";
}

void TestTcpUpdate::refusedEntries()
{
    QFETCH(QStringList, files);
    QFETCH(QString, refused);
    QVector<FileRequest> list;
    for (const QString &file : files)
        list.append(FileRequest{file.section('|', 0, 0), file.section('|', 1)});
    const QString text =
        CTCPUpdate::refusedEntry(list, InstallLayout::withUsualSettings(QStringLiteral("/inst")).workPlaces());
    QCOMPARE(text.isEmpty(), refused.isEmpty());
    QVERIFY2(refused.isEmpty() || text.endsWith(refused), qPrintable(text));
}

void TestTcpUpdate::serverRefusesUninstallableRelease()
{
    // The server offers nothing a client would refuse: a release with a
    // hidden file is answered with an error, not half offered.
    releaseFiles[QStringLiteral("sub/.hidden")] = "x";
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
    QVERIFY(startServer());
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    QVERIFY(!update.checkVersion());
    QCOMPARE(update.lastError(), QStringLiteral("服务器返回错误"));
}

void TestTcpUpdate::wholeRun()
{
    QVERIFY(startServer());
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    MemorySink sink;
    UpdateWidget window;
    QVERIFY(prepare(update, sink, window));
    const QVector<FileRequest> expected{{QString(), "a.bin"}, {QString(), "b.bin"}, {QString(), "update.ini"},
                                        {"plugins", "codec.dll"}};
    QCOMPARE(update.files(), expected);

    QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
    QVERIFY(update.startUpdate());
    // Delivered once the event loop runs, after startUpdate has returned.
    QCOMPARE(result.count(), 0);
    QTRY_COMPARE(result.count(), 1);
    QCOMPARE(result.first().first().toBool(), true);

    QCOMPARE(sink.files.value("/a.bin"), releaseFiles.value("a.bin"));
    QCOMPARE(sink.files.value("/b.bin"), releaseFiles.value("b.bin"));
    QCOMPARE(sink.files.value("plugins/codec.dll"), releaseFiles.value("plugins/codec.dll"));
    QVERIFY(sink.files.value("/update.ini").startsWith("[Version]"));
    QVERIFY(window.isVisible());
    QCOMPARE(status(window), QStringLiteral("所有文件下载完成！"));
    QCOMPARE(window.findChild<QProgressBar *>("progressBar_main")->value(), 100);

    const QString log = logText();
    QVERIFY(log.contains(QStringLiteral("开始迭代下载，总文件数: 4")));
    QVERIFY(log.contains(QStringLiteral("下载进度更新: 2/4 (50%)")));
    QVERIFY(log.contains(QStringLiteral("TCP文件下载进度:b.bin 1000000/1000000 100%")));
    QVERIFY(log.contains(QStringLiteral("所有文件下载完成")));
    QVERIFY(!log.contains(QStringLiteral("重试下载")));
}

void TestTcpUpdate::noServer()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    CTCPUpdate update(QStringLiteral("127.0.0.1"), closedPort);
    UpdateWidget window;
    update.setProgressWindow(&window);
    QVERIFY(!update.checkVersion());
    QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
    QVERIFY(!update.startUpdate());
    QVERIFY(!window.isVisible());
    QTRY_COMPARE(result.count(), 1);
    QCOMPARE(result.first().first().toBool(), false);

    CTCPUpdate unconfigured(QString(), 0);
    QVERIFY(!unconfigured.client());
    QVERIFY(!unconfigured.checkVersion());
}

void TestTcpUpdate::finalFailures_data()
{
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<bool>("removeAfterCheck"); // b.bin disappears: the server answers with an error
    QTest::addColumn<bool>("refuseChunks");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("errorClass");
    QTest::addColumn<int>("attempts"); // a chunk that cannot be stored is not worth another try

    QTest::newRow("server error") << QStringList() << true << false << "未知错误，重试失败: b.bin" << 4 << 4;
    QTest::newRow("stalls") << QStringList{"--stall-after", "2"} << false << false << "下载超时，重试失败: a.bin" << 2
                            << 4;
    QTest::newRow("drops") << QStringList{"--drop-after", "2"} << false << false << "网络错误，重试失败: a.bin" << 0
                           << 4;
    QTest::newRow("cannot store") << QStringList() << false << true << "文件系统错误，重试失败: a.bin" << 1 << 1;
}

void TestTcpUpdate::finalFailures()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(bool, removeAfterCheck);
    QFETCH(QString, shown);
    QFETCH(int, errorClass);

    // a.bin is large enough for the faulty transfers to fail inside it.
    releaseFiles[QStringLiteral("a.bin")] = pattern(100000, 4);
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
    QVERIFY(startServer(serverOptions));
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    MemorySink sink;
    QFETCH(bool, refuseChunks);
    sink.refuseAll = refuseChunks;
    UpdateWidget window;
    QVERIFY(prepare(update, sink, window));
    if (removeAfterCheck)
        QVERIFY(QFile::remove(dir->filePath("files/b.bin")));

    QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
    QVERIFY(!update.startUpdate());
    QCOMPARE(title(window), QStringLiteral("TCP升级失败"));
    QCOMPARE(status(window), shown);
    QTRY_COMPARE(result.count(), 1);
    QCOMPARE(result.first().first().toBool(), false);

    QFETCH(int, attempts);
    const QString failed = shown.section(QStringLiteral(": "), 1);
    // The attempts, then the run stops: nothing after the failed file.
    QCOMPARE(server->count("file request " + failed), attempts);
    QCOMPARE(server->count("file request plugins/codec.dll"), 0);
    const QString log = logText();
    QCOMPARE(log.contains(QStringLiteral("重试下载: %1, 尝试次数: 3").arg(failed)), attempts == 4);
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 4")));
    QCOMPARE(log.count(QStringLiteral("下载失败，等待重试: ") + failed), attempts - 1);
    QVERIFY(log.contains((attempts == 4 ? QStringLiteral("下载最终失败，已达到最大重试次数: ")
                                        : QStringLiteral("下载失败，不再重试: ")) + failed));
    QVERIFY(log.contains(QStringLiteral("下载错误处理完成，文件: %1 错误类型: %2").arg(failed).arg(errorClass)));
    if (removeAfterCheck) {
        QVERIFY(log.contains(QStringLiteral("下载进度更新: 1/4 (25%)")));
        QCOMPARE(sink.files.value("/a.bin"), releaseFiles.value("a.bin"));
    }
}

void TestTcpUpdate::successOnThirdAttempt()
{
    QVERIFY(startServer({"--stall-after", "3", "--faulty-requests", "2"}));
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    MemorySink sink;
    UpdateWidget window;
    QVERIFY(prepare(update, sink, window));
    QVERIFY(update.startUpdate());
    // The stalled attempts' partial data did not end up in the file.
    QCOMPARE(sink.files.value("/a.bin"), releaseFiles.value("a.bin"));
    QCOMPARE(sink.files.value("/b.bin"), releaseFiles.value("b.bin"));
    QCOMPARE(server->count("file request a.bin"), 3);
    const QString log = logText();
    QVERIFY(log.contains(QStringLiteral("重试下载: a.bin, 尝试次数: 2")));
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 3")));
    QVERIFY(log.contains(QStringLiteral("重新连接更新服务器")));
}

// The cancel button, Escape and closing the window each ask the same box
// once a file is under way. "取消" lets the run finish; "确认" stops it after
// the first file request, says so, and Escape or closing then also closes
// the window: nothing goes on behind it.
void TestTcpUpdate::cancelDuringTransfer_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QString>("answer");
    QTest::newRow("button, keep going") << "button" << "取消";
    QTest::newRow("button, confirm") << "button" << "确认";
    QTest::newRow("escape, confirm") << "escape" << "确认";
    QTest::newRow("close, keep going") << "close" << "取消";
    QTest::newRow("close, confirm") << "close" << "确认";
}

void TestTcpUpdate::cancelDuringTransfer()
{
    QFETCH(QString, way);
    QFETCH(QString, answer);
    const bool cancels = answer == "确认";
    QVERIFY(startServer({"--chunk-delay", "20"}));
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    MemorySink sink;
    UpdateWidget window;
    QVERIFY(prepare(update, sink, window));
    BoxAnswerer answerer(answer);
    bool asked = false;
    connect(update.client(), &QUpdateTcpClient::sigFileDownloadProgress, this,
            [&](const QString &, const QString &, uint32_t downloaded) {
                if (downloaded == 0 || asked)
                    return;
                asked = true;
                if (way == "escape")
                    QTest::keyClick(&window, Qt::Key_Escape);
                else if (way == "close")
                    window.close();
                else
                    QTest::mouseClick(window.findChild<QPushButton *>("pushButton_cancel"), Qt::LeftButton);
            });
    QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
    QCOMPARE(update.startUpdate(), !cancels);
    QCOMPARE(answerer.seenBoxes(), QStringList{"确认取消|确定要取消更新吗？未完成的更新将不会被应用。"});
    QTRY_COMPARE(result.count(), 1);
    QCOMPARE(result.first().first().toBool(), !cancels);
    QCOMPARE(window.isVisible(), !cancels || way == "button");
    if (!cancels) {
        QCOMPARE(title(window), QStringLiteral("TCP升级进行中..."));
        QCOMPARE(sink.files.value("/b.bin"), releaseFiles.value("b.bin"));
        return;
    }
    QCOMPARE(title(window), QStringLiteral("TCP升级已取消"));
    QCOMPARE(status(window), QStringLiteral("下载已取消"));
    QVERIFY(!window.findChild<QPushButton *>("pushButton_cancel")->isVisible());
    QCOMPARE(server->count("file request"), 1);
    const QString log = logText();
    QVERIFY(log.contains(QStringLiteral("下载被用户取消")));
    QVERIFY(!log.contains(QStringLiteral("重试下载")));
}

void TestTcpUpdate::cancelDuringRetryPause()
{
    QVERIFY(startServer({"--stall-after", "1"}));
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    MemorySink sink;
    UpdateWidget window;
    QVERIFY(prepare(update, sink, window));
    BoxAnswerer answerer(QStringLiteral("确认"));
    // The time-out is reported just before the pause; the click lands in it.
    connect(update.client(), &QUpdateTcpClient::sigFileDownloadError, this, [&] {
        QTimer::singleShot(0, &window, [&] {
            QTest::mouseClick(window.findChild<QPushButton *>("pushButton_cancel"), Qt::LeftButton);
        });
    });
    QVERIFY(!update.startUpdate());
    QCOMPARE(status(window), QStringLiteral("下载已取消"));
    QCOMPARE(server->count("file request"), 1);
    QVERIFY(logText().contains(QStringLiteral("下载被用户取消")));
}

// Several connections, each with one file at a time: every file arrives
// whole, a file failing for good or a cancel ends the run once with every
// other request stopped, retries stay on their connection, and a server that
// takes one connection is used through that one.
void TestTcpUpdate::parallelRuns_data()
{
    QTest::addColumn<int>("connections");
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<QString>("missing"); // removed after the check: every request of it is refused
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("used"); // connections that carried files
    QTest::addColumn<bool>("watch"); // the file line moves over several files (one after another)

    const QString done = QStringLiteral("所有文件下载完成！");
    const QStringList paced{"--chunk-delay", "20"};
    QTest::newRow("one connection") << 1 << paced << "" << false << done << 1 << true;
    // The largest file has most bytes left for most of the run: the line may stay on it.
    QTest::newRow("four connections") << 4 << paced << "" << false << done << 4 << false;
    QTest::newRow("server takes one connection") << 4 << QStringList{"--max-connections", "1"} << "" << false << done << 1
                                                 << false;
    // The first four requests (one per connection) stall after one chunk:
    // the two larger files are each retried once, side by side.
    QTest::newRow("retries on each connection") << 4 << QStringList{"--stall-after", "1", "--faulty-requests", "4"} << ""
                                                << false << done << 4 << false;
    QTest::newRow("a file fails for good") << 4 << QStringList{"--chunk-delay", "2"} << "c5.bin" << false
                                           << "未知错误，重试失败: c5.bin" << 4 << false;
    QTest::newRow("cancelled with files in flight") << 4 << paced << "" << true << "下载已取消" << 4 << false;
}

void TestTcpUpdate::parallelRuns()
{
    QFETCH(int, connections);
    QFETCH(QStringList, serverOptions);
    QFETCH(QString, missing);
    QFETCH(bool, cancel);
    QFETCH(QString, shown);
    QFETCH(int, used);
    QFETCH(bool, watch);
    releaseFiles[QStringLiteral("b.bin")] = pattern(300000, 2);
    for (int i = 0; i < 8; ++i)
        releaseFiles.insert(QStringLiteral("c%1.bin").arg(i), pattern(7000 * i + 10000, char(10 + i)));
    writeRelease(dir->path(), QStringLiteral("2.0"), releaseFiles);
    QVERIFY(startServer(serverOptions));
    CTCPUpdate update(QStringLiteral("127.0.0.1"), server->port());
    update.setConnections(connections);
    MemorySink sink;
    UpdateWidget window;
    // What the window is told while the run goes on, every step of it (no
    // refresh limit): the file line follows the file with most bytes left,
    // never one whose bytes are all in while another still has bytes to
    // come, and the overall bar only grows. Connected
    // before the window, so each step is recorded before the window's event
    // processing can deliver the next one.
    update.setRefreshIntervalForTest(0);
    QStringList shownFiles;
    bool cancelClicked = false;
    QMap<QString, qint64> left; // bytes still to come of each file shown, as last told
    int finishedShownAmongOthers = 0;
    connect(&update, &CTCPUpdate::fileProgressShown, this, [&](const QString &name, qint64 received, qint64 total) {
        if (shownFiles.isEmpty() || shownFiles.last() != name)
            shownFiles << name;
        left[name] = total - received;
        if (received == total) {
            for (auto it = left.cbegin(); it != left.cend(); ++it)
                finishedShownAmongOthers += it.key() != name && it.value() > 0 && sink.open.contains("/" + it.key());
        }
        // With files in flight, cancel once the largest has moved.
        if (cancel && !cancelClicked && name == "b.bin" && received > 0) {
            cancelClicked = true;
            QTimer::singleShot(0, &window, [&] {
                QTest::mouseClick(window.findChild<QPushButton *>("pushButton_cancel"), Qt::LeftButton);
            });
        }
    });
    QVERIFY(prepare(update, sink, window));
    if (!missing.isEmpty())
        QVERIFY(QFile::remove(dir->filePath("files/" + missing)));
    BoxAnswerer answerer(QStringLiteral("确认"));

    QVector<int> overall;
    connect(window.findChild<QProgressBar *>("progressBar_main"), &QProgressBar::valueChanged, this,
            [&](int value) { overall << value; });

    QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
    const bool ok = shown == QStringLiteral("所有文件下载完成！");
    QCOMPARE(update.startUpdate(), ok);
    QCOMPARE(status(window), shown);
    QTRY_COMPARE(result.count(), 1);
    QCOMPARE(result.first().first().toBool(), ok);
    // No file is left half received.
    QVERIFY(sink.open.isEmpty());

    const QStringList lines = server->lines();
    QCOMPARE(highest(lines, "open"), used);
    if (used > 1)
        QVERIFY(highest(lines, "streaming") > 1);
    const QString log = logText();
    QVERIFY(log.contains(QStringLiteral("下载使用 %1 个连接").arg(used)));
    if (ok) {
        for (auto it = releaseFiles.cbegin(); it != releaseFiles.cend(); ++it) {
            const QString key = it.key().contains('/') ? it.key() : QLatin1Char('/') + it.key();
            QVERIFY2(sink.files.value(key) == it.value(), qPrintable(key));
        }
        QVERIFY(log.contains(QStringLiteral("下载进度更新: %1/%1 (100%)").arg(releaseFiles.size() + 1)));
        QCOMPARE(window.findChild<QProgressBar *>("progressBar_main")->value(), 100);
        QVERIFY(std::is_sorted(overall.cbegin(), overall.cend()));
    }
    if (watch)
        QVERIFY2(shownFiles.size() >= 2, qPrintable(shownFiles.join(' ')));
    QCOMPARE(finishedShownAmongOthers, 0);
    if (serverOptions.contains("--stall-after")) {
        for (const QString name : {"a.bin", "b.bin"}) {
            QCOMPARE(server->count("file request " + name), 2);
            QVERIFY(log.contains(QStringLiteral("重试下载: %1, 尝试次数: 1").arg(name)));
        }
        QVERIFY(!log.contains(QStringLiteral("尝试次数: 2")));
    } else if (missing.isEmpty()) {
        QVERIFY(!log.contains(QStringLiteral("重试下载")));
    }
    if (!missing.isEmpty()) {
        QCOMPARE(server->count("file request " + missing), 4);
        QCOMPARE(log.count(QStringLiteral("下载最终失败")), 1);
        QCOMPARE(log.count(QStringLiteral("TCP升级失败")), 1);
    }
    if (cancel) {
        // Stopped while the large file (0.9 s) was still on its way.
        QVERIFY(sink.files.value("/b.bin").size() < releaseFiles.value("b.bin").size());
        QCOMPARE(log.count(QStringLiteral("下载被用户取消")), 1);
        QCOMPARE(title(window), QStringLiteral("TCP升级已取消"));
    }
}

// Answers a server cannot be made to give: the version check is answered with
// versionReply; with midRunReply the first file request gets another version
// reply instead of its data.
void TestTcpUpdate::scriptedServer_data()
{
    QTest::addColumn<QByteArray>("versionReply"); // payload
    QTest::addColumn<bool>("midRunReply");
    QTest::addColumn<QString>("failure");
    VersionReplyContent content{true, QStringLiteral("2.0"), 1, {}};
    QTest::newRow("update needed, no files")
        << TcpProtocol::encodeVersionReply(content) << false << "服务器要求更新，但文件列表为空";
    content.files = {{QStringLiteral("sub"), QStringLiteral("a?.dll")}};
    QTest::newRow("name not UTF-8") << TcpProtocol::encodeVersionReply(content).replace('?', '\xff') << false
                                    << "服务端文件列表包含无法解码的文件名:sub/a\\xff.dll";
    content.files = {{QString(), QStringLiteral("a.bin")}};
    QTest::newRow("version reply during the download")
        << TcpProtocol::encodeVersionReply(content) << true << "服务器在下载过程中又发来版本应答，更新已停止";
}

void TestTcpUpdate::scriptedServer()
{
    QFETCH(QByteArray, versionReply);
    QFETCH(bool, midRunReply);
    QFETCH(QString, failure);
    QTcpServer peer;
    QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
    connect(&peer, &QTcpServer::newConnection, &peer, [&] {
        QTcpSocket *socket = peer.nextPendingConnection();
        auto *reader = new TcpProtocol::FrameReader;
        connect(socket, &QObject::destroyed, [reader] { delete reader; });
        connect(socket, &QTcpSocket::readyRead, socket, [&, socket, reader] {
            reader->append(socket->readAll());
            MessageHeader header;
            QByteArray payload;
            while (reader->next(header, payload) == TcpProtocol::FrameReader::Status::Message) {
                if (header.type == TcpProtocol::VersionCheck)
                    socket->write(TcpProtocol::encodeMessage(TcpProtocol::VersionReply, 1, versionReply));
                else if (header.type == TcpProtocol::FileDownload && midRunReply)
                    socket->write(TcpProtocol::encodeMessage(
                        TcpProtocol::VersionReply, 1,
                        TcpProtocol::encodeVersionReply({true, QStringLiteral("3.0"), 1, {}})));
            }
        });
    });
    CTCPUpdate update(QStringLiteral("127.0.0.1"), peer.serverPort());
    MemorySink sink;
    UpdateWidget window;
    const bool available = prepare(update, sink, window);
    if (midRunReply) {
        QVERIFY(available);
        QVERIFY(!update.startUpdate());
        QCOMPARE(title(window), QStringLiteral("TCP升级失败"));
        QCOMPARE(status(window), failure);
    } else {
        QVERIFY(!available);
        QCOMPARE(update.lastError(), failure);
        QVERIFY(update.files().isEmpty());
    }
    QVERIFY(logText().contains(failure));
}

// The channel asks with the version, stages through the writer and keeps
// the disk reserve it is handed, whatever the process's own configuration.
void TestTcpUpdate::settingsFromTheCaller_data()
{
    QTest::addColumn<qint64>("reserve");
    QTest::newRow("staged through the writer") << qint64(0);
    QTest::newRow("writer's disk reserve unmet") << (qint64(1) << 60);
}

void TestTcpUpdate::settingsFromTheCaller()
{
    QFETCH(qint64, reserve);
    QVERIFY(startServer());
    QTemporaryDir install;
    const InstallLayout layout = InstallLayout::build(install.path(), "UpdateTemp/", "Backup/", "");
    TempFileWriter writer(layout, reserve);
    CTCPUpdate update(stagingSettings(layout, writer, QStringLiteral("1.5")));
    QVERIFY(update.checkVersion());
    QCOMPARE(server->count(QStringLiteral("version check from 1.5")), 1);

    const bool staged = reserve == 0;
    QCOMPARE(update.startUpdate(), staged);
    QCOMPARE(server->count(QStringLiteral("file request")) > 0, staged);
    QCOMPARE(readTestFile(layout.staging + "plugins/codec.dll"),
             staged ? releaseFiles.value("plugins/codec.dll") : QByteArray());
}

// The installed file a patch fits is hashed by a worker while the window's
// event loop runs: the hashing here is held until that loop lets it go, so
// a run hashing on the window's thread would never get its plan (and fetch
// the file whole). A cancel while it hashes ends the run as a cancel with
// nothing fetched past the index.
void TestTcpUpdate::hashingOffTheWindowThread_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("plan arrives while the window runs") << false;
    QTest::newRow("cancel while hashing") << true;
}

void TestTcpUpdate::hashingOffTheWindowThread()
{
    QFETCH(bool, cancel);
    const auto sha256 = [](const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); };
    const QByteArray base = pattern(30000, 9);
    const QByteArray target = releaseFiles.value("a.bin");
    const QByteArray patch = Delta::makePatch(base, target, 3);
    const PatchEntry entry{"/a.bin", base.size(), sha256(base), target.size(), sha256(target), patch.size(), sha256(patch),
                           QCryptographicHash::hash(patch, QCryptographicHash::Md5).toHex()};
    QMap<QString, QByteArray> files = releaseFiles;
    files.insert("md5.txt", serializeMd5Map({{"/a.bin", QCryptographicHash::hash(target, QCryptographicHash::Md5).toHex()}}));
    writeRelease(dir->path(), QStringLiteral("2.0"), files);
    const QString patchPath = PatchLayout::patchPath(entry.baseSha256, entry.targetSha256);
    QVERIFY(writeTestFile(dir->filePath(PatchLayout::indexPath("files")), serializePatchIndex({"2.0", "files", {entry}})));
    QVERIFY(writeTestFile(dir->filePath(patchPath), patch));
    QVERIFY(startServer());

    QTemporaryDir install;
    QVERIFY(writeTestFile(install.filePath("a.bin"), base));
    QVERIFY(QDir().mkpath(install.filePath("update")));
    const InstallLayout layout = InstallLayout::build(install.path(), "UpdateTemp/", "Backup/", "");
    TempFileWriter writer(layout, 0);
    TcpUpdateSettings settings = stagingSettings(layout, writer, QStringLiteral("1.0"));
    settings.installation = layout.installation;
    UpdateWidget window;
    BoxAnswerer answerer(QStringLiteral("确认"));
    QSemaphore released;
    int hashed = 0;
    settings.patchHasher = [&](const QString &file, qint64 size, const std::atomic<bool> &stop) -> std::optional<QByteArray> {
        ++hashed;
        QMetaObject::invokeMethod(&window, [&] {
            if (cancel)
                QTest::mouseClick(window.findChild<QPushButton *>("pushButton_cancel"), Qt::LeftButton);
            else
                released.release();
        });
        for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && !stop.load();) {
            if (released.tryAcquire(1, 10))
                return sha256OfFile(file, size, stop);
        }
        return std::nullopt;
    };
    CTCPUpdate update(settings);
    update.setProgressWindow(&window);
    QVERIFY(update.checkVersion());

    QCOMPARE(update.startUpdate(), !cancel);
    QCOMPARE(hashed, 1);
    QCOMPARE(server->count("file request " + patchPath), cancel ? 0 : 1);
    QCOMPARE(server->count("file request a.bin"), 0);
    QCOMPARE(readTestFile(layout.staging + "a.bin"), cancel ? QByteArray() : target);
    if (cancel) {
        QCOMPARE(status(window), QStringLiteral("下载已取消"));
        QCOMPARE(server->count("file request"), 2); // update.ini and the index
        QVERIFY(logText().contains(QStringLiteral("下载被用户取消")));
    } else {
        QVERIFY(logText().contains(QStringLiteral("patch /a.bin: ")));
    }
}

QTEST_MAIN(TestTcpUpdate)
#include "tst_tcpupdate.moc"
