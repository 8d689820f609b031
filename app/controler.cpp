#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/layout.h"
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

// Canonical form of a path that may not exist yet: the deepest existing
// ancestor is resolved (links included) and the rest appended, so paths
// compare equal however the program folder was reached.
QString cleanAbsolute(const QString &path)
{
    QString rest;
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (!QFileInfo::exists(current)) {
        const int cut = current.lastIndexOf(QLatin1Char('/'));
        if (cut <= 0)
            return Layout::withSlash(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
        rest = current.mid(cut) + rest;
        current = current.left(cut);
    }
    return Layout::withSlash(QFileInfo(current).canonicalFilePath() + rest);
}

} // namespace

CControler::CControler()
    : appDir(QCoreApplication::applicationDirPath() + QLatin1Char('/'))
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
    tcpWindow = new UpdateWidget(nullptr);
    model = new CUpdateModel(this);
    model->setWindows(httpDialog, tcpWindow);
    connect(model, &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);
    fileManager = new CFileOperationManager(this);
    if (!fileManager->initialize()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    initPaths();
    return true;
}

void CControler::initPaths()
{
    CSystemConfig *config = CSystemConfig::instance();
    tempDir = Layout::withSlash(appDir + config->getTempPath());
    backupDir = Layout::withSlash(appDir + config->getBackupPath());
    logDebug(("临时目录:" + tempDir).toUtf8().toStdString());
    logDebug(("备份目录:" + backupDir).toUtf8().toStdString());
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

bool CControler::isRemovableWorkDir(const QString &dir) const
{
    if (dir.isEmpty())
        return false;
    const QString app = cleanAbsolute(appDir);
    const QString target = cleanAbsolute(dir);
    return !app.startsWith(target) && target != app;
}

bool CControler::hasSafeWorkDirs()
{
    const QString app = cleanAbsolute(appDir);
    const QString temp = cleanAbsolute(tempDir);
    const QString backup = cleanAbsolute(backupDir);
    const bool inside = temp.startsWith(app) && temp != app && backup.startsWith(app) && backup != app;
    const bool separate = !temp.startsWith(backup) && !backup.startsWith(temp);
    if (inside && separate)
        return true;
    lastError = kUnsafeWorkDirs;
    logError((kUnsafeWorkDirs + QStringLiteral(": ") + tempDir + QStringLiteral(" ") + backupDir).toUtf8().toStdString());
    return false;
}

void CControler::removeWorkDir(const QString &dir)
{
    if (dir.isEmpty() || !QFileInfo(dir).isDir() || !isRemovableWorkDir(dir))
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
    logWarn(("发现未完成的更新，先从备份回退:" + backupDir).toUtf8().toStdString());
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
        if (CUpdateModel::hasConfiguredChannel()) {
            success = false;
            if (runMode == RunMode::Console)
                printJson(buildResultJson());
            return false;
        }
    } else {
        if (!restoreUnfinishedUpdate()) {
            success = false;
            if (runMode == RunMode::Console)
                printJson(buildResultJson());
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
        if (runMode == RunMode::Console)
            printJson(buildResultJson());
        return false;
    case 0:
        // No update, or a check that failed: then the model says why, and
        // the run is no success even though the host program is started.
        lastError = model->lastError();
        success = lastError.isEmpty();
        if (runMode == RunMode::Console)
            printJson(buildResultJson());
        else
            launchHostProgram();
        return false;
    case 1:
        success = true;
        lastError = model->lastError();
        if (runMode == RunMode::Console)
            printJson(buildResultJson());
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
    QJsonObject object;
    object.insert(QStringLiteral("success"), success);
    object.insert(QStringLiteral("update"), updateAvailable);
    object.insert(QStringLiteral("errormsg"), lastError);
    return object;
}

void CControler::printJson(const QJsonObject &object)
{
    writeStdoutLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
