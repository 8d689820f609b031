// update.exe over HTTP as a real process on a temp installation of version
// 1: the release (version 2) is made by the publisher tool and served by
// nginx, or replayed with faults by the scripted server.
#include "delta/patchcodec.h"
#include "delta/patchindex.h"
#include "http/md5manifest.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/scriptedhttpserver.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using Fault = ScriptedHttpServer::Fault;

namespace {

// What a run may leave besides the installation: its log and the staging
// folder, which the next run removes before it checks.
const QStringList kWorkFiles{"/update.log", "/UpdateTemp/", "/update/partial/"};

// Version 2 published into <work>/www/v2: a changed file, a changed and a
// new file in sub-folders, and an unchanged one.
QString publishVersion2(const QString &work)
{
    const QString src = work + "/v2src";
    writeTree(src, {{"/app.dll", "app v2"}, {"/same.txt", "same"}, {"/data/sub/deep.txt", "deep v2"},
                    {"/data/new/added.bin", QByteArray(1500000, 'n')}});
    return runPublisher(src, work + "/www", "2.0", "v2") ? work + "/www" : QString();
}

// Version 1 installed, configured for the HTTP channel at baseUrl, with the
// manifest a previous update would have left.
void installVersion1(TestInstall &install, const QString &baseUrl, const QByteArray &localVersion = "1.0",
                     const QString &temp = QString())
{
    TestInstall::Settings settings = TestInstall::defaultSettings();
    settings["Update"]["HttpEnable"] = "1";
    settings["Update"]["URL"] = baseUrl;
    settings["Update"]["ParallelDownloads"] = "6"; // all changed files in flight together
    if (!temp.isEmpty())
        settings["Paths"]["Temp"] = temp;
    install.writeConfig(settings);
    writeTree(install.path(), {{"/app.dll", "app v1"}, {"/same.txt", "same"}, {"/data/sub/deep.txt", "deep v1"},
                               {"/update/update.ini", "[Version]\nVersion=" + localVersion + "\nFolder=v1\n"}});
    generateMd5File(install.path() + '/');
}

void serveFolder(ScriptedHttpServer &server, const QString &root)
{
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        server.setFile(path.mid(root.size()), readTestFile(path));
    }
}

// Runs update.exe until it exits or reports an error line (its console log
// goes to standard error) that contains marker. A failed console run ends by
// itself once it has cleaned up; should one still be running ten seconds
// after the error is logged, it is ended as a user closing its window would.
RunResult runUntilLogged(const TestInstall &install, const QByteArray &marker)
{
    RunResult result;
    QProcess process;
    process.setWorkingDirectory(install.path());
    process.start(install.filePath("update.exe"), {"console"});
    QElapsedTimer timer;
    timer.start();
    while (!process.waitForFinished(100) && timer.elapsed() < 30000) {
        result.err += process.readAllStandardError();
        const QList<QByteArray> lines = result.err.split('\n');
        if (std::any_of(lines.begin(), lines.end(),
                        [&](const QByteArray &l) { return l.contains("[error]") && l.contains(marker); })) {
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished();
            }
            break;
        }
    }
    result.finished = process.state() == QProcess::NotRunning;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err += process.readAllStandardError();
    return result;
}

} // namespace

class TestHttpUpdate : public QObject
{
    Q_OBJECT
private slots:
    void updatesToPublishedRelease()
    {
        QTemporaryDir work;
        const QString www = publishVersion2(work.path());
        QVERIFY(!www.isEmpty());
        NginxServer nginx(www);
        QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
        TestInstall install;
        installVersion1(install, nginx.baseUrl());
        QFile::remove(install.filePath("md5.txt")); // the updater makes its own first
        const QDateTime old = QDateTime::currentDateTime().addDays(-30);
        QFile same(install.filePath("same.txt"));
        QVERIFY(same.open(QIODevice::ReadWrite) && same.setFileTime(old, QFileDevice::FileModificationTime));
        same.close();
        const auto before = hashTree(install.path());

        const RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out, consoleLine(true, true));

