// Applying staged files to a throw-away installation, rolling back, and the
// update helper modes: the controller runs in this process on the
// installation it is given.
#include "app/controler.h"
#include "config/systemconfig.h"
#include "fileops/applyjournal.h"
#include "log/logger.h"
#include "platform/headless.h"
#include "http/md5manifest.h"
#include "platform/connectioncost.h"
#include "support/filetree.h"
#include "support/nginxserver.h"
#include "support/testfiles.h"
#include "support/testinstall.h"
#include "support/unreplaceablefile.h"

#include "tcp/updatewidget.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
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
    return readTestFile(logDir.filePath("run.log"));
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
    // Made and marked by the run that downloaded it.
    writeTestFile(install.path() + kTemp + "/.update-work", QByteArray());
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

const FileTree kInstalled{
    {"/a.txt", "A1"}, {"/d/a.txt", "DA1"}, {"/d/c.txt", "DC1"}, {"/update/update.ini", "V1"}, {"/md5.txt", "M1"}};
const FileTree kStaged{{"/a.txt", "A2"},  {"/d/a.txt", "DA2"}, {"/d/b.txt", "DB2"},
                       {"/d/c.txt", "DC2"}, {"/new.txt", "N"},  {"/update.ini", "V2"}};

} // namespace

class TestApplyUpdate : public QObject
{
    Q_OBJECT
private slots:
    void costFlags_data();
    void costFlags();
    // Before the applies: each ends by asking the application to quit, which
    // would end the check's nested event loops here at once.
    void meteredConnection_data();
    void meteredConnection();
#ifdef Q_OS_WIN
    void systemConnectionCost();
#endif
    void apply_data();
    void apply();
    void failedReplace_data();
    void failedReplace();
    void helperMode_data();
    void helperMode();
    void installIsPainted();
};

void TestApplyUpdate::costFlags_data()
{
    QTest::addColumn<uint>("flags");
    QTest::addColumn<int>("cost");
    QTest::newRow("nothing known") << 0u << int(ConnectionCost::Unknown);
    QTest::newRow("unrestricted") << 0x1u << int(ConnectionCost::Unrestricted);
    QTest::newRow("unrestricted, congested") << 0x20001u << int(ConnectionCost::Unrestricted);
    QTest::newRow("fixed plan") << 0x2u << int(ConnectionCost::Metered);
    QTest::newRow("paid by the byte") << 0x4u << int(ConnectionCost::Metered);
    QTest::newRow("unrestricted, roaming") << 0x40001u << int(ConnectionCost::Metered);
    QTest::newRow("over the limit") << 0x10002u << int(ConnectionCost::Metered);
    QTest::newRow("near the limit") << 0x80001u << int(ConnectionCost::Metered);
}

void TestApplyUpdate::costFlags()
{
    QFETCH(uint, flags);
    QTEST(int(costFromFlags(flags)), "cost");
}

// An update found on a metered connection is not downloaded unless
// OnMetered=download: the console line says no update started and nothing
// the check fetched stays behind.
void TestApplyUpdate::meteredConnection_data()
{
    QTest::addColumn<int>("cost");
    QTest::addColumn<QString>("onMetered");
    QTest::addColumn<bool>("waits");
    QTest::newRow("metered") << int(ConnectionCost::Metered) << "" << true;
    QTest::newRow("metered, other text") << int(ConnectionCost::Metered) << "wait" << true;
    QTest::newRow("metered, OnMetered=download") << int(ConnectionCost::Metered) << " Download" << false;
    QTest::newRow("unrestricted") << int(ConnectionCost::Unrestricted) << "" << false;
    QTest::newRow("unknown") << int(ConnectionCost::Unknown) << "" << false;
}

