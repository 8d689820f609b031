// Staging of files received in chunks: where each (path, name) lands, which
// names are refused, and what sequences of chunks leave on disk; and the
// stager both roads write through, with its streamed verification.
#include "fileops/stagedfile.h"
#include "fileops/tempfilewriter.h"
#include "support/filetree.h"
#include "support/testinstall.h"

#include <QtTest>

namespace {

// One writeChunk call and its result.
struct Chunk
{
    QString path;
    QString name;
    QByteArray data;
    bool isLast = true;
    bool result = true;
};

} // namespace

Q_DECLARE_METATYPE(QList<Chunk>)

class TestTempFileWriter : public QObject
{
    Q_OBJECT
private slots:
    void placement_data();
    void placement();
    void sequences_data();
    void sequences();
    void refusesWithoutStagingSetting();
    void stagedFileVerifies_data();
    void stagedFileVerifies();
};

void TestTempFileWriter::placement_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("landsAt"); // below the staging root; empty = refused

    QTest::newRow("top") << "" << "a.txt" << "/a.txt";
    QTest::newRow("nested") << "sub/deep" << "f.dll" << "/sub/deep/f.dll";
    QTest::newRow("backslashes") << "sub\\deep" << "f" << "/sub/deep/f";
    QTest::newRow("dots inside names") << "./a..b//c" << "x..y" << "/a..b/c/x..y";
    QTest::newRow("parent") << ".." << "x" << "";
    QTest::newRow("parent deeper") << "a/../../.." << "x" << "";
    QTest::newRow("parent backslash") << "a\\..\\..\\.." << "x" << "";
    QTest::newRow("absolute") << "/tmp" << "x" << "";
    QTest::newRow("absolute backslash") << "\\tmp" << "x" << "";
    QTest::newRow("unc") << "\\\\server\\share" << "x" << "";
    QTest::newRow("drive") << "C:\\dir" << "x" << "";
    QTest::newRow("drive relative") << "c:dir" << "x" << "";
    QTest::newRow("name parent") << "" << ".." << "";
    QTest::newRow("name dot") << "sub" << "." << "";
    QTest::newRow("name empty") << "sub" << "" << "";
    QTest::newRow("name with slash") << "" << "../x" << "";
    QTest::newRow("name with backslash") << "" << "..\\x" << "";
    QTest::newRow("name with stream") << "" << "x:y" << "";
    QTest::newRow("name with nul") << "" << QStringLiteral("x") + QChar(0) + QStringLiteral("y") << "";
}

// Every refused pair leaves the whole surrounding folder empty: the root sits
// three levels deep so an escape by ".." would still land inside it.
void TestTempFileWriter::placement()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, landsAt);
    QTemporaryDir tmp;
    const QString root = tmp.path() + QStringLiteral("/a/b/staging");
    QCOMPARE(stagedFilePath(root, path, name), landsAt.isEmpty() ? QString() : root + landsAt);

    TempFileWriter writer(root);
    QCOMPARE(writer.writeChunk(path, name, "data", true), !landsAt.isEmpty());
    FileTree expected;
    if (!landsAt.isEmpty())
        expected.insert(QStringLiteral("/a/b/staging") + landsAt, "data");
    QCOMPARE(hashTree(tmp.path()), treeHashes(expected));
}

void TestTempFileWriter::sequences_data()
{
    QTest::addColumn<FileTree>("before");
    QTest::addColumn<QList<Chunk>>("chunks");
    QTest::addColumn<FileTree>("after");

    QTest::newRow("interleaved files") << FileTree{}
        << QList<Chunk>{{"s", "a", "12", false}, {"s", "b", "xy", false}, {"s", "a", "34"}, {"s", "b", "z"}}
        << FileTree{{"/s/a", "1234"}, {"/s/b", "xyz"}};
    QTest::newRow("same name, two paths") << FileTree{}
        << QList<Chunk>{{"p1", "f", "one", false}, {"p2", "f", "two", false}, {"p1", "f", "!"}, {"p2", "f", "?"}}
        << FileTree{{"/p1/f", "one!"}, {"/p2/f", "two?"}};
    QTest::newRow("underscores do not mix files") << FileTree{}
        << QList<Chunk>{{"a_b", "c", "1", false}, {"a", "b_c", "2", false}, {"a_b", "c", "3"}, {"a", "b_c", "4"}}
        << FileTree{{"/a_b/c", "13"}, {"/a/b_c", "24"}};
    QTest::newRow("spellings of one folder share the file") << FileTree{}
        << QList<Chunk>{{"x\\y", "f", "1", false}, {"x/y", "f", "2"}} << FileTree{{"/x/y/f", "12"}};
    QTest::newRow("stale longer file truncated") << FileTree{{"/s/f", "0123456789"}}
        << QList<Chunk>{{"s", "f", "ab", false}, {"s", "f", "c"}} << FileTree{{"/s/f", "abc"}};
    QTest::newRow("finished file received again") << FileTree{}
        << QList<Chunk>{{"", "f", "first"}, {"", "f", "2nd"}} << FileTree{{"/f", "2nd"}};
    QTest::newRow("file where a folder is needed") << FileTree{{"/blk", "x"}}
        << QList<Chunk>{{"blk", "f", "data", true, false}, {"", "g", "ok"}} << FileTree{{"/blk", "x"}, {"/g", "ok"}};
    QTest::newRow("folder where the file is needed") << FileTree{{"/d/x", "x"}}
        << QList<Chunk>{{"", "d", "data", true, false}} << FileTree{{"/d/x", "x"}};
}

