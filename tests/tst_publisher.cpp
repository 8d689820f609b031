// The release publisher as a vendor runs it: its command line, the layout it
// writes, and what it refuses to publish.
#include "delta/patchcodec.h"
#include "delta/patchindex.h"
#include "http/md5manifest.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "trust/ed25519.h"
#include "trust/statement.h"
#include "support/testfiles.h"
#include "support/testinstall.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

RunResult runPublisher(const QStringList &arguments)
{
    RunResult result;
    QProcess process;
    process.start(builtProgram("publisher"), arguments);
    result.finished = process.waitForFinished(30000);
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

#ifndef Q_OS_WIN
// A file whose name holds bytes Qt cannot hold in a QString.
bool writeRawName(const QString &folder, const QByteArray &relative)
{
    const QByteArray path = QFile::encodeName(folder) + '/' + relative;
    if (!QDir().mkpath(QFileInfo(QFile::decodeName(path)).absolutePath()))
        return false;
    FILE *file = std::fopen(path.constData(), "w");
    return file && std::fclose(file) == 0;
}
#endif

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT
private slots:
    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("folder"); // empty: refused
        QTest::newRow("folder defaults to version") << QStringList{"src", "out", "2.0.1"} << "2.0.1";
        QTest::newRow("own folder") << QStringList{"src", "out", "2.0 beta", "v2_beta-1"} << "v2_beta-1";
        QTest::newRow("too few") << QStringList{"src", "out"} << QString();
        QTest::newRow("version with comma") << QStringList{"src", "out", "2,0", "v2"} << QString();
        QTest::newRow("version not ASCII") << QStringList{"src", "out", "二", "v2"} << QString();
        QTest::newRow("default folder not a name") << QStringList{"src", "out", "2.0 beta"} << QString();
        QTest::newRow("folder climbs") << QStringList{"src", "out", "2", ".."} << QString();
        QTest::newRow("signed, expiring") << QStringList{"--key", "k", "--expires", "2030-01-02T03:04:05Z", "src", "out", "2"}
                                          << "2";
        QTest::newRow("expiry without key") << QStringList{"--expires", "2030-01-02T03:04:05Z", "src", "out", "2"}
                                            << QString();
        QTest::newRow("expiry not UTC form") << QStringList{"--key", "k", "--expires", "2030-01-02", "src", "out", "2"}
                                             << QString();
        QTest::newRow("option without value") << QStringList{"src", "out", "2", "--key"} << QString();
        QTest::newRow("unknown option") << QStringList{"--sign", "k", "src", "out", "2"} << QString();
        QTest::newRow("keygen without file") << QStringList{"keygen"} << QString();
        QTest::newRow("signed rollback") << QStringList{"--key", "k", "--allow-downgrade", "src", "out", "2"} << "2";
        QTest::newRow("rollback without key") << QStringList{"--allow-downgrade", "src", "out", "2"} << QString();
        QTest::newRow("patches from two releases")
            << QStringList{"--previous", "out/1", "--previous", "old", "src", "out", "2"} << "2";
        QTest::newRow("staged rollout") << QStringList{"--rollout", "10", "src", "out", "2"} << "2";
        QTest::newRow("rollout above all") << QStringList{"--rollout", "101", "src", "out", "2"} << QString();
        QTest::newRow("rollout empty") << QStringList{"--rollout", "", "src", "out", "2"} << QString();
        QTest::newRow("stepping stone") << QStringList{"--min-version", "1.5", "--stepping-stone", "v1", "src", "out", "2"}
                                        << "2";
        QTest::newRow("stepping stone without minimum") << QStringList{"--stepping-stone", "v1", "src", "out", "2"}
                                                        << QString();
        QTest::newRow("stepping stone not a folder name")
            << QStringList{"--min-version", "1.5", "--stepping-stone", "../v1", "src", "out", "2"} << QString();
        QTest::newRow("release made current") << QStringList{"--key", "k", "current", "out", "v1"} << "v1";
        QTest::newRow("current without folder") << QStringList{"current", "out"} << QString();
        QTest::newRow("rollout command share") << QStringList{"rollout", "out", "x"} << QString();
    }
    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, folder);
        const PublisherArguments parsed = parsePublisherArguments(arguments);
        QCOMPARE(parsed.error.isEmpty(), !folder.isEmpty());
        if (!folder.isEmpty())
            QCOMPARE(parsed.request.folder, folder);
        QVERIFY(parsePublisherArguments({"-h"}).help);
    }

    // Publishes a folder with sub-folders, a hidden file and a stale md5.txt,
    // then a second version beside it.
    void publishesLayout()
    {
        QTemporaryDir dir;
        const QString src = dir.path() + "/src", out = dir.path() + "/www";
        QVERIFY(writeTestFile(src + "/update.exe", "exe"));
        QVERIFY(writeTestFile(src + "/plugins/codec/x.dll", QByteArray(70000, 'x')));
        QVERIFY(writeTestFile(src + "/empty.txt", ""));
        QVERIFY(writeTestFile(src + "/.git/config", "vcs"));
        QVERIFY(writeTestFile(src + "/md5.txt", "stale\t/nothing\r\n"));

        RunResult run = runPublisher({src, out, "2.0.0", "v2"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("3 files"));
        QSettings ini(out + "/update.ini", QSettings::IniFormat);
        QCOMPARE(ini.value("Version/Version").toString(), QString("2.0.0"));
        QCOMPARE(ini.value("Version/Folder").toString(), QString("v2"));
        // What lets a client tell the whole manifest from a part of it.
        const QByteArray manifest = readTestFile(out + "/v2/md5.txt");
        QCOMPARE(ini.value("Version/ManifestSize").toLongLong(), qint64(manifest.size()));
        QCOMPARE(ini.value("Version/ManifestMd5").toString(), md5OfFile(out + "/v2/md5.txt"));
        QMap<QString, QString> expected = hashTree(src, {"/.git", "/md5.txt"});
        QCOMPARE(readMd5File(out + "/v2/md5.txt"), expected);
        expected.insert("/md5.txt", md5OfFile(out + "/v2/md5.txt"));
        QCOMPARE(hashTree(out + "/v2"), expected);

        QVERIFY(writeTestFile(src + "/update.exe", "exe 3"));
        QCOMPARE(runPublisher({src, out, "3.0"}).exitCode, 0);
        QCOMPARE(QSettings(out + "/update.ini", QSettings::IniFormat).value("Version/Folder").toString(), QString("3.0"));
        // The earlier release stays as it was for clients still fetching it.
        QCOMPARE(readMd5File(out + "/v2/md5.txt").value("/update.exe"), md5OfFile(out + "/v2/update.exe"));
        QCOMPARE(hashTree(out + "/v2").value("/update.exe"), expected.value("/update.exe"));
        QCOMPARE(readMd5File(out + "/3.0/md5.txt").value("/update.exe"), md5OfFile(src + "/update.exe"));
    }

    // keygen: a new owner-only key file and the public key on one line;
    // never over an existing file. Signed releases then carry a statement
    // whose sequence grows per output folder, and the same md5.txt and
    // update.ini as unsigned ones.
    void signsReleases()
    {
        QTemporaryDir dir;
        const QString key = dir.path() + "/secret.key", src = dir.path() + "/src";
        RunResult run = runPublisher({"keygen", key});
        QCOMPARE(run.exitCode, 0);
        const auto publicKeys = Ed25519::parsePublicKeys(QString::fromLatin1(run.out));
        QVERIFY(run.out.endsWith('\n') && run.out.count('\n') == 1 && publicKeys && publicKeys->size() == 1);
#ifndef Q_OS_WIN
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFileInfo(key).permissions() & others, QFileDevice::Permissions());
#endif
        const QByteArray secret = readTestFile(key);
        QCOMPARE(runPublisher({"keygen", key}).exitCode, 1);
        QCOMPARE(readTestFile(key), secret);

        QVERIFY(writeTestFile(src + "/a/b.dll", "b"));
        QCOMPARE(runPublisher({src, dir.path() + "/plain", "2"}).exitCode, 0);
        QCOMPARE(runPublisher({"--key", key, src, dir.path() + "/www", "2"}).exitCode, 0);
        for (const QString file : {"/update.ini", "/2/md5.txt"})
            QCOMPARE(readTestFile(dir.path() + "/www" + file), readTestFile(dir.path() + "/plain" + file));
        QCOMPARE(runPublisher({"--key", key, src, dir.path() + "/www", "3"}).exitCode, 0);
        for (const quint64 sequence : {1, 2}) {
            const QString release = dir.path() + "/www/" + QString::number(sequence + 1) + "/";
            const QByteArray bytes = readTestFile(release + "release.statement");
            StatementExpectation expected{*publicKeys, QString::number(sequence + 1), QString(), sequence,
                                          QDateTime::currentDateTimeUtc()};
            ReleaseStatement statement;
            QVERIFY(checkStatement(bytes, readTestFile(release + "release.statement.sig"), expected, &statement).ok());
            QCOMPARE(statement.sequence, sequence);
            QCOMPARE(statement.files.keys(), QStringList({"/a/b.dll", "/md5.txt"}));
        }
    }

    // Patches from two earlier releases, one published and one a source
    // tree: one per distinct earlier version of a changed file, only where
    // it pays, each turning exactly those bytes into the new ones; the
    // release folder, md5.txt and update.ini as without them.
    void publishesPatches()
    {
        QTemporaryDir dir;
        const QString out = dir.path() + "/www", plain = dir.path() + "/plain", key = dir.path() + "/secret.key";
        QByteArray publicKey;
        QVERIFY(createKeyFile(key, &publicKey).isEmpty());
        const QByteArray app = randomBytes(300000, 1);
        QByteArray app0 = app, app2 = app;
        app0.replace(1000, 50, randomBytes(80, 2));
        app2.replace(200000, 10, "changed in two");
        const QMap<QString, QByteArray> v0{{"/bin/app.exe", app0}, {"/same.txt", "same"}},
            v1{{"/bin/app.exe", app}, {"/same.txt", "same"}, {"/gone.dll", "gone"}, {"/data.bin", randomBytes(5000, 3)}},
            v2{{"/bin/app.exe", app2}, {"/same.txt", "same"}, {"/new.txt", "new"}, {"/data.bin", randomBytes(5000, 4)}};
        for (const auto &[name, files] : {std::pair{"/v0", v0}, std::pair{"/v1", v1}, std::pair{"/v2", v2}}) {
            for (auto it = files.cbegin(); it != files.cend(); ++it)
                QVERIFY(writeTestFile(dir.path() + name + it.key(), it.value()));
        }
        const auto requestFor = [&dir](const QString &version, const QString &outDir) {
            PublishRequest request;
            request.sourceDir = dir.path() + "/v" + version;
            request.outDir = outDir;
            request.version = request.folder = version;
            return request;
        };
        QVERIFY(publishRelease(requestFor("1", out)).isEmpty());
        QVERIFY(publishRelease(requestFor("2", plain)).isEmpty());
        PublishRequest request = requestFor("2", out);
        request.secretKeyFile = key;
        // v1's source holds the same bytes as its published folder: one patch.
        request.previousDirs = QStringList{out + "/1", dir.path() + "/v0", dir.path() + "/v1"};
        int patchCount = -1;
        QVERIFY(publishRelease(request, nullptr, &patchCount).isEmpty());
        QCOMPARE(patchCount, 2);
        QCOMPARE(readTestFile(out + "/update.ini"), readTestFile(plain + "/update.ini"));
        QMap<QString, QString> released = hashTree(out + "/2", {"/release.statement", "/release.statement.sig"});
        QCOMPARE(released, hashTree(plain + "/2"));

        const QByteArray indexBytes = readTestFile(out + '/' + PatchLayout::indexPath("2"));
        const auto signature =
            Ed25519::decodeBase64(readTestFile(out + '/' + PatchLayout::signaturePath("2")), Ed25519::kSignatureBytes);
        QVERIFY(signature && Ed25519::verify(indexBytes, *signature, *Ed25519::decodeBase64(publicKey, 32)));
        const auto index = parsePatchIndex(indexBytes);
        QVERIFY(index && index->version == "2" && index->folder == "2");
        QCOMPARE(index->patches.size(), 2);
        for (const PatchEntry &entry : index->patches) {
            QCOMPARE(entry.path, QString("/bin/app.exe"));
            const QString patchFile = out + '/' + PatchLayout::patchPath(entry.baseSha256, entry.targetSha256);
            QCOMPARE(*sha256OfFile(patchFile), entry.patchSha256);
            QCOMPARE(QFileInfo(patchFile).size(), entry.patchSize);
            QCOMPARE(md5OfFile(patchFile), entry.patchMd5);
            QVERIFY(entry.patchSize < 1000);
            const QByteArray base = *sha256OfFile(dir.path() + "/v0/bin/app.exe") == entry.baseSha256 ? app0 : app;
            const auto target = Delta::applyPatch(base, readTestFile(patchFile), entry.targetSize);
            QVERIFY(target && *target == app2);
        }
        QVERIFY(index->patches.at(0).baseSha256 != index->patches.at(1).baseSha256);
    }

    void refuses_data()
    {
        QTest::addColumn<QString>("badFile"); // relative to the source
        QTest::addColumn<QString>("outDir");  // relative to the temp folder
        QTest::addColumn<QString>("message");
        QTest::newRow("republish a folder") << QString() << "www" << "already published";
        QTest::newRow("output inside source") << QString() << "src/www" << "inside the source";
#ifndef Q_OS_WIN
        // Names only other file systems can hold: on Windows "\\" separates
        // folders and ":" names a drive or a stream.
        QTest::newRow("backslash in a name") << "a\\b.dll" << "www2" << "a\\b.dll";
        QTest::newRow("colon in a name") << "sub/c:d.dll" << "www2" << "c:d.dll";
        QTest::newRow("names differing in letter case") << "OK.dll" << "www2" << "differs only in letter case";
        // Written byte for byte below: "\xff" stands for that byte.
        QTest::newRow("name not UTF-8") << "sub/bad\\xff.dll" << "www2" << "/sub/bad\\xff.dll: the name is not valid UTF-8";
#endif
        QTest::newRow("a work folder's name") << "backup/old.dll" << "www2" << "backup/old.dll";
        QTest::newRow("the journal's name") << "update.journal" << "www2" << "update.journal";
        QTest::newRow("no source") << "-" << "www2" << "not a folder";
    }
    void refuses()
    {
        QFETCH(QString, badFile);
        QFETCH(QString, outDir);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString src = dir.path() + "/src";
        QVERIFY(writeTestFile(src + "/ok.dll", "ok"));
        QVERIFY(writeTestFile(dir.path() + "/www/v2/old.dll", "published before"));
        if (badFile == "-")
            QDir(src).removeRecursively();
#ifndef Q_OS_WIN
        else if (badFile.contains("\\x"))
            QVERIFY(writeRawName(src, QByteArray::fromPercentEncoding(badFile.toLatin1().replace("\\x", "%"))));
#endif
        else if (!badFile.isEmpty())
            QVERIFY(writeTestFile(src + '/' + badFile, "bad"));
        const QMap<QString, QString> before = hashTree(dir.path());

        const RunResult run = runPublisher({src, dir.path() + '/' + outDir, "2", "v2"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(QString::fromUtf8(run.err).contains(message), run.err.constData());
        QVERIFY(!QFile::exists(dir.path() + '/' + outDir + "/update.ini"));
        QVERIFY(!QFile::exists(dir.path() + '/' + outDir + "/v2/md5.txt"));
        QCOMPARE(hashTree(dir.path()), before);
        QCOMPARE(QFileInfo::exists(dir.path() + "/www2"), false);
    }
};

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