void TestApplyUpdate::meteredConnection()
{
    QFETCH(int, cost);
    QFETCH(QString, onMetered);
    QFETCH(bool, waits);
    QTemporaryDir www;
    writeTree(www.path(), {{"/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n"}, {"/v2/a.txt", "A2"}});
    generateMd5File(www.path() + "/v2/");
    NginxServer nginx(www.path());
    QVERIFY(nginx.isRunning());
    TestInstall install;
    TestInstall::Settings settings = TestInstall::defaultSettings();
    settings["Update"]["HttpEnable"] = "1";
    settings["Update"]["URL"] = nginx.baseUrl();
    settings["Update"]["OnMetered"] = onMetered;
    install.writeConfig(settings);
    writeTree(install.path(), {{"/a.txt", "A1"}, {"/update/update.ini", "[Version]\nVersion=1.0\n"}});
    int asked = 0;
    const QByteArray log = runControler(install, {"console"}, [&](CControler &controler) {
        controler.setConnectionCostProbe([&] {
            ++asked;
            return ConnectionCost(cost);
        });
        QCOMPARE(controler.start(), !waits);
        QCOMPARE(controler.isAwaitingResult(), !waits);
        if (!waits)
            return;
        const QString text = "发现新版本，但当前网络按流量计费，未下载更新";
        QCOMPARE(controler.buildResultJson(), CControler::resultJson(true, false, text));
        QVERIFY(controler.isSuccess());
    });
    // Asked once the check found an update, never before.
    QCOMPARE(asked, 1);
    QCOMPARE(log.contains("当前网络按流量计费"), waits);
    if (waits) {
        QCOMPARE(install.readFile("a.txt"), QByteArray("A1"));
        QVERIFY(!QFileInfo::exists(install.filePath("update/updateTmp.ini")));
        QVERIFY(!QFileInfo::exists(install.filePath("update/md5Tmp.txt")));
        QVERIFY(!QFileInfo::exists(install.filePath("UpdateTemp")));
    }
}

#ifdef Q_OS_WIN
// The system's own answer. Where the system has no cost service (Wine has
// none that says more than "unrestricted"), the download never waits.
void TestApplyUpdate::systemConnectionCost()
{
    const ConnectionCost cost = ::systemConnectionCost();
    QCOMPARE(::systemConnectionCost(), cost);
    const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (underWine) {
        QVERIFY(cost != ConnectionCost::Metered);
        QVERIFY(!downloadWaits(cost, QString()));
    }
}
#endif

void TestApplyUpdate::apply_data()
{
    QTest::addColumn<FileTree>("installed");
    QTest::addColumn<FileTree>("staged");
    QTest::addColumn<FileTree>("changes"); // below the installation, after the run
    QTest::addColumn<QString>("started");  // the line the started program writes

    // No check ran in these rows, so no road downloaded version files: a
    // downloaded update.ini lying in update/ belongs to another run.
    QTest::newRow("files, folders, new version files")
        << FileTree{{"/a.txt", "A1"}, {"/d/b.txt", "B1"}, {"/d/keep.txt", "K"}, {"/update/update.ini", "V1"},
                    {"/md5.txt", "M1"}}
        << FileTree{{"/a.txt", "A2"}, {"/d/b.txt", "B2"}, {"/d/e/new.txt", "N"}, {"/new.txt", "N2"},
                    {"/d/update.exe", "U"}, {"/.hidden", "H"}, {"/update.ini", "V2"}, {"/md5.txt", "M2"}}
        << FileTree{{"/a.txt", "A2"}, {"/d/b.txt", "B2"}, {"/d/e/new.txt", "N"}, {"/new.txt", "N2"},
                    {"/d/update.exe", "U"}, {"/update/update.ini", "V2"}, {"/md5.txt", "M2"}}
        << "started";
    QTest::newRow("staged update.ini and md5.txt at the top")
        << FileTree{{"/update/update.ini", "V1"}, {"/md5.txt", "M1"}}
        << FileTree{{"/update.ini", "V3"}, {"/md5.txt", "M3"}, {"/sub/update.ini", "S"}}
        << FileTree{{"/update/update.ini", "V3"}, {"/md5.txt", "M3"}, {"/sub/update.ini", "S"}} << "started";
    QTest::newRow("a stale updateTmp.ini is not installed")
        << FileTree{{"/update/update.ini", "V1"}, {"/update/updateTmp.ini", "V2"}}
        << FileTree{{"/update.ini", "V3"}} << FileTree{{"/update/update.ini", "V3"}} << "started";
    QTest::newRow("new updater staged: helper started, folders kept")
        << FileTree{{"/a.txt", "A1"}, {"/update/update.ini", "V1"}}
        << FileTree{{"/update.exe", "U"}, {"/a.txt", "A2"}, {"/update.ini", "V2"}}
        << FileTree{{"/a.txt", "A2"}, {"/update/update.ini", "V2"}} << "started update.exe update.exe";
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
    // The downloaded version files are moved into place, the staged files
    // too; the work folders and the journal are checked below.
    const QStringList work{kTemp + "/", kBackup + "/", "/update.journal", "/update/updateTmp.ini", "/update/md5Tmp.txt"};
    QMap<QString, QString> expected = hashTree(install.path(), work);
    expected.insert(treeHashes(changes));

    applyDownloadedUpdate(install);
    QCOMPARE(install.waitForHostStarts(1), 1);
    QCOMPARE(install.readFile("host_started.txt"), (started + '\n').toUtf8());
    QCOMPARE(hashTree(install.path(), work + QStringList{"/host_started.txt"}), expected);
    // A self-update leaves the staged updater and the journal to the helper.
    QCOMPARE(QFileInfo::exists(install.path() + kTemp + "/update.exe"), selfUpdate);
    QCOMPARE(QFileInfo::exists(install.filePath("update.journal")), selfUpdate);
    QCOMPARE(QFileInfo::exists(install.path() + kBackup), selfUpdate);
}

