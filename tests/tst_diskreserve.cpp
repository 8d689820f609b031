// The free-space reserve on both roads, with the staging folder on a small
// tmpfs: update.exe console against a release too large for it stops before
// the reserve is touched (or does not start), ends with a truthful line and
// exit code 1, installs nothing and leaves nothing staged.
#include "http/md5manifest.h"
#include "support/filetree.h"
#include "support/scriptedhttpserver.h"
#include "support/tcpserverprocess.h"
#include "support/testinstall.h"
#include "support/tmpfs.h"

#include <QCryptographicHash>
#include <QStorageInfo>
#include <QtTest>

namespace {

const QByteArray kSmall = "new a";
const QByteArray kBig(12 << 20, 'b'); // more than the 8 MiB file system holds

QString md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

} // namespace

class TestDiskReserve : public QObject
{
    Q_OBJECT
private slots:
    void largeReleaseLeavesNothing_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("reserveMiB");
        QTest::addColumn<bool>("filesAsked");
        QTest::newRow("http, reserve reached mid-file") << false << "4" << true;
        QTest::newRow("http, reserve short at the start") << false << "64" << false;
        QTest::newRow("tcp, reserve reached mid-file") << true << "4" << true;
        QTest::newRow("tcp, reserve short at the start") << true << "64" << false;
    }
    void largeReleaseLeavesNothing()
    {
        QFETCH(bool, tcp);
        QFETCH(QString, reserveMiB);
        QFETCH(bool, filesAsked);
        TestInstall install;
        Tmpfs staging(install.filePath("UpdateTemp"), "size=8m");
        QVERIFY(staging.mounted);

        TestInstall::Settings settings = TestInstall::defaultSettings();
        settings["Limits"]["DiskReserve"] = reserveMiB;
        ScriptedHttpServer http;
        QTemporaryDir releaseRoot;
        TcpServerProcess server;
        if (tcp) {
            writeRelease(releaseRoot.path(), "2.0", {{"a.dll", kSmall}, {"big.bin", kBig}}, "v2");
            QVERIFY(server.start(releaseRoot.path()));
            settings["Server"]["UpdateServer"] = "127.0.0.1";
            settings["Server"]["UpdatePort"] = QString::number(server.port());
        } else {
            http.setFile("/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n");
            http.setFile("/v2/md5.txt", serializeMd5Map({{"/a.dll", md5(kSmall)}, {"/big.bin", md5(kBig)}}));
            http.setFile("/v2/a.dll", kSmall);
            http.setFile("/v2/big.bin", kBig);
            settings["Update"]["HttpEnable"] = "1";
            settings["Update"]["URL"] = http.baseUrl();
        }
        install.writeConfig(settings);
        writeTree(install.path(), {{"/a.dll", "old a"}, {"/update/update.ini", "[Version]\nVersion=1.0\n"}});
        generateMd5File(install.path() + '/');
        const QStringList work{"/update.log", "/UpdateTemp/"};
        const auto before = hashTree(install.path(), work);

        const RunResult run = install.runUpdater({"console"}, 120000);
        QVERIFY2(run.finished, run.err.right(2000).constData());
        QCOMPARE(run.out, consoleLine(true, true));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("磁盘空间不足"), run.err.right(2000).constData());
        QCOMPARE(hashTree(install.path(), work), before);
        QCOMPARE(QDir(staging.path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        if (tcp)
            QCOMPARE(server.count("file request") > 0, filesAsked);
        else
            QCOMPARE(http.requests().contains("/v2//a.dll"), filesAsked);
    }
};

QTEST_GUILESS_MAIN(TestDiskReserve)
#include "tst_diskreserve.moc"
