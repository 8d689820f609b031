// Applying staged files to a throw-away installation, rolling back, and the
// update helper modes: the controller runs in this process on the
// installation it is given.
#include "app/controler.h"
#include "config/systemconfig.h"
#include "log/logger.h"
#include "platform/headless.h"
#include "support/filetree.h"
#include "support/testinstall.h"

#include <QApplication>
#include <QtTest>

#include <functional>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const QString kTemp = QStringLiteral("/UpdateTemp");
const QString kBackup = QStringLiteral("/Backup");

// Runs a controller on the installation with the given arguments, then
// step; returns what it logged.
QByteArray runControler(const TestInstall &install, const QStringList &arguments,
                        const std::function<void(CControler &)> &step)
{
    QTemporaryDir logDir;
    initLogger(logDir.filePath("run.log").toStdString());
    {
        CSystemConfig config(install.filePath("system.cfg"));
        CControler controler(InstallLayout::fromConfig(install.path(), config), &config);
        if (controler.init()) {
            controler.parseArguments(arguments);
            step(controler);
        }
    }
    shutdownLogger();
    QFile log(logDir.filePath("run.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

// A finished download handed to the controller.
QByteArray applyDownloadedUpdate(const TestInstall &install)
{
    return runControler(install, {}, [](CControler &controler) { controler.onUpdateResult(true); });
}

// An installation whose helper program is the fake host too, so its start
// shows up with the helper's arguments.
void prepare(TestInstall &install, const FileTree &installed, const FileTree &staged, const QString &backup = "Backup/")
{
    TestInstall::Settings settings = TestInstall::defaultSettings();
    settings["Update"]["UpdateHelperExe"] = programName("host");
    settings["Paths"]["Backup"] = backup;
    install.writeConfig(settings);
    writeTree(install.path(), installed);
    writeTree(install.path() + kTemp, staged);
}

FileTree with(FileTree tree, const FileTree &more)
{
    tree.insert(more);
    return tree;
}

QMap<QString, QString> without(QMap<QString, QString> tree, const QStringList &prefixes)
{
    for (const QString &prefix : prefixes) {
        for (const QString &key : tree.keys()) {
            if (key.startsWith(prefix + '/'))
                tree.remove(key);
        }
    }
    return tree;
}

// Restores the immutable attribute's absence so the temp folder can go.
// A file that can be neither removed nor overwritten: immutable on Linux,
// held open without sharing on Windows, as a loaded DLL or a running
// program is.
struct UnreplaceableFile
{
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool make(const QString &file)
    {
        handle = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(file).utf16()), GENERIC_READ,
                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    }
    ~UnreplaceableFile()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
#else
    QString path;
    bool make(const QString &file)
    {
        if (QProcess::execute("chattr", {"+i", file}) != 0)
            return false;
        path = file;
        return true;
    }
    ~UnreplaceableFile()
    {
        if (!path.isEmpty())
            QProcess::execute("chattr", {"-i", path});
    }
#endif
};

const FileTree kInstalled{{"/a.txt", "A1"}, {"/d/a.txt", "DA1"}, {"/d/c.txt", "DC1"},
                          {"/update/update.ini", "V1"}, {"/update/updateTmp.ini", "V2"}, {"/md5.txt", "M1"}};
const FileTree kStaged{{"/a.txt", "A2"}, {"/d/a.txt", "DA2"}, {"/d/b.txt", "DB2"}, {"/d/c.txt", "DC2"}, {"/new.txt", "N"}};

} // namespace

class TestApplyUpdate : public QObject
{
    Q_OBJECT
private slots:
    void apply_data();
    void apply();
    void failedReplace_data();
    void failedReplace();
    void helperMode_data();
    void helperMode();
};

void TestApplyUpdate::apply_data()
{
    QTest::addColumn<FileTree>("installed");
    QTest::addColumn<FileTree>("staged");
    QTest::addColumn<FileTree>("changes"); // below the installation, after the run
    QTest::addColumn<QString>("started");  // the line the started program writes

    QTest::newRow("files, folders, new version files")
        << FileTree{{"/a.txt", "A1"}, {"/d/b.txt", "B1"}, {"/d/keep.txt", "K"}, {"/update/update.ini", "V1"},
                    {"/update/updateTmp.ini", "V2"}, {"/update/md5Tmp.txt", "M2"}, {"/md5.txt", "M1"}}
        << FileTree{{"/a.txt", "A2"}, {"/d/b.txt", "B2"}, {"/d/e/new.txt", "N"}, {"/new.txt", "N2"},
                    {"/d/update.exe", "U"}, {"/.hidden", "H"}}
        << FileTree{{"/a.txt", "A2"}, {"/d/b.txt", "B2"}, {"/d/e/new.txt", "N"}, {"/new.txt", "N2"},
                    {"/d/update.exe", "U"}, {"/update/update.ini", "V2"}, {"/md5.txt", "M2"}}
        << "started";
    QTest::newRow("staged update.ini and md5.txt at the top")
        << FileTree{{"/update/update.ini", "V1"}, {"/md5.txt", "M1"}}
        << FileTree{{"/update.ini", "V3"}, {"/md5.txt", "M3"}, {"/sub/update.ini", "S"}}
        << FileTree{{"/update/update.ini", "V3"}, {"/md5.txt", "M3"}, {"/sub/update.ini", "S"}} << "started";
    QTest::newRow("updateTmp.ini wins over a staged update.ini")
        << FileTree{{"/update/update.ini", "V1"}, {"/update/updateTmp.ini", "V2"}}
        << FileTree{{"/update.ini", "V3"}} << FileTree{{"/update/update.ini", "V2"}} << "started";
    QTest::newRow("nothing staged") << FileTree{{"/update/update.ini", "V1"}, {"/update/updateTmp.ini", "V2"}}
        << FileTree{} << FileTree{{"/update/update.ini", "V2"}} << "started";
    QTest::newRow("new updater staged: helper started, folders kept")
        << FileTree{{"/a.txt", "A1"}, {"/update/update.ini", "V1"}, {"/update/updateTmp.ini", "V2"}}
        << FileTree{{"/update.exe", "U"}, {"/a.txt", "A2"}}
        << FileTree{{"/a.txt", "A2"}, {"/update/update.ini", "V2"}, {"/Backup/a.txt", "A1"},
                    {"/Backup/update/update.ini", "V1"}}
        << "started update.exe update.exe";
}

void TestApplyUpdate::apply()
{
    QFETCH(FileTree, installed);
    QFETCH(FileTree, staged);
    QFETCH(FileTree, changes);
    QFETCH(QString, started);
    TestInstall install;
    prepare(install, installed, staged);
    const bool selfUpdate = started.contains("update.exe");
    QMap<QString, QString> expected = hashTree(install.path());
    if (!selfUpdate)
        expected = without(expected, {kTemp});
    expected.insert(treeHashes(changes));

    applyDownloadedUpdate(install);
    QCOMPARE(install.waitForHostStarts(1), 1);
    QCOMPARE(install.readFile("host_started.txt"), (started + '\n').toUtf8());
    QCOMPARE(hashTree(install.path(), {"/host_started.txt"}), expected);
    QCOMPARE(QFileInfo::exists(install.path() + kTemp), selfUpdate);
    QCOMPARE(QFileInfo::exists(install.path() + kBackup), selfUpdate);
}

void TestApplyUpdate::failedReplace_data()
{
    QTest::addColumn<FileTree>("installed");
    QTest::addColumn<QString>("immutable");
    QTest::addColumn<QStringList>("logs"); // "!" + text: must not appear
    QTest::addColumn<bool>("cleared");

    QTest::newRow("folder where a file is expected") << with(kInstalled, {{"/d/b.txt/x", "X"}}) << ""
        << QStringList{"d/a.txt->", "复制目录失败:", "文件回退完成"} << true;
    QTest::newRow("immutable file") << with(kInstalled, {{"/d/b.txt", "DB1"}}) << "d/b.txt"
        << QStringList{"d/a.txt->", "无法删除现有文件:", "文件回退完成"} << true;
    QTest::newRow("stale backup of the version file")
        << with(kInstalled, {{"/Backup/update/update.ini", "OLD"}}) << ""
        << QStringList{"备份update.ini失败:", "备份特殊文件失败", "!开始执行文件替换操作"} << false;
}

// The installation keeps every file it had, byte for byte; only staged files
// new to it may have been added. A rollback that completes also drops the
// downloaded version description and manifest of the undone update.
void TestApplyUpdate::failedReplace()
{
    QFETCH(FileTree, installed);
    QFETCH(QString, immutable);
    QFETCH(QStringList, logs);
    QFETCH(bool, cleared);
    TestInstall install;
    prepare(install, installed, kStaged);
    UnreplaceableFile guard;
    if (!immutable.isEmpty()) {
#ifdef Q_OS_WIN
        QVERIFY(guard.make(install.filePath(immutable)));
#else
        if (!guard.make(install.filePath(immutable)))
            QSKIP("the file system does not support the immutable attribute");
#endif
    }
    QMap<QString, QString> before = without(hashTree(install.path()), {kTemp, kBackup});

    const QByteArray logged = applyDownloadedUpdate(install);
    for (const QString &log : logs)
        QVERIFY2(logged.contains(log.mid(log.startsWith('!')).toUtf8()) != log.startsWith('!'), qPrintable(log));
    const QMap<QString, QString> after = without(hashTree(install.path()), {kTemp, kBackup});
    if (cleared) {
        QVERIFY(!after.contains("/update/updateTmp.ini"));
        QVERIFY(!after.contains("/update/md5Tmp.txt"));
        before.remove("/update/updateTmp.ini");
        before.remove("/update/md5Tmp.txt");
    }
    const QMap<QString, QString> stagedHashes = treeHashes(kStaged);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        QCOMPARE(it.value(), before.contains(it.key()) ? before.value(it.key()) : stagedHashes.value(it.key()));
    QCOMPARE(QFileInfo::exists(install.path() + kTemp), !cleared);
    QCOMPARE(QFileInfo::exists(install.path() + kBackup), !cleared);
    QCOMPARE(install.waitForHostStarts(1, 2500), 0);
}

void TestApplyUpdate::helperMode_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<bool>("cleared");
    QTest::addColumn<bool>("hostStarted");
    QTest::addColumn<QString>("log");

    const QStringList faile{"updatehelper", "HelperFaile"};
    QTest::newRow("HelperFaile") << faile << "Backup/" << true << true << false << "文件回退完成";
    QTest::newRow("no result word") << QStringList{"updatehelper"} << "Backup" << true << true << false << "文件回退完成";
    QTest::newRow("HelperSuccess") << QStringList{"updatehelper", "HelperSuccess"} << "Backup/" << false << true
                                   << true << "Deleted temp file: ";
    QTest::newRow("Backup not configured") << faile << "" << false << false << false << "备份目录未配置";
    QTest::newRow("Backup naming the program folder") << faile << "." << false << false << false
                                                      << "临时目录或备份目录配置无效";
}