void TestTempFileWriter::sequences()
{
    QFETCH(FileTree, before);
    QFETCH(QList<Chunk>, chunks);
    QFETCH(FileTree, after);
    QTemporaryDir tmp;
    writeTree(tmp.path(), before);
    {
        TempFileWriter writer(tmp.path());
        for (const Chunk &c : chunks)
            QCOMPARE(writer.writeChunk(c.path, c.name, c.data, c.isLast), c.result);
    }
    QCOMPARE(hashTree(tmp.path()), treeHashes(after));
}

// The tests run from the build's program folder, which has no settings: the
// process-wide writer must not stage into that folder itself.
void TestTempFileWriter::refusesWithoutStagingSetting()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    if (QFile::exists(appDir + QStringLiteral("/system.cfg")))
        QSKIP("a system.cfg beside the test program configures the staging folder");
    QCOMPARE(TempFileWriter::instance()->stagingRoot(), QString());
    QVERIFY(!TempFileWriter::instance()->writeChunk(QString(), QStringLiteral("stray.txt"), "x", true));
    QVERIFY(!QFile::exists(appDir + QStringLiteral("/stray.txt")));
}

void TestTempFileWriter::stagedFileVerifies_data()
{
    QTest::addColumn<QByteArray>("left");   // what an earlier run left at the path
    QTest::addColumn<qint64>("keep");       // bytes of it kept; -1: opened afresh
    QTest::addColumn<QByteArray>("appended");
    QTest::addColumn<qint64>("size");       // expected; -1 unknown
    QTest::addColumn<QByteArray>("content"); // whose MD5 is expected; empty: none
    QTest::addColumn<int>("problem");       // of the append, else of finish
    const auto p = [](StagedFile::Problem problem) { return int(problem); };
    QTest::newRow("no expectation") << QByteArray() << qint64(-1) << QByteArray("abc") << qint64(-1) << QByteArray()
                                    << p(StagedFile::Problem::None);
    QTest::newRow("size and digest right") << QByteArray("stale") << qint64(-1) << QByteArray("abc") << qint64(3)
                                           << QByteArray("abc") << p(StagedFile::Problem::None);
    QTest::newRow("digest wrong") << QByteArray() << qint64(-1) << QByteArray("abd") << qint64(-1)
                                  << QByteArray("abc") << p(StagedFile::Problem::DigestMismatch);
    QTest::newRow("too short") << QByteArray() << qint64(-1) << QByteArray("ab") << qint64(3) << QByteArray()
                               << p(StagedFile::Problem::SizeMismatch);
    QTest::newRow("too long") << QByteArray() << qint64(-1) << QByteArray("abcd") << qint64(3) << QByteArray()
                              << p(StagedFile::Problem::TooLong);
    // The digest covers the kept prefix: a resumed file is checked whole.
    QTest::newRow("kept prefix, digest of the whole") << QByteArray("abXX") << qint64(2) << QByteArray("cd")
                                                      << qint64(4) << QByteArray("abcd") << p(StagedFile::Problem::None);
    QTest::newRow("kept prefix wrong") << QByteArray("zbXX") << qint64(2) << QByteArray("cd") << qint64(4)
                                       << QByteArray("abcd") << p(StagedFile::Problem::DigestMismatch);
    QTest::newRow("keep more than is there") << QByteArray("ab") << qint64(10) << QByteArray("cd") << qint64(-1)
                                             << QByteArray("abcd") << p(StagedFile::Problem::None);
}

void TestTempFileWriter::stagedFileVerifies()
{
    QFETCH(QByteArray, left);
    QFETCH(qint64, keep);
    QFETCH(QByteArray, appended);
    QFETCH(qint64, size);
    QFETCH(QByteArray, content);
    QFETCH(int, problem);
    QTemporaryDir tmp;
    const QString path = tmp.filePath("sub/f.bin");
    if (!left.isEmpty())
        writeTree(tmp.path(), {{"/sub/f.bin", left}});
    DiskReserve reserve(tmp.path(), 0);
    const QString md5 = content.isEmpty() ? QString()
                                          : QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
    {
        StagedFile file(path, reserve);
        const FileExpectation expected{size, md5};
        QCOMPARE(keep < 0 ? file.open(expected) : file.openKeeping(keep, expected), StagedFile::Problem::None);
        StagedFile::Problem result = file.append(appended);
        if (result == StagedFile::Problem::None)
            result = file.finish();
        QCOMPARE(int(result), problem);
        if (result == StagedFile::Problem::None) {
            QFile staged(path);
            QVERIFY(staged.open(QIODevice::ReadOnly));
            const QByteArray whole = staged.readAll();
            QCOMPARE(file.md5(), QString(QCryptographicHash::hash(whole, QCryptographicHash::Md5).toHex()));
            QCOMPARE(file.size(), qint64(whole.size()));
        }
    }
    // A file that failed its check, or was left unfinished, is gone.
    QCOMPARE(QFile::exists(path), problem == int(StagedFile::Problem::None));
}

QTEST_GUILESS_MAIN(TestTempFileWriter)
#include "tst_tempfilewriter.moc"