void TestApplyUpdate::failedReplace_data()
{
    QTest::addColumn<FileTree>("installed");
    QTest::addColumn<QString>("immutable");
    QTest::addColumn<QStringList>("logs"); // "!" + text: must not appear

    // Refused before anything was touched.
    QTest::newRow("folder where a file is expected") << with(kInstalled, {{"/d/b.txt/x", "X"}}) << ""
        << QStringList{"更新事务失败(1)", "!更新日志已写入", "安装失败（更新文件无法应用: d/b.txt），未改动已安装的文件"};
    QTest::newRow("immutable file") << with(kInstalled, {{"/d/b.txt", "DB1"}}) << "d/b.txt"
        << QStringList{"更新日志已写入", "更新事务失败(4)", "文件回退完成", "!更新已提交", "），已恢复原版本"};
}

// The installation keeps every file it had, byte for byte, and gains none.
// The downloaded version description and manifest of the update and its
// work folders go: the next run downloads afresh.
void TestApplyUpdate::failedReplace()
{
    QFETCH(FileTree, installed);
    QFETCH(QString, immutable);
    QFETCH(QStringList, logs);
    TestInstall install;
    prepare(install, installed, kStaged);
    UnreplaceableFile guard;
    if (!immutable.isEmpty()) {
        QVERIFY(guard.make(install.filePath(immutable)));
    }
    QMap<QString, QString> before = without(hashTree(install.path()), {kTemp, kBackup});

    const QByteArray logged = applyDownloadedUpdate(install);
    for (const QString &log : logs)
        QVERIFY2(logged.contains(log.mid(log.startsWith('!')).toUtf8()) != log.startsWith('!'), qPrintable(log));
    before.remove("/update/updateTmp.ini");
    before.remove("/update/md5Tmp.txt");
    QCOMPARE(without(hashTree(install.path()), {kTemp, kBackup}), before);
    QVERIFY(!QFileInfo::exists(install.path() + kTemp));
    QVERIFY(!QFileInfo::exists(install.path() + kBackup));
    QVERIFY(!QFileInfo::exists(install.filePath("update.journal")));
    QCOMPARE(install.waitForHostStarts(1, 2500), 0);
}

void TestApplyUpdate::helperMode_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QString>("phase"); // of the journal the helper left
    QTest::addColumn<QString>("after"); // "restored", "new" or "untouched"
    QTest::addColumn<bool>("hostStarted");
    QTest::addColumn<QString>("log");

    const QStringList faile{"updatehelper", "HelperFaile"};
    QTest::newRow("HelperFaile") << faile << "Backup/" << "handover" << "restored" << false << "文件回退完成";
    QTest::newRow("no result word") << QStringList{"updatehelper"} << "Backup" << "handover" << "restored" << false
                                    << "文件回退完成";
    QTest::newRow("HelperSuccess") << QStringList{"updatehelper", "HelperSuccess"} << "Backup/" << "committed"
                                   << "new" << true << "更新清理完成";
    // The helper was killed before its commit: the journal undoes it all.
    QTest::newRow("HelperSuccess, swap not committed") << QStringList{"updatehelper", "HelperSuccess"} << "Backup/"
                                                       << "handover" << "restored" << true << "文件回退完成";
    // A journal whose work folders are not the configured ones is not
    // followed: nothing is touched, and every run says why.
    QTest::newRow("Backup naming the program folder") << faile << "." << "handover" << "untouched" << false
                                                      << "回退未完成的更新失败";
}