        // Exactly the release's files changed, plus the version file and the
        // manifest (the downloaded ones moved into place); staging, backup
        // and the journal are gone.
        const Md5Map release = readMd5File(www + "/v2/md5.txt");
        QCOMPARE(release.size(), 4);
        auto expected = before;
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            expected.insert(it.key(), it.value());
        expected.insert("/md5.txt", md5OfFile(www + "/v2/md5.txt"));
        expected.insert("/update/update.ini", md5OfFile(www + "/update.ini"));
        QCOMPARE(hashTree(install.path(), {"/update.log", "/host_started.txt"}), expected);
        QCOMPARE(QFileInfo(install.filePath("same.txt")).lastModified(), old);
        QCOMPARE(install.waitForHostStarts(1), 1);
        QCOMPARE(install.waitForHostStarts(2, 2000), 1);
    }

    // Version 2 published with patches from version 1: the changed app.dll
    // is built from its patch where the installed bytes and the patch allow,
    // and fetched whole where not; either way the installation ends as
    // version 2, byte for byte, and the log says which it was.
    void deltaUpdates_data()
    {
        QTest::addColumn<bool>("signedRelease");
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("patch") << false << "" << QByteArray("patch /app.dll: ");
        QTest::newRow("patch, signed") << true << "" << QByteArray("patch /app.dll: ");
        QTest::newRow("published without patches") << false << "no patches" << QByteArray("no patch index");
        QTest::newRow("base changed by the user") << false << "user edit" << QByteArray("full /app.dll: no patch");
        QTest::newRow("patch missing on the server") << false << "patch missing" << QByteArray("full /app.dll: the patch failed");
        QTest::newRow("patch corrupt") << true << "patch corrupt" << QByteArray("full /app.dll: the patch failed");
        // An index and a patch that agree, but build other bytes than the
        // manifest's: caught after decoding.
        QTest::newRow("digest mismatch") << false << "other target" << QByteArray("full /app.dll: the patch failed (target mismatch)");
        QTest::newRow("index not signed by the key") << true << "other target" << QByteArray("not signed by a trusted key");
    }
    void deltaUpdates()
    {
        QFETCH(bool, signedRelease);
        QFETCH(QString, tamper);
        QFETCH(QByteArray, logged);
        QTemporaryDir work;
        const QString www = work.path() + "/www";
        const QByteArray app1 = randomBytes(300000, 1);
        // Recompiled: the publisher keeps a method-2 patch for it.
        const QByteArray app2 = shiftedProgram(app1, 150000, 24);
        // A second patched file in a folder the staging folder does not have yet.
        const QByteArray deep1 = randomBytes(100000, 2);
        const QByteArray deep2 = deep1 + "appended";
        const FileTree v1{{"/app.dll", app1}, {"/same.txt", "same"}, {"/data/sub/deep.txt", deep1}};
        const FileTree v2{{"/app.dll", app2}, {"/same.txt", "same"}, {"/data/sub/deep.txt", deep2},
                          {"/data/new/added.bin", QByteArray(1500000, 'n')}};
        writeTree(work.path() + "/v1", v1);
        writeTree(work.path() + "/v2", v2);
        PublishRequest request;
        request.sourceDir = work.path() + "/v2";
        request.outDir = www;
        request.version = "2.0";
        request.folder = "v2";
        QByteArray publicKey;
        if (signedRelease) {
            request.secretKeyFile = work.path() + "/secret.key";
            QVERIFY(createKeyFile(request.secretKeyFile, &publicKey).isEmpty());
        }
        if (tamper != "no patches")
            request.previousDirs = QStringList{work.path() + "/v1"};
        QVERIFY(publishRelease(request).isEmpty());

        const QByteArray base = QCryptographicHash::hash(app1, QCryptographicHash::Sha256);
        const QByteArray target = QCryptographicHash::hash(app2, QCryptographicHash::Sha256);
        const QString patchFile = www + '/' + PatchLayout::patchPath(base, target);
        if (tamper != "no patches") {
            const QByteArray kept = readTestFile(patchFile);
            const auto header = Delta::parseHeader(kept.constData(), kept.size());
            QVERIFY(header && header->method == Delta::Method::Matched);
        }
        if (tamper == "patch missing") {
            QVERIFY(QFile::remove(patchFile));
        } else if (tamper == "patch corrupt") {
            QByteArray bytes = readTestFile(patchFile);
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
            QVERIFY(writeTestFile(patchFile, bytes));
        } else if (tamper == "other target") {
            const QString indexFile = www + '/' + PatchLayout::indexPath("v2");
            auto index = parsePatchIndex(readTestFile(indexFile));
            QVERIFY(index && index->patches.size() == 2 && index->patches.at(0).path == "/app.dll");
            const QByteArray patch = Delta::makePatch(app1, QByteArray(app2).replace(0, 4, "evil"));
            QVERIFY(writeTestFile(patchFile, patch));
            PatchEntry &entry = index->patches[0];
            entry.patchSize = patch.size();
            entry.patchSha256 = QCryptographicHash::hash(patch, QCryptographicHash::Sha256);
            entry.patchMd5 = md5OfFile(patchFile);
            QVERIFY(writeTestFile(indexFile, serializePatchIndex(*index)));
        }

        NginxServer nginx(www);
        QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
        TestInstall install;
        installVersion1(install, nginx.baseUrl());
        if (signedRelease) {
            TestInstall::Settings settings = TestInstall::defaultSettings();
            settings["Update"]["HttpEnable"] = "1";
            settings["Update"]["URL"] = nginx.baseUrl();
            settings["Update"]["PublicKey"] = QString::fromLatin1(publicKey);
            install.writeConfig(settings);
        }
        QVERIFY(writeTestFile(install.filePath("app.dll"), app1));
        QVERIFY(writeTestFile(install.filePath("data/sub/deep.txt"), deep1));
        generateMd5File(install.path() + '/');
        if (tamper == "user edit")
            QVERIFY(writeTestFile(install.filePath("app.dll"), QByteArray(app1).replace(0, 4, "user")));

        const RunResult run = install.runUpdater({"console"}, 60000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out, consoleLine(true, true));
        for (auto it = v2.cbegin(); it != v2.cend(); ++it)
            QVERIFY2(readTestFile(install.filePath(it.key().mid(1))) == it.value(), qPrintable(it.key()));
        const QByteArray log = readTestFile(install.filePath("update.log"));
        QVERIFY2(log.contains(logged), log.constData());
        QCOMPARE(log.contains("patch /app.dll: "), tamper.isEmpty());
        // The other file's patch is untouched: used wherever the index is.
        const bool indexUsed = tamper != "no patches" && !(signedRelease && tamper == "other target");
        QCOMPARE(log.contains("patch /data/sub/deep.txt: "), indexUsed);
        QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp")));
        QCOMPARE(QDir(install.filePath("update")).entryList(QStringList{"patch*"}, QDir::Files), QStringList());
    }

    // A run killed inside a large download leaves the bytes it had; the next
    // run asks nginx only for the rest (If-Range with the first reply's
    // validator, answered 206) and installs the release byte for byte.
    void killedDownloadResumes()
    {
        QTemporaryDir work;
        const QByteArray big = randomBytes(24 * 1024 * 1024, 20);
        writeTree(work.filePath("v2src"), {{"/app.dll", "app v2"}, {"/big.bin", big}});
        QVERIFY(runPublisher(work.filePath("v2src"), work.filePath("www"), "2.0", "v2"));
        NginxServer nginx(work.filePath("www"), {}, 2 * 1024 * 1024); // whole files at 2 MB/s
        QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
        TestInstall install;
        installVersion1(install, nginx.baseUrl());

        QProcess first;
        first.setWorkingDirectory(install.path());
        first.start(install.filePath("update.exe"), {"console"});
        const QString partial = install.filePath(
            "update/partial/" + QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex() + ".part");
        constexpr qint64 kKilledAfter = 4 * 1024 * 1024;
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= kKilledAfter; }, 60000));
        first.kill();
        QVERIFY(first.waitForFinished(10000));

        const RunResult second = install.runUpdater({"console"}, 120000);
        QVERIFY2(second.finished && second.exitCode == 0, second.err.constData());
        QCOMPARE(readTestFile(install.filePath("big.bin")), big);
        QList<QByteArray> requests;
        for (const QByteArray &line : nginx.accessLog())
            if (line.endsWith(" /v2/big.bin"))
                requests.append(line);
        QCOMPARE(requests.size(), 2);
        const QList<QByteArray> resumed = requests.last().split(' ');
        QCOMPARE(resumed.at(0), QByteArray("206"));
        QVERIFY2(resumed.at(2).startsWith("\"bytes=") && resumed.at(2).endsWith("-\""), requests.last().constData());
        const qint64 from = resumed.at(2).mid(7, resumed.at(2).size() - 9).toLongLong();
        QVERIFY2(from >= kKilledAfter && from < big.size(), requests.last().constData());
        QCOMPARE(resumed.at(1).toLongLong(), big.size() - from);
    }

    void sameVersionChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("localVersion");
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("partialKept"); // what an earlier run's cut-off download left
        QTest::newRow("same version") << QByteArray("2.0") << QString() << consoleLine(true, false) << false;
        // Temp names a folder md5.txt lists but that is missing now: the
        // check need not look, an update to stage is refused before the
        // folder is made.
        QTest::newRow("update, Temp over missing installed files")
            << QByteArray("1.0") << QStringLiteral("gone/")
            << consoleLine(false, true, QStringLiteral("临时目录或备份目录配置无效，未执行更新")) << true;
    }
    void sameVersionChangesNothing()
    {
        QFETCH(QByteArray, localVersion);
        QFETCH(QString, temp);
        QFETCH(QByteArray, line);
        QFETCH(bool, partialKept);
        QTemporaryDir work;
        const QString www = publishVersion2(work.path());
        QVERIFY(!www.isEmpty());
        NginxServer nginx(www);
        QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
        TestInstall install;
        installVersion1(install, nginx.baseUrl(), localVersion, temp);
        if (!temp.isEmpty()) {
            QFile manifest(install.filePath("md5.txt"));
            QVERIFY(manifest.open(QIODevice::Append));
            manifest.write("00000000000000000000000000000000\t/" + temp.toUtf8() + "lost.dll\r\n");
        }
        auto before = hashTree(install.path(), {"/update.log"});
        const QString part = "update/partial/0123456789abcdef0123456789abcdef.part";
        QVERIFY(writeTestFile(install.filePath(part), "cut off"));
        if (partialKept)
            before.insert("/" + part, QCryptographicHash::hash("cut off", QCryptographicHash::Md5).toHex());

        const RunResult run = install.runUpdater({"console"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, line);
        QCOMPARE(hashTree(install.path(), {"/update.log"}), before);
        QCOMPARE(QFileInfo::exists(install.filePath("update/partial")), partialKept);
        QCOMPARE(install.hostStarts(), 0);
    }

    // Each fault hits the second of three files (or the manifest); the run
    // fails and the installation stays exactly as it was.
    void faultsChangeNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body"); // null: the published content
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("marker");
        QTest::addColumn<QByteArray>("headers");
        const QString big = "/v2/data/new/added.bin";
        QTest::newRow("drop mid-file") << big << 200 << QByteArray() << int(Fault::Drop) << QByteArray("added.bin")
                                       << QByteArray();
        QTest::newRow("404") << big << 404 << QByteArray("") << int(Fault::None) << QByteArray("added.bin")
                             << QByteArray();
        QTest::newRow("digest mismatch") << big << 200 << QByteArray(1500000, 'N') << int(Fault::None)
                                         << QByteArray("文件校验失败") << QByteArray();
        // From the staging folder, "/../app.dll" is the installed app.dll.
        QTest::newRow("unsafe manifest") << "/v2/md5.txt" << 200 << QByteArray("00\t/same.txt\r\n00\t/../app.dll\r\n")
                                         << int(Fault::None) << QByteArray("不安全的路径:/../app.dll") << QByteArray();
        // 64 MiB of zeros in 64 KiB: never inflated, refused.
        QTest::newRow("compression bomb manifest")
            << "/v2/md5.txt" << 200 << qCompress(QByteArray(64 << 20, '\0'), 9).mid(4) << int(Fault::None)
            << QByteArray("压缩编码") << QByteArray("Content-Encoding: deflate\r\n");
    }
    void faultsChangeNothing()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, fault);
        QFETCH(QByteArray, marker);
        QFETCH(QByteArray, headers);
        QTemporaryDir work;
        const QString www = publishVersion2(work.path());
        QVERIFY(!www.isEmpty());
        ScriptedHttpServer server;
        serveFolder(server, www);
        server.setRoute(path, {status, body.isNull() ? readTestFile(www + path) : body, Fault(fault), 700000, headers});
        if (path.endsWith("md5.txt")) {
            // A server with a manifest of its own serves an update.ini that
            // does not contradict it: one without the manifest's record.
            const QByteArray ini = readTestFile(www + "/update.ini");
            server.setFile("/update.ini", ini.left(ini.indexOf("ManifestSize=")));
        }
        TestInstall install;
        installVersion1(install, server.baseUrl());
        const auto before = hashTree(install.path(), kWorkFiles);

        const RunResult run = runUntilLogged(install, marker);
        QVERIFY2(run.finished, run.err.constData());
        const bool refused = path.endsWith("md5.txt");
        if (refused) {
            // The check itself failed: no success, and the reason.
            const QJsonObject json = QJsonDocument::fromJson(run.out).object();
            QCOMPARE(json.value("success").toBool(true), false);
            QCOMPARE(json.value("update").toBool(true), false);
            QVERIFY(json.value("errormsg").toString().toUtf8().contains(marker));
            QVERIFY(run.out.endsWith('\n') && run.out.count('\n') == 1);
        } else {
            QCOMPARE(run.out, consoleLine(true, true));
        }
        QCOMPARE(hashTree(install.path(), kWorkFiles), before);
        QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp"))); // nothing staged stays
        QCOMPARE(install.hostStarts(), 0);
        if (refused)
            QCOMPARE(server.requests(), (QStringList{"/update.ini", "/v2/md5.txt"}));
    }
};

QTEST_GUILESS_MAIN(TestHttpUpdate)
#include "tst_httpupdate.moc"
