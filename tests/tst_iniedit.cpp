// Editing INI text in place, and the system.cfg an update leaves behind.
#include "config/iniedit.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestIniEdit : public QObject
{
    Q_OBJECT
private slots:
    void setValue_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("group");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray gbkComment = "; \xB0\xE6\xB1\xBE\r\n"; // "版本" in GBK
        QTest::newRow("in place, spacing, CRLF, comments and other bytes kept")
            << "\xEF\xBB\xBF[Server]\r\nVersion=9\r\n" + gbkComment + "[General]\r\n  Version =  1.0 \r\nLastCheckTime=x\r\n"
            << QByteArray("General")
            << "\xEF\xBB\xBF[Server]\r\nVersion=9\r\n" + gbkComment + "[General]\r\n  Version =  2.0\r\nLastCheckTime=x\r\n";
        QTest::newRow("commented-out key untouched, key added after the group's last entry")
            << QByteArray("[General]\n;Version=0\nA=1\n\n[Paths]\nTemp=t/\n") << QByteArray("General")
            << QByteArray("[General]\n;Version=0\nA=1\nVersion=2.0\n\n[Paths]\nTemp=t/\n");
        QTest::newRow("group missing, no final line end")
            << QByteArray("[Paths]\r\nTemp=t/") << QByteArray("General")
            << QByteArray("[Paths]\r\nTemp=t/\r\n[General]\r\nVersion=2.0\r\n");
        QTest::newRow("empty file") << QByteArray() << QByteArray("General") << QByteArray("[General]\nVersion=2.0\n");
    }
    void setValue()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, group);
        QTEST(IniEdit::setValue(text, group, "Version", "2.0"), "expected");
    }

    // Whatever the version text, QSettings reads back exactly it.
    void literalRoundTrip_data()
    {
        QTest::addColumn<QString>("value");
        for (const char *v : {"2.0.1", "2.0 beta; build 7", "a,b", "q\"uote\\", "版本2a"})
            QTest::newRow(v) << QString::fromUtf8(v);
    }
    void literalRoundTrip()
    {
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QString path = dir.filePath("system.cfg");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(IniEdit::mergedSystemConfig("[General]\nVersion=1\n", QByteArray(), value));
        file.close();
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Version").toString(), value);
    }

    // A release's own system.cfg: it may move the client (server, URL, host
    // program); the client keeps its trust settings, paths, the updater's
    // names and its comments; other settings come from the release; the
    // installed version wins over both.
    void releaseConfig_data()
    {
        QTest::addColumn<QByteArray>("release");
        QTest::addColumn<QByteArray>("merged");
        const QByteArray head = "; client\n[Update]\nURL=http://127.0.0.1:1/\nHostExe=host\nPublicKey=K\n";
        const QByteArray tail = "[Server]\nUpdatePort=1\n[General]\nVersion=2.0\n[Paths]\nTemp=T/\n";
        QTest::newRow("moves the client") << QByteArray("[Update]\nURL=http://127.0.0.1:2/\nHostExe=bin/host2\n"
                                                        "[Server]\nUpdatePort=2\nUpdateServer=127.0.0.1\n")
                                          << QByteArray("; client\n[Update]\nURL=http://127.0.0.1:2/\nHostExe=bin/host2\n"
                                                        "PublicKey=K\n[Server]\nUpdatePort=2\nUpdateServer=127.0.0.1\n"
                                                        "[General]\nVersion=2.0\n[Paths]\nTemp=T/\n");
        QTest::newRow("trust, places and names stay")
            << QByteArray("[Update]\nPublicKey=\nCaFile=x.pem\nUpdateExe=u.exe\nUpdateHelperExe=h.exe\nNewKey=1\n"
                          "[Paths]\nTemp=R/\n[General]\nVersion=9.9\nLastCheckTime=r\n[Project]\nName=P\n")
            << head + tail.left(tail.indexOf("[Paths]")).replace("Version=2.0\n", "Version=2.0\nLastCheckTime=r\n")
                + "[Paths]\nTemp=T/\n[Project]\nName=P\n";
        QTest::newRow("host program outside the installation")
            << QByteArray("[Update]\nHostExe=../evil.exe\n") << head + tail;
    }
    void encodedObjects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("refused");
        QTest::newRow("plain") << QByteArray("[General]\nVersion=2.0\nURL=http://u@127.0.0.1/\n") << false;
        QTest::newRow("non-ASCII written by literal()")
            << IniEdit::literal(QStringLiteral("安装\\a b")).prepend("[Paths]\nTemp=") << false;
        QTest::newRow("written out") << QByteArray("[General]\nVersion=@Variant(\\0\\0)\n") << true;
        QTest::newRow("quoted, spaced") << QByteArray("Version=\"@Var iant (\"\n") << true;
        QTest::newRow("hex escapes") << QByteArray("Version=\\x40\\x0056ariant(\n") << true;
        QTest::newRow("octal escapes") << QByteArray("Version=\\100\\126ariant(\n") << true;
    }
    void encodedObjects()
    {
        // QSettings decodes such values with QDataStream, which a crafted
        // one drives into an unbounded allocation.
        QFETCH(QByteArray, text);
        QFETCH(bool, refused);
        QCOMPARE(IniEdit::holdsEncodedObject(text), refused);
    }
    void releaseConfig()
    {
        QFETCH(QByteArray, release);
        QFETCH(QByteArray, merged);
        const QByteArray client = "; client\n[Update]\nURL=http://127.0.0.1:1/\nHostExe=host\nPublicKey=K\n"
                                  "[Server]\nUpdatePort=1\n[General]\nVersion=1.0\n[Paths]\nTemp=T/\n";
        QCOMPARE(IniEdit::mergedSystemConfig(client, release, "2.0"), merged);
    }
};

QTEST_GUILESS_MAIN(TestIniEdit)
#include "tst_iniedit.moc"