void TestApplyUpdate::helperMode()
{
    QFETCH(QStringList, args);
    QFETCH(QString, backup);
    QFETCH(QString, phase);
    QFETCH(QString, after);
    QFETCH(bool, hostStarted);
    QFETCH(QString, log);
    TestInstall install;
    const QByteArray v1 = "[Version]\nVersion=1.0.0\n";
    const FileTree original{{"/a.txt", "A1"}, {"/update/update.ini", v1}, {"/UpdateTmp/keep.txt", "K"}};
    prepare(install, original, {{"/update.exe", "new updater"}}, backup);
    const QMap<QString, QString> before = hashTree(install.path(), {kTemp});
    // What the apply and the helper's swap leave: the files moved into the
    // backup, the new ones in place, the old updater parked.
    const QByteArray updater = install.readFile("update.exe");
    writeTree(install.path() + kBackup, {{"/a.txt", "A1"}, {"/update/update.ini", v1}});
    writeTree(install.path(), {{"/a.txt", "A2"}, {"/update/update.ini", "[Version]\nVersion=2.0.0\n"},
                               {"/UpdateTmp/update.exe", updater}});
    install.writeFile("update.journal",
                      serializeJournal({phase == "handover" ? ApplyPhase::Handover : ApplyPhase::Committed,
                                        "UpdateTemp", "Backup", {},
                                        {{JournalEntry::Replace, "a.txt", "UpdateTemp/a.txt", "Backup/a.txt"},
                                         {JournalEntry::Replace, "update/update.ini", "update/updateTmp.ini",
                                          "Backup/update/update.ini"},
                                         {JournalEntry::Updater, "update.exe", "UpdateTemp/update.exe",
                                          "UpdateTmp/update.exe"}}}));
    QMap<QString, QString> expected = after == "restored" ? before : without(hashTree(install.path()), {kTemp, kBackup});
    expected.remove("/update.journal");
    expected.remove("/UpdateTmp/update.exe");
    if (after == "untouched")
        expected = hashTree(install.path());

    const QByteArray logged = runControler(install, args, [](CControler &controler) { controler.runHelperMode(); });
    QCOMPARE(install.hostStarts(), 0); // a delayed start, not yet
    QVERIFY2(logged.contains(log.toUtf8()), qPrintable(log));
    QCOMPARE(hashTree(install.path()), expected);
    QCOMPARE(install.waitForHostStarts(1, hostStarted ? 10000 : 2500), hostStarted ? 1 : 0);
}

// The window is painted while the files are put in place and once they
// are: the install lets the event loop paint between its steps, and the
// success is drawn; cancel is not offered in either.
void TestApplyUpdate::installIsPainted()
{
    struct PaintRecorder : QObject
    {
        QLabel *status = nullptr;
        QPushButton *cancel = nullptr;
        QStringList painted; // the status text at each paint, "+" while cancel was offered
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (watched == status && event->type() == QEvent::Paint)
                painted << status->text() + (cancel->isVisible() && cancel->isEnabled() ? "+" : "");
            return false;
        }
    } recorder;
    TestInstall install;
    prepare(install, kInstalled, kStaged);
    runControler(install, {}, [&recorder](CControler &controler) {
        UpdateWidget *window = controler.tcpProgressWindow();
        recorder.status = window->findChild<QLabel *>("label_status");
        recorder.cancel = window->findChild<QPushButton *>("pushButton_cancel");
        recorder.status->installEventFilter(&recorder);
        window->beginRun();
        window->show();
        controler.onUpdateResult(true);
    });
    QVERIFY2(recorder.painted.contains("下载完成，正在安装更新…"), qPrintable(recorder.painted.join('|')));
    QVERIFY2(recorder.painted.endsWith("升级成功"), qPrintable(recorder.painted.join('|')));
    QCOMPARE(install.waitForHostStarts(1), 1);
}

int main(int argc, char **argv)
{
    useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    TestApplyUpdate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_applyupdate.moc"
