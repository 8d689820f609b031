// The rollback copies: the recursive tree copy and the restore of a backup
// over an installation, on real trees in temp folders.
#include "fileops/fileoperationmanager.h"
#include "support/filetree.h"
#include "support/testinstall.h"

#include <QtTest>

class TestFileOperationManager : public QObject
{
    Q_OBJECT
private slots:
    void copyTree_data();
    void copyTree();
    void rollback_data();
    void rollback();
};

void TestFileOperationManager::copyTree_data()
{
    QTest::addColumn<FileTree>("source");
    QTest::addColumn<FileTree>("target");
    QTest::addColumn<bool>("result");
    QTest::addColumn<FileTree>("after");

    const FileTree source{{"/a", "A2"}, {"/d/b", "B2"}, {"/d/e/c", "C2"}, {"/.hidden", "H"}};
    QTest::newRow("into a missing folder") << source << FileTree{} << true
        << FileTree{{"/a", "A2"}, {"/d/b", "B2"}, {"/d/e/c", "C2"}};
    QTest::newRow("over existing files") << source << FileTree{{"/a", "A1"}, {"/d/b", "long old B"}, {"/d/k", "K"}}
        << true << FileTree{{"/a", "A2"}, {"/d/b", "B2"}, {"/d/e/c", "C2"}, {"/d/k", "K"}};
    QTest::newRow("folder where a file belongs") << FileTree{{"/d/b", "B2"}} << FileTree{{"/d/b/x", "X"}} << false
        << FileTree{{"/d/b/x", "X"}};
}

void TestFileOperationManager::copyTree()
{
    QFETCH(FileTree, source);
    QFETCH(FileTree, target);
    QFETCH(bool, result);
    QFETCH(FileTree, after);
    QTemporaryDir tmp;
    const QString from = tmp.path() + QStringLiteral("/src");
    const QString into = tmp.path() + QStringLiteral("/dst");
    writeTree(from, source);
    writeTree(into, target);

    CFileOperationManager manager;
    QCOMPARE(manager.copyDirectoryRecursively(from, into), result);
    QCOMPARE(hashTree(into), treeHashes(after));
    QVERIFY(!manager.copyDirectoryRecursively(from + QStringLiteral("/missing"), into));
}

void TestFileOperationManager::rollback_data()
{
    QTest::addColumn<FileTree>("backup");
    QTest::addColumn<FileTree>("installed");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("error"); // empty: success; %B / %D: the two roots
    QTest::addColumn<FileTree>("after");

    const FileTree backup{{"/a", "A1"}, {"/update/update.ini", "V1"}, {"/d/e/c", "C1"}};
    const FileTree changed{{"/a", "A2 longer"}, {"/update/update.ini", "V2"}, {"/d/e/c", "C2"}, {"/new", "N"}};
    QTest::newRow("files and folders over changed ones") << backup << changed << QStringList() << QString()
        << FileTree{{"/a", "A1"}, {"/update/update.ini", "V1"}, {"/d/e/c", "C1"}, {"/new", "N"}};
    QTest::newRow("deleted file copied back") << backup << FileTree{} << QStringList() << QString() << backup;
    QTest::newRow("missing backup") << FileTree{} << changed << QStringList() << QString() << changed;
    QTest::newRow("only listed paths") << backup << changed << QStringList{"a", "gone"} << QString()
        << FileTree{{"/a", "A1"}, {"/update/update.ini", "V2"}, {"/d/e/c", "C2"}, {"/new", "N"}};
    QTest::newRow("folder in place of a file") << backup << FileTree{{"/a/x", "X"}} << QStringList{"a"}
        << "删除目标文件失败: %D/a" << FileTree{{"/a/x", "X"}};
    QTest::newRow("file in place of a folder") << FileTree{{"/p/f", "F"}} << FileTree{{"/p", "P"}}
        << QStringList{"p/f"} << "回退文件失败: %B/p/f -> %D/p/f" << FileTree{{"/p", "P"}};
    QTest::newRow("file in place of a parent") << FileTree{{"/p/q/f", "F"}} << FileTree{{"/p", "P"}}
        << QStringList{"p/q/f"} << "无法创建目标文件目录: %D/p/q" << FileTree{{"/p", "P"}};
    QTest::newRow("folder inside a restored folder") << backup << FileTree{{"/d/e/c/x", "X"}} << QStringList{"d"}
        << "回退目录失败: %B/d -> %D/d" << FileTree{{"/d/e/c/x", "X"}};
}

void TestFileOperationManager::rollback()
{
    QFETCH(FileTree, backup);
    QFETCH(FileTree, installed);
    QFETCH(QStringList, paths);
    QFETCH(QString, error);
    QFETCH(FileTree, after);
    QTemporaryDir tmp;
    const QString b = tmp.path() + QStringLiteral("/Backup");
    const QString d = tmp.path() + QStringLiteral("/app");
    writeTree(b, backup);
    writeTree(d, installed);
    QDir().mkpath(d);

    CFileOperationManager manager;
    QCOMPARE(manager.rollbackFiles(b, d, paths), error.isEmpty());
    QCOMPARE(manager.lastError(), error.replace(QStringLiteral("%B"), b).replace(QStringLiteral("%D"), d));
    QCOMPARE(hashTree(d), treeHashes(after));
    QCOMPARE(hashTree(b), treeHashes(backup));
}

QTEST_GUILESS_MAIN(TestFileOperationManager)
#include "tst_fileoperationmanager.moc"