void TestApplyUpdate::helperMode()
{
    QFETCH(QStringList, args);
    QFETCH(QString, backup);
    QFETCH(bool, restored);
    QFETCH(bool, cleared);
    QFETCH(bool, hostStarted);
    QFETCH(QString, log);
    TestInstall install;
    const FileTree original{{"/a.txt", "A1"}, {"/update/update.ini", "[Version]\nVersion=1.0.0\n"},
                            {"/UpdateTmp/update.exe", "new updater"}, {"/UpdateTmp/keep.txt", "K"}};
    prepare(install, original, {{"/a.txt", "A2"}}, backup);
    const QMap<QString, QString> before = hashTree(install.path(), {kTemp});
    writeTree(install.path() + kBackup, {{"/a.txt", "A1"}, {"/update/update.ini", original["/update/update.ini"]}});
    writeTree(install.path(), {{"/a.txt", "A2 changed"}, {"/update/update.ini", "[Version]\nVersion=2.0.0\n"}});
    QMap<QString, QString> expected = restored ? before : without(hashTree(install.path()), {kTemp, kBackup});
    if (hostStarted)
        expected.remove("/UpdateTmp/update.exe");

    const QByteArray logged = runControler(install, args, [](CControler &controler) { controler.runHelperMode(); });
    QCOMPARE(install.hostStarts(), 0); // a delayed start, not yet
    QVERIFY2(logged.contains(log.toUtf8()), qPrintable(log));
    QCOMPARE(without(hashTree(install.path()), {kTemp, kBackup}), expected);
    if (restored)
        QCOMPARE(install.readFile("update/update.ini"), original["/update/update.ini"]);
    QCOMPARE(QFileInfo::exists(install.path() + kTemp), !cleared);
    QCOMPARE(QFileInfo::exists(install.path() + kBackup), !cleared);
    QCOMPARE(install.waitForHostStarts(1, hostStarted ? 10000 : 2500), hostStarted ? 1 : 0);
}

int main(int argc, char **argv)
{
    useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    TestApplyUpdate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_applyupdate.moc"
