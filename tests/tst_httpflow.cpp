// The HTTP channel in-process: the version and manifest checks and download
// runs against the scripted server (faults) and nginx (a published release),
// cancellation, and the dialog itself.
#include "http/httpupdate.h"
#include "http/md5manifest.h"
#include "http/replyrules.h"
#include "http/widget.h"
#include "support/boxanswerer.h"
#include "support/scriptedhttpserver.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using Fault = ScriptedHttpServer::Fault;
Q_DECLARE_METATYPE(ScriptedHttpServer::Response)

namespace {

QString md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// An installation folder with a dialog pointed at it and at a server. A
// failed file ends the run at once unless retries are asked for.
struct Site
{
    QTemporaryDir dir;
    Widget widget;
    explicit Site(const QString &baseUrl, int timeoutMs = 120000, const TransferLimits &limits = TransferLimits(),
                  int parallel = 1, const RetryPolicy &retry = {0, 0})
    {
        HttpUpdateSettings settings{InstallLayout::build(dir.path(), "UpdateTemp/", "Backup/", ""), baseUrl, timeoutMs,
                                    limits, false, QString(), parallel};
        settings.retry = retry;
        widget.setSettings(settings);
        QVERIFY(writeTestFile(path("update/update.ini"), "[Version]\nVersion=1.0\n"));
    }
    QString path(const QString &relative) const { return dir.path() + '/' + relative; }
    // The updater's own folder, without the downloads kept for the next run.
    QStringList updateDirEntries() const
    {
        QStringList entries = QDir(path("update")).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
        entries.removeAll("partial");
        return entries;
    }
    // The downloads kept for the next run, by MD5 (".part" left out).
    QStringList partialFiles() const
    {
        QStringList files = QDir(path("update/partial")).entryList({"*.part"}, QDir::Files);
        return files.replaceInStrings(".part", "");
    }
    QString label(const char *name) const { return widget.findChild<QLabel *>(name)->text(); }
    QProgressBar *bar(const char *name) const { return widget.findChild<QProgressBar *>(name); }
    QPushButton *cancelButton() const { return widget.findChild<QPushButton *>("pushButton_cancel"); }
};

// Files of release 2.0 as the scripted server offers them: the manifest says
// what the files should hash to; a route may then serve something else.
const QMap<QString, QByteArray> kRelease{{"/a.dll", "new a"}, {"/sub/b.dll", QByteArray(300000, 'b')}, {"/z.txt", "zz"}};

void scriptRelease(ScriptedHttpServer &server)
{
    Md5Map manifest;
    for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it) {
        manifest.insert(it.key(), md5(it.value()));
        server.setFile("/v2" + it.key(), it.value());
    }
    server.setFile("/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n");
    server.setFile("/v2/md5.txt", serializeMd5Map(manifest));
}

// Tight time limits: small requests end after 300 ms, files below 1000
// bytes per second over 300 ms; the trickling server sends 20 per second.
TransferLimits tightLimits()
{
    TransferLimits limits;
    // Far beyond what a local transfer needs on a busy machine, and still
    // short of what a trickle (20 bytes a second) takes.
    limits.requestDeadlineMs = 1000;
    limits.minBytesPerSecond = 100;
    limits.rateWindowMs = 2000;
    return limits;
}

const QByteArray kGzip = "Content-Encoding: gzip\r\n";

// A release of many files for runs with several in flight: /f00.bin to
// /f23.bin, 40 000 bytes each, all different; the first slow ones have 40
// bytes only, trickled (2 s each).
Md5Map scriptManyFiles(ScriptedHttpServer &server, int slow = 0)
{
    Md5Map manifest;
    for (int i = 0; i < 24; ++i) {
        const QString name = QString::asprintf("/f%02d.bin", i);
        const QByteArray body = QByteArray(i < slow ? 40 : 40000, char('a' + i));
        manifest.insert(name, md5(body));
        server.setRoute("/v2" + name, {200, body, i < slow ? Fault::Trickle : Fault::None});
    }
    server.setFile("/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n");
    server.setFile("/v2/md5.txt", serializeMd5Map(manifest));
    return manifest;
}

// Files staged so far whose content is not what the manifest promises.
QStringList unverified(const Site &site, const Md5Map &manifest)
{
    QStringList wrong;
    const auto staged = hashTree(site.path("UpdateTemp"));
    for (auto it = staged.cbegin(); it != staged.cend(); ++it) {
        if (manifest.value(it.key()) != it.value())
            wrong.append(it.key());
    }
    return wrong;
}

// Qt's warning that a reply reported two errors: one aborted between its
// error answer and that answer's end.
int doubleErrors = 0;
QtMessageHandler passOn = nullptr;
void countDoubleErrors(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains("must only be called once"))
        ++doubleErrors;
    passOn(type, context, text);
}

} // namespace

class TestHttpFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { passOn = qInstallMessageHandler(countDoubleErrors); }
    void cleanup() { QCOMPARE(std::exchange(doubleErrors, 0), 0); }

    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("localIni");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("serverIni");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        const QByteArray v1 = "[Version]\nVersion=1.0\n";
        const QByteArray v2 = "[Version]\nVersion=2.0\nFolder=v2\n";
        QTest::newRow("same version") << QByteArray("[Version]\nVersion=2.0\n") << 200 << v2 << 0 << "准备开始更新"
                                      << "update文件版本相同，不需要更新";
        QTest::newRow("lower server version") << QByteArray("[Version]\nVersion=3.0\n") << 200 << v2 << 1
                                              << "准备开始更新" << "update文件版本不同，需要更新";
        QTest::newRow("no local file") << QByteArray() << 200 << v2 << 1 << "准备开始更新"
                                       << "本地update文件不存在，准备更新";
        QTest::newRow("no folder") << v1 << 200 << QByteArray("[Version]\nVersion=2.0\n") << 3 << "更新失败"
                                   << "服务端版本解析失败";
        QTest::newRow("404") << v1 << 404 << QByteArray() << 2 << "停止更新"
                             << "下载%1update.ini失败：";
        QTest::newRow("500") << v1 << 500 << v2 << 2 << "停止更新"
                             << "下载%1update.ini失败：服务器应答HTTP 500";
        QTest::newRow("trickled past the deadline") << v1 << -200 << v2 << 2 << "停止更新"
                                                    << "下载%1update.ini失败：请求超时（1秒内未完成）";
        QTest::newRow("too large") << v1 << 200 << v2 + QByteArray(64 << 10, ';') << 2 << "停止更新"
                                   << "下载%1update.ini失败：内容超过上限（65536字节）";
    }
    void versionCheck()
    {
        QFETCH(QByteArray, localIni);
        QFETCH(int, status);
        QFETCH(QByteArray, serverIni);
        QFETCH(int, code);
        QFETCH(QString, title);
        QFETCH(QString, detail);
        ScriptedHttpServer server;
        server.setRoute("/update.ini", {qAbs(status), serverIni, status < 0 ? Fault::Trickle : Fault::None, 0});
        Site site(server.baseUrl(), 120000, tightLimits());
        if (localIni.isNull())
            QFile::remove(site.path("update/update.ini"));
        else
            QVERIFY(writeTestFile(site.path("update/update.ini"), localIni));

        QCOMPARE(site.widget.checkServerVersion(), code);
        QCOMPARE(site.label("label_update"), title);
        QVERIFY2(site.label("label_updatefile").startsWith(detail.replace("%1", server.baseUrl())),
                 qPrintable(site.label("label_updatefile")));
        // The server copy stays only while it is still needed.
        QCOMPARE(QFile::exists(site.path("update/updateTmp.ini")), code == 1);
    }

    void manifestCheck_data()
    {
        QTest::addColumn<QByteArray>("localManifest");
        QTest::addColumn<ScriptedHttpServer::Response>("serverManifest");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QStringList>("changed");
        QTest::addColumn<QByteArray>("recorded"); // more [Version] lines of update.ini
        const QByteArray server = "11\t/a.dll\r\n22\t/sub/b.dll\r\n";
        const ScriptedHttpServer::Response ok{200, server};
        const QByteArray other = "99\t/a.dll\r\n22\t/sub/b.dll\r\n";
        QTest::newRow("all equal") << server << ok << 0 << "MD5比对" << QStringList() << QByteArray();
        QTest::newRow("one differs") << QByteArray("11\t/a.dll\r\n99\t/sub/b.dll\r\n") << ok << 1 << "MD5比对"
                                     << QStringList{"/sub/b.dll"} << QByteArray();
        QTest::newRow("generated locally")
            << QByteArray() << ok << 1 << "MD5比对" << QStringList{"/a.dll", "/sub/b.dll"} << QByteArray();
        QTest::newRow("not served") << server << ScriptedHttpServer::Response{404, ""} << 2 << "下载md5.txt失败："
                                    << QStringList() << QByteArray();
        for (const char *bad : {"/sub/../../evil.dll", "/C:/evil.dll"})
            QTest::newRow(bad) << server << ScriptedHttpServer::Response{200, server + "33\t" + bad + "\r\n"} << 3
                               << QString("服务端清单包含不安全的路径:") + bad << QStringList() << QByteArray();
        // Answers that are no whole manifest fail the check, never "no update".
        const QString failed = "下载md5.txt失败：";
        const QString unfollowed = "下载错误：服务器应答HTTP 302，重定向未被跟随";
        const QString unframed = "服务器的应答既无Content-Length也未分块传输";
        QTest::newRow("empty") << server << ScriptedHttpServer::Response{200, ""} << 2 << failed + "服务端清单为空"
                               << QStringList() << QByteArray();
        QTest::newRow("cut off, no length")
            << server << ScriptedHttpServer::Response{200, other.left(other.size() - 3), Fault::None, 0, {}, true} << 2
            << failed + unframed << QStringList() << QByteArray();
        QTest::newRow("302 without a target") << server << ScriptedHttpServer::Response{302, ""} << 2
                                              << failed + unfollowed << QStringList() << QByteArray();
        QTest::newRow("302 to the same scheme")
            << server << ScriptedHttpServer::Response{302, "", Fault::None, 0, "Location: /v2/moved.txt\r\n"} << 1
            << "MD5比对" << QStringList{"/a.dll"} << QByteArray();
        QTest::newRow("302 to another scheme")
            << server << ScriptedHttpServer::Response{302, "", Fault::None, 0, "Location: ftp://127.0.0.1/md5.txt\r\n"}
            << 2 << failed + unfollowed << QStringList() << QByteArray();
        QTest::newRow("302 in a loop") << server
                                       << ScriptedHttpServer::Response{302, "", Fault::None, 0,
                                                                       "Location: /v2/md5.txt\r\n"}
                                       << 2 << failed + unfollowed << QStringList() << QByteArray();
        QTest::newRow("gzip encoded") << server << ScriptedHttpServer::Response{200, other, Fault::None, 0, kGzip} << 2
                                      << failed + "服务器返回了压缩编码（gzip）的内容" << QStringList() << QByteArray();
        QTest::newRow("too large") << server << ScriptedHttpServer::Response{200, QByteArray((16 << 20) + 1, '\n')} << 2
                                   << failed + "内容超过上限（16777216字节）" << QStringList() << QByteArray();
        QTest::newRow("too large, cut off")
            << server << ScriptedHttpServer::Response{200, QByteArray((16 << 20) + 1, '\n'), Fault::None, 0, {}, true}
            << 2 << failed + "内容超过上限（16777216字节）" << QStringList() << QByteArray();
        // A body that ends with the connection may have been cut at a line
        // end; the size and digest update.ini records tell.
        QTest::newRow("whole lines, no length")
            << server << ScriptedHttpServer::Response{200, other, Fault::None, 0, {}, true} << 2 << failed + unframed
            << QStringList() << QByteArray();
        const QByteArray record =
            "ManifestSize=" + QByteArray::number(other.size()) + "\nManifestMd5=" + md5(other).toLatin1() + "\n";
        QTest::newRow("recorded and whole")
            << server << ScriptedHttpServer::Response{200, other} << 1 << "MD5比对" << QStringList{"/a.dll"} << record;
        QTest::newRow("recorded, cut at a line end")
            << server << ScriptedHttpServer::Response{200, other.left(other.indexOf('\n') + 1)} << 2
            << failed + "清单大小与 update.ini 不符" << QStringList() << record;
        // Qt may end a reply whose connection closed early without an error.
        QTest::newRow("cut at a line end, length named")
            << server << ScriptedHttpServer::Response{200, other, Fault::Drop, int(other.indexOf('\n') + 1)} << 2
            << failed << QStringList() << QByteArray();
        QTest::newRow("listed twice") << server << ScriptedHttpServer::Response{200, other + "99\t/a.dll\r\n"} << 2
                                      << failed + "服务端清单重复列出同一文件:/a.dll" << QStringList() << QByteArray();
    }

    void manifestCheck()
    {
        QFETCH(QByteArray, localManifest);
        QFETCH(ScriptedHttpServer::Response, serverManifest);
        QFETCH(int, code);
        QFETCH(QString, detail);
        QFETCH(QStringList, changed);
        QFETCH(QByteArray, recorded);
        ScriptedHttpServer server;
        server.setFile("/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n" + recorded);
        server.setRoute("/v2/md5.txt", serverManifest);
        server.setFile("/v2/moved.txt", "99\t/a.dll\r\n22\t/sub/b.dll\r\n");
        Site site(server.baseUrl());
        if (!localManifest.isNull())
            QVERIFY(writeTestFile(site.path("md5.txt"), localManifest));
        QVERIFY(writeTestFile(site.path("update/leftover/x"), "x"));
        QVERIFY(writeTestFile(site.path("update/release.statement"), "installed release's record"));
        QCOMPARE(site.widget.checkServerVersion(), 1);

        QCOMPARE(site.widget.checkManifest(), code);
        QVERIFY2(site.label("label_updatefile").startsWith(detail), qPrintable(site.label("label_updatefile")));
        QCOMPARE(site.widget.changedFileMap().keys(), changed);
        QVERIFY(QFile::exists(site.path("md5.txt")));
        QCOMPARE(server.requests().mid(0, 2), (QStringList{"/update.ini", "/v2/md5.txt"}));
        // Three redirects at most (and Qt may send one request again on a
        // connection the server closed).
        QVERIFY2(server.requests().size() <= 2 + 3 + 1, qPrintable(server.requests().join(" ")));
        // Refused whole: the server copies and update/'s leftovers are gone,
        // the installed release's record of its statement is kept.
        if (code >= 2)
            QCOMPARE(site.updateDirEntries(), (QStringList{"release.statement", "update.ini"}));
    }

    // A run over the three files of release 2.0, the second one scripted;
    // whatever fails, the run ends once with the file named, and nothing
    // unverified or partial stays in the staging folder.
    void downloadRun_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<QString>("detail");
        const QByteArray good = kRelease.value("/sub/b.dll");
        // Named below the installation: an absolute path elided in its middle hides the file.
        const QString staged = "UpdateTemp/sub/b.dll";
        QTest::newRow("ok") << 200 << good << int(Fault::None) << QByteArray() << QString();
        QTest::newRow("stall") << 200 << good << int(Fault::Stall) << QByteArray()
                               << "下载文件 \"b.dll\" 时出错: 下载超时（1秒）";
        // Depending on timing Qt reports the broken-off transfer or ends it
        // quietly; then the digest check catches it.
        QTest::newRow("drop") << 200 << good << int(Fault::Drop) << QByteArray() << "b.dll";
        QTest::newRow("404") << 404 << QByteArray("gone") << int(Fault::None) << QByteArray()
                             << "下载文件 \"b.dll\" 时出错: ";
        QTest::newRow("digest mismatch") << 200 << QByteArray(good).replace(1000, 1, "X") << int(Fault::None)
                                         << QByteArray() << "文件校验失败:" + staged;
        QTest::newRow("truncated but ends cleanly")
            << 200 << good.left(5000) << int(Fault::None) << QByteArray() << "文件校验失败:" + staged;
        QTest::newRow("trickle") << 200 << good << int(Fault::Trickle) << QByteArray()
                                 << "下载文件 \"b.dll\" 时出错: 传输过慢（2秒内平均低于100字节/秒）";
        QTest::newRow("gzip encoded") << 200 << good << int(Fault::None) << kGzip
                                      << "下载文件 \"b.dll\" 时出错: 服务器返回了压缩编码（gzip）的内容";
        QTest::newRow("302 without a target")
            << 302 << QByteArray() << int(Fault::None) << QByteArray()
            << "下载文件 \"b.dll\" 时出错: 服务器应答HTTP 302，重定向未被跟随";
    }
    void downloadRun()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, fault);
        QFETCH(QByteArray, headers);
        QFETCH(QString, detail);
        ScriptedHttpServer server;
        scriptRelease(server);
        server.setRoute("/v2/sub/b.dll", {status, body, Fault(fault), 100000, headers});
        // Only the stall is meant to run into the silence limit: a short one
        // elsewhere would turn a busy machine into a time-out.
        Site site(server.baseUrl(), Fault(fault) == Fault::Stall ? 1000 : 120000,
                  Fault(fault) == Fault::Trickle ? tightLimits() : TransferLimits());
        CHttpUpdate channel(nullptr);
        channel.setDialog(&site.widget);
        QSignalSpy results(&channel, &CHttpUpdate::sigUpdateResult);
        QVERIFY(channel.checkUpdate());
        QVERIFY(channel.startUpdate());

        QVERIFY(results.wait(10000));
        QCOMPARE(results.count(), 1);
        const bool ok = detail.isEmpty();
        QCOMPARE(results.at(0).at(0).toBool(), ok);
        // Full when staged; empty after a failure, which must not read as success.
        QCOMPARE(site.bar("progressBar_update")->value(), ok ? site.bar("progressBar_update")->maximum() : 0);
        QMap<QString, QString> expected;
        for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it) {
            if (ok)
                expected.insert(it.key(), md5(it.value()));
        }
        // What arrived whole and verified waits for the next run; the failed
        // file's bytes do not (no validator, or wrong).
        QCOMPARE(site.partialFiles(), ok ? QStringList() : QStringList{md5(kRelease.value("/a.dll"))});
        if (ok) {
            // Downloaded, not installed: the installer reports the end.
            QCOMPARE(site.label("label_update"), QString("下载完成，正在安装更新…"));
        } else {
            QCOMPARE(site.label("label_update"), QString("更新失败"));
            QVERIFY2(site.label("label_updatefile").contains(detail) && !site.label("label_updatefile").contains(site.path("")),
                     qPrintable(site.label("label_updatefile")));
            QCOMPARE(site.updateDirEntries(), QStringList{"update.ini"});
        }
        QCOMPARE(hashTree(site.path("UpdateTemp")), expected);
        QVERIFY(!site.cancelButton()->isEnabled());
    }

    // A file whose transfer failed on the way is fetched again in the same
    // run, from where it stopped when its answer named a validator; what
    // the server will answer again (404, a wrong file) is not.
    void retries_data()
    {
        QTest::addColumn<ScriptedHttpServer::Response>("b"); // /sub/b.dll
        QTest::addColumn<QList<QByteArray>>("ranges");       // of each request for it
        QTest::addColumn<qint64>("sent");                    // its body bytes sent
        QTest::addColumn<QString>("detail");                 // the run's failure; "": staged
        const QByteArray b = kRelease.value("/sub/b.dll");
        const QByteArray etag = "ETag: \"e1\"\r\n";
        // Stalled rather than dropped: Qt itself sends a request again once
        // when its connection closes mid-body, which would blur the count.
        QTest::newRow("stalled once, the rest")
            << ScriptedHttpServer::Response{200, b, Fault::Stall, 150000, etag, false, true}
            << QList<QByteArray>{"", "bytes=150000-"} << qint64(300000) << QString();
        QTest::newRow("stalled without a validator, afresh")
            << ScriptedHttpServer::Response{200, b, Fault::Stall, 150000} << QList<QByteArray>{"", "", ""}
            << qint64(450000) << "下载超时";
        QTest::newRow("server busy") << ScriptedHttpServer::Response{503, "busy"} << QList<QByteArray>{"", "", ""}
                                     << qint64(12) << "HTTP 503";
        QTest::newRow("404 not retried") << ScriptedHttpServer::Response{404, "gone"} << QList<QByteArray>{""}
                                         << qint64(4) << "HTTP 404";
        QTest::newRow("wrong file not retried") << ScriptedHttpServer::Response{200, QByteArray(300000, 'X')}
                                                << QList<QByteArray>{""} << qint64(300000) << "文件校验失败";
    }
    void retries()
    {
        QFETCH(ScriptedHttpServer::Response, b);
        QFETCH(QList<QByteArray>, ranges);
        QFETCH(qint64, sent);
        QFETCH(QString, detail);
        ScriptedHttpServer server;
        scriptRelease(server);
        server.setRoute("/v2/sub/b.dll", b);
        // Only a stall is meant to run into the silence limit.
        Site site(server.baseUrl(), b.fault == Fault::Stall ? 1000 : 120000, TransferLimits(), 1, {2, 0});
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();
        QVERIFY(results.count() == 1 || results.wait(20000));
        QCOMPARE(results.at(0).at(0).toBool(), detail.isEmpty());
        QList<QByteArray> asked;
        for (int i = 0; i < server.requests().size(); ++i) {
            if (server.requests().at(i) == "/v2//sub/b.dll")
                asked.append(server.rangesAsked().at(i));
        }
        QCOMPARE(asked, ranges);
        QCOMPARE(server.bodyBytesSent("/v2/sub/b.dll"), sent);
        if (detail.isEmpty())
            QCOMPARE(readTestFile(site.path("UpdateTemp/sub/b.dll")), kRelease.value("/sub/b.dll"));
        else
            QVERIFY2(site.label("label_updatefile").contains(detail), qPrintable(site.label("label_updatefile")));
    }

    // The version description, the manifest and the patch index take the
    // release files' retry rule: what may pass is tried again, what the
    // server will answer again is not; a release without a patch index is
    // fetched whole, without a failure.
    void preparationRetries_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<ScriptedHttpServer::Response>("first"); // status 0: as routed
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("asked"); // requests for path
        QTest::addColumn<bool>("ok");
        QTest::newRow("update.ini answers 503 once, then the release")
            << "/update.ini" << ScriptedHttpServer::Response{503, "busy"} << 3 << 2 << true;
        QTest::newRow("update.ini 404 not retried")
            << "/update.ini" << ScriptedHttpServer::Response{404, "gone"} << 3 << 1 << false;
        QTest::newRow("md5.txt reset once")
            << "/v2/md5.txt" << ScriptedHttpServer::Response{200, QByteArray(600, '\n'), Fault::Drop, 300} << 3 << 2
            << true;
        QTest::newRow("md5.txt reset once, no retries")
            << "/v2/md5.txt" << ScriptedHttpServer::Response{200, QByteArray(600, '\n'), Fault::Drop, 300} << 0 << 1
            << false;
        QTest::newRow("patch index 404") << "/_patches/v2.index" << ScriptedHttpServer::Response{0} << 3 << 1 << true;
    }
    void preparationRetries()
    {
        QFETCH(QString, path);
        QFETCH(ScriptedHttpServer::Response, first);
        QFETCH(int, retries);
        QFETCH(int, asked);
        QFETCH(bool, ok);
        ScriptedHttpServer server;
        scriptRelease(server);
        if (first.status != 0)
            server.answerOnce(path, first);
        Site site(server.baseUrl(), 120000, TransferLimits(), 1, {retries, 0});
        CHttpUpdate channel(nullptr);
        channel.setDialog(&site.widget);
        QSignalSpy results(&channel, &CHttpUpdate::sigUpdateResult);
        const auto askedFor = [&] {
            QStringList seen = server.requests();
            return seen.replaceInStrings("//", "/").count(path);
        };
        QCOMPARE(channel.checkUpdate(), ok);
        if (!ok) {
            QCOMPARE(askedFor(), asked);
            return;
        }
        QVERIFY(channel.startUpdate());
        QVERIFY(results.count() == 1 || results.wait(10000));
        QCOMPARE(results.at(0).at(0).toBool(), true);
        QCOMPARE(askedFor(), asked);
        Md5Map release;
        for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it)
            release.insert(it.key(), md5(it.value()));
        QCOMPARE(hashTree(site.path("UpdateTemp")), release);
    }

    // Cancel while a failed file waits for its next attempt ends the run at
    // once: the pause is far longer than any wait here.
    void cancelDuringRetryPause()
    {
        ScriptedHttpServer server;
        scriptRelease(server);
        server.setRoute("/v2/sub/b.dll", {503, "busy"});
        Site site(server.baseUrl(), 120000, TransferLimits(), 1, {3, 3600000});
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();
        QTRY_COMPARE(site.label("label_updatefile"), QString("下载失败，等待重试: b.dll"));
        BoxAnswerer answerer("确认");
        site.cancelButton()->click();
        QCOMPARE(results.count(), 1);
        QCOMPARE(results.at(0).at(0).toBool(), false);
        QCOMPARE(site.label("label_update"), QString("更新已取消"));
        QCOMPARE(server.requests().count("/v2//sub/b.dll"), 1);
    }

    // Runs of 24 files with several in flight, one of them scripted (by
    // default the fourth, which is in flight with five others). A failure
    // ends the run once with that file's reason, drops the others and leaves
    // no partial file; the limits hold per transfer while others run.
    void parallelRun_data()
    {
        QTest::addColumn<int>("parallel");
        QTest::addColumn<int>("slowFiles"); // as scriptManyFiles() takes them
        QTest::addColumn<ScriptedHttpServer::Response>("f03"); // status 0: as published
        QTest::addColumn<bool>("tight"); // tightLimits(), else no least rate
        QTest::addColumn<QString>("detail");
        const ScriptedHttpServer::Response published{0};
        const QByteArray good(40000, 'd');
        QTest::newRow("all staged") << 6 << 0 << published << false << QString();
        QTest::newRow("digest mismatch") << 6 << 0 << ScriptedHttpServer::Response{200, QByteArray(40000, 'X')}
                                         << false << "文件校验失败:UpdateTemp/f03.bin";
        // Three slow files are still in flight when it fails.
        QTest::newRow("missing") << 6 << 3 << ScriptedHttpServer::Response{404, "gone"} << false
                                 << "下载文件 \"f03.bin\" 时出错: ";
        QTest::newRow("stalls") << 6 << 0 << ScriptedHttpServer::Response{200, good, Fault::Stall, 1000}
                                << false << "下载文件 \"f03.bin\" 时出错: 下载超时（1秒）";
        QTest::newRow("trickles") << 6 << 0 << ScriptedHttpServer::Response{200, good, Fault::Trickle} << true
                                  << "下载文件 \"f03.bin\" 时出错: 传输过慢（2秒内平均低于100字节/秒）";
        // Six slow files keep every connection busy for longer than the
        // silence limit: a seventh request must not wait inside Qt, where
        // its silence limit would already run.
        QTest::newRow("more wanted than connections") << 16 << 6 << published << false << QString();
        QTest::newRow("one at a time") << 1 << 0 << published << false << QString();
    }
    void parallelRun()
    {
        QFETCH(int, parallel);
        QFETCH(int, slowFiles);
        QFETCH(ScriptedHttpServer::Response, f03);
        QFETCH(bool, tight);
        QFETCH(QString, detail);
        ScriptedHttpServer server;
        const Md5Map manifest = scriptManyFiles(server, slowFiles);
        if (f03.status != 0)
            server.setRoute("/v2/f03.bin", f03);
        TransferLimits limits = tightLimits();
        if (!tight)
            limits.minBytesPerSecond = 0;
        // A stall, and requests beyond the connections Qt opens, are what the
        // silence limit is for here; elsewhere it stays out of the way.
        Site site(server.baseUrl(), f03.fault == Fault::Stall || parallel > 6 ? 1000 : 120000, limits, parallel);
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();

        QVERIFY(results.wait(15000));
        QTest::qWait(300); // dropped transfers have nothing more to say
        QCOMPARE(results.count(), 1);
        const bool ok = detail.isEmpty();
        QCOMPARE(results.at(0).at(0).toBool(), ok);
        const auto staged = hashTree(site.path("UpdateTemp"));
        QCOMPARE(unverified(site, manifest), QStringList());
        QCOMPARE(site.bar("progressBar_update")->value(), ok ? site.bar("progressBar_update")->maximum() : 0);
        if (ok) {
            QCOMPARE(staged.size(), 24);
            QCOMPARE(site.label("label_update"), QString("下载完成，正在安装更新…"));
        } else {
            QVERIFY(!staged.contains("/f03.bin"));
            QCOMPARE(site.label("label_update"), QString("更新失败"));
            QVERIFY2(site.label("label_updatefile").startsWith(detail),
                     qPrintable(site.label("label_updatefile")));
            QCOMPARE(site.updateDirEntries(), QStringList{"update.ini"});
        }
    }

    // The window shows the routine steps of a run (a file started, its
    // bytes, a file done) at most once an interval, and the end exactly.
    void refreshPacing_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("fewest"); // changes of the overall bar
        QTest::addColumn<int>("most");
        QTest::newRow("every step") << 0 << 24 << 1000;
        QTest::newRow("none due after the first") << 3600000 << 1 << 1;
    }
    void refreshPacing()
    {
        QFETCH(int, interval);
        QFETCH(int, fewest);
        QFETCH(int, most);
        ScriptedHttpServer server;
        scriptManyFiles(server);
        Site site(server.baseUrl(), 120000, TransferLimits(), 6);
        HttpUpdateSettings settings{InstallLayout::build(site.dir.path(), "UpdateTemp/", "Backup/", ""),
                                    server.baseUrl(), 120000, TransferLimits(), false, QString(), 6};
        settings.retry = {0, 0};
        settings.refreshIntervalMs = interval;
        site.widget.setSettings(settings);
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        QSignalSpy changes(site.bar("progressBar_update"), &QProgressBar::valueChanged);
        site.widget.startUpdate();
        QVERIFY(results.count() == 1 || results.wait(10000));
        QCOMPARE(results.at(0).at(0).toBool(), true);
        QVERIFY2(changes.count() >= fewest && changes.count() <= most, qPrintable(QString::number(changes.count())));
        QCOMPARE(site.bar("progressBar_update")->value(), site.bar("progressBar_update")->maximum());
        QCOMPARE(site.label("label_update"), QString("下载完成，正在安装更新…"));
    }

    // Cancel with six files in flight: the run ends once, nothing partial
    // stays. The file line follows the file with most bytes left, whose
    // size its header announced; the others' progress does not move its bar.
    // A run that ends mid-file (connection cut, cancelled) keeps what it
    // fetched; the next run takes the files that arrived whole as they are
    // and asks only for the rest of the cut one, with If-Range. A server
    // without ranges, a changed validator, a changed file or kept bytes that
    // are wrong start that file afresh; the staged file is right in every case.
    void resume_data()
    {
        QTest::addColumn<bool>("cancel");        // the first run is cancelled in a stall, not cut
        QTest::addColumn<bool>("ranges");        // the second server honours Range
        QTest::addColumn<QByteArray>("etag2");   // the second server's ETag
        QTest::addColumn<QByteArray>("body2");   // b.dll on the second server
        QTest::addColumn<bool>("tear");          // the kept bytes are damaged between the runs
        QTest::addColumn<QByteArray>("range");   // what the second run asks for b.dll first
        QTest::addColumn<qint64>("refetched");   // b.dll bytes sent in the second run
        const QByteArray b = kRelease.value("/sub/b.dll");
        const QByteArray changed(300000, 'c');
        QTest::newRow("cut, the rest") << false << true << QByteArray("\"e1\"") << b << false
                                       << QByteArray("bytes=100000-") << qint64(200000);
        QTest::newRow("cancelled, the rest") << true << true << QByteArray("\"e1\"") << b << false
                                             << QByteArray("bytes=100000-") << qint64(200000);
        QTest::newRow("server without ranges") << false << false << QByteArray("\"e1\"") << b << false
                                               << QByteArray("bytes=100000-") << qint64(300000);
        QTest::newRow("validator changed") << false << true << QByteArray("\"e2\"") << b << false
                                           << QByteArray("bytes=100000-") << qint64(300000);
        QTest::newRow("file changed") << false << true << QByteArray("\"e2\"") << changed << false << QByteArray()
                                      << qint64(300000);
        QTest::newRow("kept bytes torn") << false << true << QByteArray("\"e1\"") << b << true
                                         << QByteArray("bytes=100000-") << qint64(200000 + 300000);
    }
    void resume()
    {
        QFETCH(bool, cancel);
        QFETCH(bool, ranges);
        QFETCH(QByteArray, etag2);
        QFETCH(QByteArray, body2);
        QFETCH(bool, tear);
        QFETCH(QByteArray, range);
        QFETCH(qint64, refetched);
        const QByteArray b = kRelease.value("/sub/b.dll");
        ScriptedHttpServer first;
        scriptRelease(first);
        first.setRoute("/v2/sub/b.dll", {200, b, cancel ? Fault::Stall : Fault::Drop, 100000, "ETag: \"e1\"\r\n"});
        Site site(first.baseUrl());
        {
            QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
            QCOMPARE(site.widget.checkServerVersion(), 1);
            QCOMPARE(site.widget.checkManifest(), 1);
            site.widget.startUpdate();
            if (cancel) {
                QTRY_COMPARE(site.bar("progressBar_updatefile")->value(), 333);
                BoxAnswerer answerer("确认");
                site.cancelButton()->click();
            }
            QVERIFY(results.count() == 1 || results.wait(10000));
            QCOMPARE(results.at(0).at(0).toBool(), false);
        }
        QCOMPARE(QFileInfo(site.path("update/partial/" + md5(b) + ".part")).size(), qint64(100000));
        if (tear) {
            QFile kept(site.path("update/partial/" + md5(b) + ".part"));
            QVERIFY(kept.open(QIODevice::ReadWrite));
            kept.write("torn");
        }

        ScriptedHttpServer second;
        scriptRelease(second);
        Md5Map manifest;
        for (auto it = kRelease.cbegin(); it != kRelease.cend(); ++it)
            manifest.insert(it.key(), md5(it.key() == "/sub/b.dll" ? body2 : it.value()));
        second.setFile("/v2/md5.txt", serializeMd5Map(manifest));
        second.setRoute("/v2/sub/b.dll", {200, body2, Fault::None, 0, "ETag: " + etag2 + "\r\n", false, ranges});
        Widget widget;
        widget.setSettings({InstallLayout::build(site.dir.path(), "UpdateTemp/", "Backup/", ""), second.baseUrl(),
                            120000, TransferLimits(), false, QString(), 1});
        QSignalSpy results(&widget, &Widget::sigUpdateResult);
        QCOMPARE(widget.checkServerVersion(), 1);
        QCOMPARE(widget.checkManifest(), 1);
        widget.startUpdate();
        QVERIFY(results.count() == 1 || results.wait(10000));
        QCOMPARE(results.at(0).at(0).toBool(), true);

        QVERIFY(!second.requests().contains("/v2//a.dll")); // arrived whole before
        const int asked = second.requests().indexOf("/v2//sub/b.dll");
        QVERIFY(asked >= 0);
        QCOMPARE(second.rangesAsked().at(asked), range);
        QCOMPARE(second.bodyBytesSent("/v2/sub/b.dll"), refetched);
        QCOMPARE(readTestFile(site.path("UpdateTemp/sub/b.dll")), body2);
        QCOMPARE(hashTree(site.path("UpdateTemp")), manifest);
        QVERIFY(!QFileInfo::exists(site.path("update/partial")));
    }

