#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/layout.h"
#include "fileops/partialdownloads.h"
#include "fileops/pathpolicy.h"
#include "fileops/stagedconfig.h"
#include "fileops/tempfilewriter.h"
#include "fileops/workfolder.h"
#include "http/md5manifest.h"
#include "http/widget.h"
#include "log/logger.h"
#include "platform/consoleoutput.h"
#include "tcp/updatewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QTimer>

namespace {

// Text reported when Temp or Backup does not name a folder of its own inside
// the installation.
const QString kUnsafeWorkDirs = QStringLiteral("临时目录或备份目录配置无效，未执行更新");
// An update found while the connection is metered: not downloaded, and the
// result says no update started.
const QString kMeteredDeferred = QStringLiteral("发现新版本，但当前网络按流量计费，未下载更新");

} // namespace

CControler::CControler()
    : CControler(InstallLayout::ofProgram(), CSystemConfig::instance())
{
}

CControler::CControler(const InstallLayout &installLayout, CSystemConfig *systemConfig)
    : layout(installLayout)
    , config(systemConfig)
{
}

CControler::~CControler()
{
    // Windows torn down now report no result worth acting on.
    if (model)
        disconnect(model, nullptr, this, nullptr);
    delete httpDialog;
    httpDialog = nullptr;
    delete tcpWindow;
    tcpWindow = nullptr;
    delete fileManager;
    fileManager = nullptr;
    delete model;
    model = nullptr;
    flushLog();
}

