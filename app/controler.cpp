#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/layout.h"
#include "fileops/pathpolicy.h"
#include "http/widget.h"
#include "log/logger.h"
#include "platform/consoleoutput.h"
#include "tcp/updatewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

// Text reported when Temp or Backup does not name a folder of its own inside
// the installation.
const QString kUnsafeWorkDirs = QStringLiteral("临时目录或备份目录配置无效，未执行更新");

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
    delete httpDialog;
    httpDialog = nullptr;
    delete tcpWindow;
    tcpWindow = nullptr;
    delete fileManager;
    fileManager = nullptr;
    delete model;
    model = nullptr;
}

bool CControler::init()
{
    httpDialog = new Widget(nullptr);
    httpDialog->setSettings(HttpUpdateSettings::fromConfig(layout, *config));
    tcpWindow = new UpdateWidget(nullptr);
    model = new CUpdateModel(this);
    model->setWindows(httpDialog, tcpWindow);
    connect(model, &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);
    fileManager = new CFileOperationManager(this);
    if (!fileManager->initialize()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    logPaths();
    return true;
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
    return true;
}

bool CControler::hasSafeWorkDirs()
{
    using namespace PathPolicy;
    const bool inside = isStrictlyInside(appDir, tempDir) && isStrictlyInside(appDir, backupDir);
    const bool separate = !isSameFolder(tempDir, backupDir) && !isStrictlyInside(tempDir, backupDir)
        && !isStrictlyInside(backupDir, tempDir);
    if (inside && separate)
        return true;
    lastError = kUnsafeWorkDirs;
    logError(kUnsafeWorkDirs + QStringLiteral(": ") + tempDir + QStringLiteral(" ") + backupDir);
    return false;
}

void CControler::removeWorkDir(const QString &dir)
{
    // Never the installation itself or a folder that holds it.
    if (dir.isEmpty() || !QFileInfo(dir).isDir() || PathPolicy::isSameFolder(dir, appDir)
        || PathPolicy::isStrictlyInside(dir, appDir))
        return;
    QDir(dir).removeRecursively();
}

void CControler::removeTempDir()
{
    removeWorkDir(tempDir);
}

void CControler::removeBackupDir()
{
    removeWorkDir(backupDir);
}

bool CControler::restoreUnfinishedUpdate()
{
    // A backup is removed at the end of every finished apply. One that is
    // still here means an earlier run stopped half-way (killed while
    // replacing, or a self-update hand-off that never completed), so the
    // installation may be a mix of two versions: restore it first. When that
    // fails, keep both folders so nothing is lost.
    if (!QFileInfo(backupDir).isDir() || QDir(backupDir).isEmpty(Layout::kListing))
        return true;
    logWarn("发现未完成的更新，先从备份回退:" + backupDir);
    if (rollback())
        return true;
    if (lastError.isEmpty())
        lastError = QStringLiteral("回退未完成的更新失败");
    return false;
}

bool CControler::start()
{
    if (runMode == RunMode::Helper)
        return false;

    // Unsafe Temp/Backup settings refuse the run before any channel is
    // asked. Without any configured channel there is nothing to refuse: the
    // check below reports that, and touches no file.
    if (!hasSafeWorkDirs()) {
        if (CUpdateModel::hasConfiguredChannel(*config)) {
            success = false;
            printConsoleResult();
            return false;
        }
    } else {
        if (!restoreUnfinishedUpdate()) {
            success = false;
            printConsoleResult();
            return false;
        }
        removeBackupDir();
        removeTempDir();
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
        if (runMode == RunMode::Console)
            printConsoleResult();
        else
            launchHostProgram();
        return false;
    case 1:
        success = true;
        lastError = model->lastError();
        printConsoleResult();
        model->showUpdateWindow();
        return model->startUpdate();
    default:
        return true;
    }
}

bool CControler::hasVisibleWindow() const
{
    return httpDialog && tcpWindow && (httpDialog->isVisible() || tcpWindow->isVisible());
}

void CControler::runHelperMode()
{
    if (runMode != RunMode::Helper)
        return;
    if (args.contains(QLatin1String(Names::kArgHelperSuccess))) {
        removeBackupDir();
        removeTempDir();
        cleanTempFiles();
        launchHostProgram();
    } else {
        rollback();
    }
}

void CControler::onUpdateResult(bool bSuccess)
{
    if (!bSuccess || !backupFiles()) {
        endFailedRun();
        return;
    }
    if (!replaceFiles()) {
        rollback();
        endFailedRun();
        return;
    }
    if (!checkSelfUpdate()) {
        removeBackupDir();
        removeTempDir();
        launchHostProgram();
    } else {
        launchUpdateHelper();
    }
    QCoreApplication::quit();
}

void CControler::endFailedRun()
{
    // A person reads the failure in the window and closes it. A calling
    // program has nobody to close it: in console mode the run ends, and the
    // exit code 1 says that the update announced on standard output failed.
    if (runMode == RunMode::Console)
        QCoreApplication::exit(1);
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
