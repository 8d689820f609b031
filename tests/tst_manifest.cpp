// The manifest: its text format both ways, the comparison rule, the path
// rules, and manifests generated from real folders.
#include "http/md5manifest.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
const QString kEmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QString kAbcMd5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");

const QByteArray kRecorded = "aa\t/a.dll\r\n";

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Md5Map>("expected");
        const Md5Map one{{"/a.dll", "aa"}};
        QTest::newRow("crlf") << QByteArray("aa\t/a.dll\r\nbb\t/s/b\r\n") << Md5Map{{"/a.dll", "aa"}, {"/s/b", "bb"}};
        QTest::newRow("lf only") << QByteArray("aa\t/a.dll\nbb\t/s/b") << Md5Map{{"/a.dll", "aa"}, {"/s/b", "bb"}};
        QTest::newRow("no tab, empty lines skipped") << QByteArray("\r\nnotab\r\naa\t/a.dll\r\n\r\n") << one;
        QTest::newRow("extra fields ignored, tab cuts path") << QByteArray("aa\t/a.dll\tx\ty\n") << one;
        QTest::newRow("later line wins") << QByteArray("zz\t/a.dll\naa\t/a.dll\n") << one;
        QTest::newRow("empty fields kept") << QByteArray("\t/e\naa\t\n") << Md5Map{{"/e", ""}, {"", "aa"}};
        QTest::newRow("upper-case digest kept as is") << QByteArray("AA\t/a.dll\n") << Md5Map{{"/a.dll", "AA"}};
        QTest::newRow("utf-8 path") << QByteArray("aa\t/数据/文件.txt\n") << Md5Map{{"/数据/文件.txt", "aa"}};
        QTest::newRow("local 8-bit path") << QByteArray("aa\t/") + QTextCodec::codecForLocale()->fromUnicode(QStringLiteral("café.txt")) + "\n"
                                          << Md5Map{{"/café.txt", "aa"}};
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(Md5Map, expected);
        QCOMPARE(parseMd5Map(text), expected);
    }

    // A server manifest is taken only whole and with every file listed once
    // under a name it can be fetched by.
    void serverManifest_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("problem"); // its start; "" for none
        QTest::newRow("whole") << QByteArray("aa\t/lib/a.dll\r\nbb\t/b\r\n") << QString();
        QTest::newRow("cut off") << QByteArray("aa\t/lib/a.dll\r\nbb\t/b") << "服务端清单不完整";
        QTest::newRow("listed twice") << QByteArray("aa\t/lib/a.dll\r\nbb\t/b\r\naa\t/lib/a.dll\r\n")
                                      << "服务端清单重复列出同一文件:/lib/a.dll";
        QTest::newRow("letter case") << QByteArray("aa\t/lib/a.dll\r\nbb\t/LIB/A.dll\r\n")
                                     << "服务端清单重复列出同一文件:/LIB/A.dll";
        QTest::newRow("name not valid") << QByteArray("aa\t/ok\r\nbb\t/bad\x81\r\n")
                                        << "服务端清单包含无法解码的文件名:/bad\\x81";
    }
    void serverManifest()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, problem);
        QString found;
        const Md5Map map = parseServerManifest(text, &found);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.startsWith(problem), qPrintable(found));
        QCOMPARE(map.isEmpty(), !problem.isEmpty());
    }

    // update.ini's record of md5.txt: each given value must fit the bytes.
    void manifestRecord_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("whole");
        const QString digest = QCryptographicHash::hash(kRecorded, QCryptographicHash::Md5).toHex();
        QTest::newRow("nothing recorded") << QString() << QString() << true;
        QTest::newRow("both fit") << QString::number(kRecorded.size()) << digest << true;
        QTest::newRow("digest in upper case") << QString() << digest.toUpper() << true;
        QTest::newRow("cut at a line end") << QString::number(kRecorded.size() + 12) << QString() << false;
        QTest::newRow("same size, other bytes") << QString::number(kRecorded.size()) << QString(32, '0') << false;
        QTest::newRow("size no number") << "12x" << QString() << false;
    }
    void manifestRecord()
    {
        QFETCH(QString, size);
        QFETCH(QString, md5);
        QFETCH(bool, whole);
        QCOMPARE(manifestRecordProblem(kRecorded, size, md5).isEmpty(), whole);
    }

    void serializeWritesKeyOrderWithCrLf()
    {
        const Md5Map map{{"/a.dll", "11"}, {"/B.dll", "22"}, {"/sub/c", ""}};
        QCOMPARE(serializeMd5Map(map), QByteArray("22\t/B.dll\r\n11\t/a.dll\r\n\t/sub/c\r\n"));
        QCOMPARE(parseMd5Map(serializeMd5Map(map)), map);
        QCOMPARE(serializeMd5Map({}), QByteArray());
    }

    void compare_data()
    {
        QTest::addColumn<Md5Map>("local");
        QTest::addColumn<Md5Map>("remote");
        QTest::addColumn<Md5Map>("changed");
        QTest::newRow("equal") << Md5Map{{"/a", "1"}} << Md5Map{{"/a", "1"}} << Md5Map{};
        QTest::newRow("differs") << Md5Map{{"/a", "1"}, {"/b", "2"}} << Md5Map{{"/a", "1"}, {"/b", "3"}}
                                 << Md5Map{{"/b", "3"}};
        QTest::newRow("missing locally") << Md5Map{} << Md5Map{{"/a", "1"}} << Md5Map{{"/a", "1"}};
        QTest::newRow("same name in another folder") << Md5Map{{"/x/a", "1"}} << Md5Map{{"/a", "1"}}
                                                     << Md5Map{{"/a", "1"}};
        QTest::newRow("local only is kept, not deleted") << Md5Map{{"/old", "1"}} << Md5Map{} << Md5Map{};
        QTest::newRow("case of digest matters") << Md5Map{{"/a", "ab"}} << Md5Map{{"/a", "AB"}} << Md5Map{{"/a", "AB"}};
        QTest::newRow("empty local digest") << Md5Map{{"/a", ""}} << Md5Map{{"/a", "1"}} << Md5Map{{"/a", "1"}};
    }
    void compare()
    {
        QFETCH(Md5Map, local);
        QFETCH(Md5Map, remote);
        QFETCH(Md5Map, changed);
        QCOMPARE(compareMd5Maps(local, remote), changed);
        // The installed manifest looked up in place says the same.
        QCOMPARE(compareWithManifest(serializeMd5Map(local), remote), changed);
    }

    void unsafePaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "/plugins/codec.dll" << true;
        QTest::newRow("relative") << "a.dll" << false;
        QTest::newRow("absolute twice") << "//etc/passwd" << false;
        QTest::newRow("parent inside") << "/a/../../evil.dll" << false;
        QTest::newRow("hidden") << "/sub/.cache/x" << false;
        QTest::newRow("work place") << "/Backup/a.dll" << false;
    }
    void unsafePaths()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(unsafePathReason(path, {QStringLiteral("Backup")}).isEmpty(), safe);
    }

    // A real tree: sub-folders, an empty file, a file larger than one read
    // chunk, a hidden file and an empty folder; a link cycle must not hang.
    void generateFromFolder()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + '/';
        QByteArray big(3 * 1024 * 1024 + 17, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(quint32(i) * 7919u >> 3);
        QVERIFY(writeTestFile(root + "abc.txt", "abc"));
        QVERIFY(writeTestFile(root + "empty.bin", ""));
        QVERIFY(writeTestFile(root + "sub/deeper/big.dat", big));
        QDir().mkpath(root + "only/empty/dirs");
#ifdef Q_OS_WIN
        // Hidden is a file attribute on Windows; links there are shortcut files.
        QVERIFY(writeTestFile(root + "hidden.txt", "secret"));
        QVERIFY(SetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(root + "hidden.txt").utf16()),
                                   FILE_ATTRIBUTE_HIDDEN));