bool CControler::init()
{
    stagingWriter = std::make_unique<TempFileWriter>(layout, config->getTransferLimits().diskReserveBytes);
    TcpUpdateSettings tcp = TcpUpdateSettings::fromConfig(layout, *config, stagingWriter.get());
    tcp.proxy = ProxySettings::fromConfig(*config);
    model = new CUpdateModel(tcp, config->isHttpEnable(), this);
    model->setWindows({[this] { return httpWindow(); }, [this] { return tcpProgressWindow(); }});
    connect(model, &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);
    fileManager = new CFileOperationManager(this);
    if (!fileManager->initialize()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    logPaths();
    return true;
}

Widget *CControler::httpWindow()
{
    if (!httpDialog) {
        httpDialog = new Widget(nullptr);
        httpDialog->setSettings(HttpUpdateSettings::fromConfig(layout, *config));
        httpDialog->setLogFile(logFilePath(layout.logPrefix));
    }
    return httpDialog;
}

UpdateWidget *CControler::tcpProgressWindow()
{
    if (!tcpWindow) {
        tcpWindow = new UpdateWidget(nullptr);
        tcpWindow->setLogFile(logFilePath(layout.logPrefix));
    }
    return tcpWindow;
}

void CControler::logPaths()
{
    logDebug("临时目录:" + tempDir);
    logDebug("备份目录:" + backupDir);
}

bool CControler::parseArguments(const QStringList &list)
{
    args = list;
    if (list.contains(QLatin1String(Names::kArgUpdateHelper))) {
        runMode = RunMode::Helper;
        return false;
    }
    runMode = list.contains(QLatin1String(Names::kArgConsole)) ? RunMode::Console : RunMode::Normal;
    rollbackRequested = list.contains(QLatin1String(Names::kArgRollback));
    return true;
}

bool CControler::hasSafeWorkDirs(bool aboutToFill)
{
    using namespace PathPolicy;
    const bool inside = isStrictlyInside(appDir, tempDir) && isStrictlyInside(appDir, backupDir);
    const auto apart = [](const QString &a, const QString &b) {
        return !isSameFolder(a, b) && !isStrictlyInside(a, b) && !isStrictlyInside(b, a);
    };
    // The previous version's folder is renamed from the backup folder and
    // removed whole: it too must be a folder of its own.
    const bool separate = apart(tempDir, backupDir) && apart(layout.previous, tempDir)
        && apart(layout.previous, backupDir);
    bool own = inside && WorkFolder::stateOf(appDir, tempDir) != WorkFolder::State::Foreign
        && WorkFolder::stateOf(appDir, backupDir) != WorkFolder::State::Foreign;
    // The folders are removed whole and filled by the update; none may hold
    // an installed file. A folder that does not exist holds none now:
    // removing it changes nothing.
    const QStringList folders{tempDir, backupDir, layout.previous};
    QStringList matter;
    for (const QString &folder : folders) {
        if (aboutToFill || QFileInfo::exists(folder))
            matter << folder;
    }
    if (own && !matter.isEmpty()) {
        const QString app = canonicalFolder(appDir);
        QStringList relative;
        for (const QString &folder : qAsConst(matter))
            relative << canonicalFolder(folder).mid(app.size());
        own = !listsFileUnder(readManifestText(appDir + Names::kMd5File), relative);
    }
    if (inside && separate && own)
        return true;
    lastError = kUnsafeWorkDirs;
    logError(kUnsafeWorkDirs + QStringLiteral(": ") + tempDir + QStringLiteral(" ") + backupDir);
    return false;
}

void CControler::removeWorkDir(const QString &dir)
{
    // Never the installation itself or a folder that holds it, never what
    // the updater did not make.
    if (dir.isEmpty() || !QFileInfo(dir).isDir() || PathPolicy::isSameFolder(dir, appDir)
        || PathPolicy::isStrictlyInside(dir, appDir))
        return;
    WorkFolder::remove(appDir, dir);
}

void CControler::keepFetchedFiles()
{
    if (WorkFolder::stateOf(appDir, tempDir) == WorkFolder::State::Own)
        PartialDownloads::ofInstallation(appDir).keepWhole(tempDir, config->getTransferLimits().diskReserveBytes);
}

void CControler::discardDownload()
{
    removeTempDir();
    discardVersionFiles();
}

void CControler::discardVersionFiles()
{
    QFile::remove(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile);
    QFile::remove(appDir + Names::kUpdateDir + Names::kMd5TmpFile);
}

void CControler::removeTempDir()
{
    removeWorkDir(tempDir);
}

void CControler::removeBackupDir()
{
    removeWorkDir(backupDir);
}

void CControler::refuseRun()
{
    success = false;
    if (runMode == RunMode::Console)
        printConsoleResult();
    else
        launchHostProgram();
}

bool CControler::start()
{
    if (runMode == RunMode::Helper)
        return false;
    if (rollbackRequested)
        return runRollback();

    // An apply an earlier run left unfinished is settled first, by its own
    // journal (the folders it names were checked when it was written).
    if (!recoverUnfinishedApply()) {
        success = false;
        printConsoleResult();
        return false;
    }
    // Unsafe Temp/Backup settings refuse the run before any channel is
    // asked. Without any configured channel there is nothing to refuse: the
    // check below reports that, and touches no file.
    if (!hasSafeWorkDirs(false)) {
        if (CUpdateModel::hasConfiguredChannel(*config)) {
            refuseRun();
            return false;
        }
    } else {
        // Nothing an earlier run fetched belongs to this one: a version file
        // left by a check that stopped half-way, or by a run that was killed,
        // would otherwise be installed with another road's release. Whole
        // files it staged are kept under their digest only.
        removeBackupDir();
        keepFetchedFiles();
        discardDownload();
    }

    const int rc = model->checkUpdate();
    updateAvailable = (rc == 1);
    switch (rc) {
    case -1:
        success = false;
        lastError = model->lastError();
        printConsoleResult();
        return false;
    case 0:
        // No update, or a check that failed: then the model says why, and
        // the run is no success even though the host program is started.
        lastError = model->lastError();
        success = lastError.isEmpty();
        discardDownload();
        // The installed version is the newest: nothing a cut-off download
        // kept can be needed any more.
        if (success)
            PartialDownloads::ofInstallation(appDir).removeAll();
        if (runMode == RunMode::Console)
            printConsoleResult();
        else
            launchHostProgram();
        return false;
    case 1:
        // A release withheld from this installation is no update: nothing
        // is to be made then.
        if (withheldByRollout())
            return false;
        // Now both folders are to be made and filled.
        if (!hasSafeWorkDirs(true)) {
            discardVersionFiles();
            refuseRun();
            return false;
        }
        if (deferOnMeteredConnection())
            return false;
        success = true;
        lastError = model->lastError();
        // Made and marked before the first byte lands: what this run leaves
        // there is the next run's to remove.
        WorkFolder::claim(appDir, tempDir);
        printConsoleResult();
        model->showUpdateWindow();
        awaitingResult = true;
        return model->startUpdate();
    default:
        return true;
    }
}

bool CControler::deferOnMeteredConnection()
{
    const QString onMetered =
        config->getValue(QString::fromLatin1(Names::kGroupUpdate), QString::fromLatin1(Names::kKeyOnMetered));
    if (!downloadWaits(connectionCost(), onMetered))
        return false;
    logWarn(kMeteredDeferred);
    endWithoutUpdate(kMeteredDeferred);
    return true;
}

void CControler::endWithoutUpdate(const QString &reason)
{
    updateAvailable = false;
    success = true;
    lastError = reason;
    // What the check fetched describes a download that does not happen.
    discardDownload();
    if (runMode == RunMode::Console)
        printConsoleResult();
    else
        launchHostProgram();
}

bool CControler::hasVisibleWindow() const
{
    return (httpDialog && httpDialog->isVisible()) || (tcpWindow && tcpWindow->isVisible());
}

void CControler::runHelperMode()
{
    if (runMode != RunMode::Helper)
        return;
    // The journal says whether the helper committed the swap (then only the
    // clean-up is left) or not (then the whole update is undone).
    if (!recoverUnfinishedApply() || !args.contains(QLatin1String(Names::kArgHelperSuccess)))
        return;
    if (hasSafeWorkDirs(true)) {
        removeBackupDir();
        removeTempDir();
        cleanTempFiles();
    }
    launchHostProgram();
}

void CControler::onUpdateResult(bool bSuccess)
{
    awaitingResult = false;
    if (!bSuccess) {
        // The window already shows why the download ended. Nothing of a
        // failed download stays staged; what arrived whole is kept for the
        // next run under its digest.
        keepFetchedFiles();
        discardDownload();
        endFailedRun();
        return;
    }
    const QString helper = appDir + config->getUpdateHelperExe();
    if (checkSelfUpdate() && !QFileInfo(helper).isFile()) {
        // Applied without a helper, the new updater would never be put in
        // place and the hand-over would start nothing.
        lastError = QStringLiteral("更新助手程序不存在，未执行更新: ") + layout.shownPath(helper);
        logError(QStringLiteral("更新助手程序不存在，未执行更新: ") + helper);
        model->showRunEnd(RunEnd::Failed, lastError);
        discardDownload();
        if (runMode == RunMode::Console) {
            endFailedRun();
        } else {
            success = false;
            launchHostProgram();
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return;
    }
    // Checked before the client's system.cfg is merged into the staged one.
    if (!releaseApplies() || !verifyStagedRelease()) {
        discardDownload();
        failInstall(QStringLiteral("更新被拒绝（") + lastError + QStringLiteral("），未改动已安装的文件"));
        return;
    }
    // A TCP update records the installed version in system.cfg; a release's
    // own system.cfg keeps the client's settings. Staged, the file is applied
    // and undone with the rest.
    if (!stageSystemConfig(layout, model->offeredVersion(), &lastError)) {
        failInstall(QStringLiteral("安装失败（") + lastError + QStringLiteral("），未改动已安装的文件"));
        return;
    }
    bool handover = false;
    bool restored = false;
    if (!applyStagedFiles(handover, restored)) {
        installationIntact = restored;
        failInstall(lastError);
        return;
    }
    model->showRunEnd(RunEnd::Succeeded, QString());
    if (handover)
        launchUpdateHelper();
    else
        launchHostProgram();
    // The success stays on the screen a moment, long enough to be read.
    QTimer::singleShot(someoneWatches() ? kSuccessShownMs : 0, qApp, &QCoreApplication::quit);
}

void CControler::failInstall(const QString &text)
{
    // Unless a journal still needs them, the staged files of a refused or
    // undone install go: the next run downloads afresh.
    if (!QFileInfo::exists(ApplyTransaction::journalPath(appDir)))
        discardDownload();
    lastError = text;
    model->showRunEnd(RunEnd::Failed, text);
    endFailedRun();
}

void CControler::endFailedRun()
{
    success = false;
    // A person reads the failure in the window and closes it. A calling
    // program, a run without a display or a closed window leave nobody to
    // close it: the run ends, and the exit code 1 says that the update
    // announced on standard output failed. Queued: a download that fails at
    // once reports before the event loop runs, and an exit asked for then
    // would be lost.
    // The installed version still works: the application starts when the
    // run ends (the window closed), as after a failed check.
    if (runMode == RunMode::Normal && installationIntact)
        connect(qApp, &QCoreApplication::aboutToQuit, this, &CControler::launchHostProgram, Qt::UniqueConnection);
    if (!someoneWatches())
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(1); });
}

bool CControler::someoneWatches() const
{
    const QString platform = QGuiApplication::platformName();
    const bool noDisplay = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    return runMode != RunMode::Console && !noDisplay && hasVisibleWindow();
}

QJsonObject CControler::buildResultJson() const
{
    return resultJson(success, updateAvailable, lastError);
}

QJsonObject CControler::resultJson(bool success, bool update, const QString &error)
{
    QJsonObject object;
    object.insert(QStringLiteral("success"), success);
    object.insert(QStringLiteral("update"), update);
    object.insert(QStringLiteral("errormsg"), error);
    return object;
}

void CControler::printConsoleResult() const
{
    if (runMode == RunMode::Console)
        printJson(buildResultJson());
}

void CControler::printJson(const QJsonObject &object)
{
    writeStdoutLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