#ifndef Q_OS_WIN
    // (QFile::link makes a shortcut on Windows, which is no folder link.)
    // A partial-download folder that is a link out of the installation is
    // never written through: the run stages its files directly (and a failed
    // run keeps nothing there).
    void partialFolderLinkedOut()
    {
        ScriptedHttpServer server;
        scriptRelease(server);
        server.setRoute("/v2/sub/b.dll", {404, "gone"});
        Site site(server.baseUrl());
        QTemporaryDir outside;
        QVERIFY(QFile::link(outside.path(), site.path("update/partial")));
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();
        QVERIFY(results.count() == 1 || results.wait(10000));
        QCOMPARE(results.at(0).at(0).toBool(), false);
        QVERIFY(QFile::exists(site.path("UpdateTemp/a.dll")));
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }
#endif

    // Only the rest of the file from the byte asked, to its end, continues it.
    void resumeAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentRange");
        QTest::addColumn<int>("answer");
        QTest::addColumn<qint64>("total");
        const int rest = int(ResumeAnswer::Rest), whole = int(ResumeAnswer::Whole), no = int(ResumeAnswer::Unusable);
        QTest::newRow("the rest") << 206 << QByteArray("bytes 100-299/300") << rest << qint64(300);
        QTest::newRow("whole instead") << 200 << QByteArray() << whole << qint64(-1);
        QTest::newRow("other start") << 206 << QByteArray("bytes 0-299/300") << no << qint64(-1);
        QTest::newRow("not to the end") << 206 << QByteArray("bytes 100-199/300") << no << qint64(-1);
        QTest::newRow("unknown size") << 206 << QByteArray("bytes 100-299/*") << no << qint64(-1);
        QTest::newRow("no range named") << 206 << QByteArray() << no << qint64(-1);
        QTest::newRow("several ranges") << 206 << QByteArray("bytes 100-199,200-299/300") << no << qint64(-1);
        QTest::newRow("not satisfiable") << 416 << QByteArray("bytes */300") << no << qint64(-1);
    }
    void resumeAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentRange);
        QFETCH(int, answer);
        QFETCH(qint64, total);
        qint64 named = -1;
        QCOMPARE(int(resumeAnswer(status, contentRange, 100, &named)), answer);
        QCOMPARE(named, total);
    }

    void cancelAmongMany()
    {
        ScriptedHttpServer server;
        scriptManyFiles(server, 5);
        server.setRoute("/v2/f05.bin", {200, QByteArray(40000, 'f'), Fault::Stall, 0});
        Site site(server.baseUrl(), 120000, TransferLimits(), 6);
        site.widget.show();
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();
        // update.ini, md5.txt, the patch index (none here), six files.
        QTRY_COMPARE(server.requests().size(), 3 + 6);
        QTest::qWait(600); // the five others report progress at most every 100 ms
        QCOMPARE(site.label("label_update"), QString("正在更新 0/24"));
        QCOMPARE(site.label("label_updatefile"), QString("f05.bin"));
        QCOMPARE(site.bar("progressBar_updatefile")->value(), 0);

        BoxAnswerer answerer("确认");
        site.cancelButton()->click();
        QCOMPARE(results.count(), 1);
        QCOMPARE(results.at(0).at(0).toBool(), false);
        QCOMPARE(site.label("label_update"), QString("更新已取消"));
        QCOMPARE(hashTree(site.path("UpdateTemp")), (QMap<QString, QString>()));
        QCOMPARE(site.updateDirEntries(), QStringList{"update.ini"});
        QTest::qWait(300);
        QCOMPARE(results.count(), 1);
        QCOMPARE(server.requests().size(), 3 + 6);
    }

    // A signed statement lists more per file than md5.txt does: one beyond
    // the manifest's bound is still staged for the check.
    void largeStatementIsStaged()
    {
        ScriptedHttpServer server;
        scriptRelease(server);
        const QByteArray statement((16 << 20) + 4096, 's');
        server.setFile("/v2/release.statement", statement);
        server.setFile("/v2/release.statement.sig", "sig\n");
        Site site(server.baseUrl());
        site.widget.setSettings({InstallLayout::build(site.dir.path(), "UpdateTemp/", "Backup/", ""), server.baseUrl(),
                                 120000, TransferLimits(), true, QString(), 1});
        CHttpUpdate channel(nullptr);
        channel.setDialog(&site.widget);
        QSignalSpy results(&channel, &CHttpUpdate::sigUpdateResult);
        QVERIFY(channel.checkUpdate());
        QVERIFY(channel.startUpdate());
        QVERIFY(results.wait(30000));
        QCOMPARE(results.at(0).at(0).toBool(), true);
        QCOMPARE(readTestFile(site.path("UpdateTemp/release.statement")), statement);
    }

    void emptyChangeSetSucceedsAtOnce()
    {
        Site site(QStringLiteral("http://127.0.0.1:9/"));
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        site.widget.startUpdate();
        QCOMPARE(results.count(), 1);
        QCOMPARE(results.at(0).at(0).toBool(), true);
        QCOMPARE(site.label("label_update"), QString("下载完成，正在安装更新…"));
        for (const char *bar : {"progressBar_updatefile", "progressBar_update"})
            QCOMPARE(site.bar(bar)->value(), site.bar(bar)->maximum());
    }

    // Cancel during a stalled transfer, by the button, Escape or closing the
    // window: each asks the same box. "取消" there changes nothing; "确认"
    // ends the run once as cancelled (also after the cancel grace period),
    // and Escape or closing then also closes the window.
    void cancel_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<QString>("answer");
        QTest::newRow("button, keep going") << "button" << "取消";
        QTest::newRow("button, confirm") << "button" << "确认";
        QTest::newRow("escape, keep going") << "escape" << "取消";
        QTest::newRow("escape, confirm") << "escape" << "确认";
        QTest::newRow("close, keep going") << "close" << "取消";
        QTest::newRow("close, confirm") << "close" << "确认";
    }
    void cancel()
    {
        QFETCH(QString, way);
        QFETCH(QString, answer);
        const bool ends = answer == "确认";
        ScriptedHttpServer server;
        scriptRelease(server);
        server.setRoute("/v2/a.dll", {200, "new a", Fault::Stall, 2});
        Site site(server.baseUrl());
        site.widget.show();
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        QCOMPARE(site.widget.checkServerVersion(), 1);
        QCOMPARE(site.widget.checkManifest(), 1);
        site.widget.startUpdate();
        QTRY_VERIFY(server.requests().contains("/v2//a.dll"));

        BoxAnswerer answerer(answer);
        if (way == "escape")
            QTest::keyClick(&site.widget, Qt::Key_Escape);
        else if (way == "close")
            site.widget.close();
        else
            site.cancelButton()->click();
        QCOMPARE(answerer.seenBoxes(), QStringList{"确认取消|确定要取消更新吗？未完成的更新将不会被应用。"});
        QCOMPARE(results.count(), ends ? 1 : 0);
        QCOMPARE(site.widget.isUpdating(), !ends);
        QCOMPARE(site.cancelButton()->isEnabled(), !ends);
        QCOMPARE(site.widget.isVisible(), !ends || way == "button");
        if (ends) {
            QCOMPARE(results.at(0).at(0).toBool(), false);
            QCOMPARE(site.label("label_update"), QString("更新已取消"));
            QCOMPARE(site.label("label_updatefile"), QString("已取消，未安装任何文件"));
            QCOMPARE(site.updateDirEntries(), QStringList{"update.ini"});
            QVERIFY(!QFile::exists(site.path("UpdateTemp//a.dll")));
            QTest::qWait(3500); // past the cancel grace period: still one result
            QCOMPARE(results.count(), 1);
            // Once the run is over nothing asks any more.
            site.cancelButton()->setEnabled(true);
            site.cancelButton()->click();
            site.widget.show();
            QTest::keyClick(&site.widget, Qt::Key_Escape);
            QVERIFY(!site.widget.isVisible());
            QCOMPARE(answerer.boxes(), 1);
        }
    }

    void dialogLook()
    {
        Site site(QStringLiteral("http://127.0.0.1:9/"));
        const Widget &w = site.widget;
        QCOMPARE(w.windowTitle(), QString("HTTP升级"));
        QCOMPARE(w.windowFlags() & Qt::FramelessWindowHint, Qt::FramelessWindowHint);
        QCOMPARE(w.minimumSize(), QSize(640, 455));
        QCOMPARE(w.maximumSize(), QSize(640, 455));
        const QString style = "font: 700 %1pt \"Microsoft YaHei UI\";" + QString(36, ' ') + "color: rgb(0, 0, 0);";
        QCOMPARE(w.findChild<QLabel *>("label_update")->styleSheet(), style.arg(16));
        QCOMPARE(w.findChild<QLabel *>("label_updatefile")->styleSheet(), style.arg(14));
        QCOMPARE(site.label("label_update"), QString("正在下载"));
        QCOMPARE(site.label("label_updatefile"), QString("正在下载更新文件"));
        QCOMPARE(site.bar("progressBar_updatefile")->styleSheet(), QString("color: rgb(255, 255, 255);"));
        QCOMPARE(site.bar("progressBar_update")->value(), 0);
        QCOMPARE(site.cancelButton()->text(), QString("取消"));
        QVERIFY(w.findChild<QLabel *>("label_icon"));

        // The picture covers the window: compare spots free of widgets with
        // the resource (loaded after painting, which registers it).
        const QImage shot = site.widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QImage picture = QImage(":/res/bk.png").convertToFormat(QImage::Format_RGB32);
        QCOMPARE(picture.size(), QSize(640, 455));
        for (const QPoint &p : {QPoint(2, 2), QPoint(637, 2), QPoint(320, 60)})
            QCOMPARE(shot.pixel(p), picture.pixel(p));
    }
};

QTEST_MAIN(TestHttpFlow)
#include "tst_httpflow.moc"