#else
        QVERIFY(writeTestFile(root + ".hidden", "secret"));
        QVERIFY(QFile::link(root + "sub", root + "sub/deeper/loop"));
#endif

        generateMd5File(root);
        QFile written(root + "md5.txt");
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        const QString bigMd5 = QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex();
        QCOMPARE(readMd5File(root + "md5.txt"),
                 (Md5Map{{"/abc.txt", kAbcMd5}, {"/empty.bin", kEmptyMd5}, {"/sub/deeper/big.dat", bigMd5}}));
        QCOMPARE(text.count("\r\n"), 3);
        QVERIFY(!text.contains("hidden"));
    }

    void unreadableInputs()
    {
        QTemporaryDir dir;
        QCOMPARE(md5OfFile(dir.path() + "/missing"), QString());
        QCOMPARE(readMd5File(dir.path() + "/missing"), Md5Map());
        QDir().mkpath(dir.path() + "/only/empty");
        generateMd5File(dir.path() + "/only/");
        QCOMPARE(QFileInfo(dir.path() + "/only/md5.txt").size(), 0);
        QVERIFY(!writeMd5File(dir.path() + "/no/such/dir/md5.txt", {{"/a", "1"}}));
        QVERIFY(!sha256OfFile(dir.path() + "/missing"));
    }

    // The system's SHA-256 agrees with Qt's, across read chunks too.
    void sha256_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("abc") << QByteArray("abc");
        QByteArray big(3 << 20, 'x');
        big[(3 << 20) - 1] = 'y';
        QTest::newRow("several chunks") << big;
    }
    void sha256()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QVERIFY(writeTestFile(dir.path() + "/f", content));
        QCOMPARE(sha256OfFile(dir.path() + "/f").value_or("unreadable"),
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256));
    }
};

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
