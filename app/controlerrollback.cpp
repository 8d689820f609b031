// The controller's rollback run ("update.exe rollback"): the version kept
// before the last update (Update/KeepPrevious) is put back as one
// transaction, then the host program starts.
#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/systemconfig.h"
#include "fileops/applytransaction.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

const QString kNothingKept = QStringLiteral("没有可回退的上一版本（未保留上一版本，或已回退过）");

} // namespace

ApplyTransaction CControler::makeTransaction() const
{
    ApplyTransaction transaction(appDir, tempDir, backupDir, layout.parkedUpdater + config->getUpdateExe());
    transaction.setPreviousVersion(
        {layout.previous, config->keepsPrevious(), config->getTransferLimits().diskReserveBytes});
    return transaction;
}

bool CControler::runRollback()
{
    logPhase(QStringLiteral("开始回退到上一版本"));
    // The end of the run travels through the event loop, as an update's does.
    awaitingResult = true;
    model->showUpdateWindow();
    if (!recoverUnfinishedApply()) {
        installationIntact = false;
        finishRollback(false, lastError);
        return false;
    }
    if (!hasSafeWorkDirs(true)) {
        finishRollback(false, lastError);
        return false;
    }
    removeBackupDir();
    model->showInstalling();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    ApplyTransaction transaction = makeTransaction();
    if (transaction.rollBack() == ApplyTransaction::Result::Done) {
        logPhase(QStringLiteral("已回退到上一版本"));
        finishRollback(true, QString());
        return true;
    }
    const ApplyFailure failure = transaction.failure();
    if (failure.step == ApplyFailure::Kept) {
        logError(kNothingKept);
        finishRollback(false, kNothingKept);
        return false;
    }
    installationIntact = transaction.undone();
    finishRollback(false, failureMessage(QStringLiteral("回退失败（"), failure, installationIntact));
    return false;
}

void CControler::finishRollback(bool done, const QString &error)
{
    success = done;
    lastError = error;
    // The line comes at the end: "update" says whether the previous version
    // is installed now.
    if (runMode == RunMode::Console)
        printJson(resultJson(done, done, error));
    if (!done) {
        model->showRunEnd(RunEnd::Failed, error);
        endFailedRun();
        return;
    }
    model->showRunEnd(RunEnd::Succeeded, QString());
    launchHostProgram();
    QTimer::singleShot(someoneWatches() ? kSuccessShownMs : 0, qApp, &QCoreApplication::quit);
}
