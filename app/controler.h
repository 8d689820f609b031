#pragma once

#include "app/runmode.h"
#include "fileops/applytransaction.h"
#include "fileops/installlayout.h"
#include "platform/connectioncost.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class Widget;
class UpdateWidget;
class CUpdateModel;
class CFileOperationManager;
class CSystemConfig;
class TempFileWriter;

// Drives one run: run mode, clean-up of an earlier run, the update check, the
// console result, the download, and after it the apply transaction and
// the hand-over to the host program or the update helper.
//
// Lives on main's stack. Owns the two windows (created without parent, each
// when a run first needs it), the model and the file operation manager
// (QObject children). Works on the installation it is given; config is that
// installation's system.cfg and must outlive the controller.
class CControler : public QObject
{
    Q_OBJECT
public:
    // The running program's installation and CSystemConfig::instance().
    CControler();
    CControler(const InstallLayout &layout, CSystemConfig *config);
    ~CControler() override;

    // Creates model and file manager; false when the file manager is not
    // ready (logged).
    bool init();
    // Stores the arguments and picks the run mode; false for update helper mode.
    bool parseArguments(const QStringList &list);
    // Normal and console runs: clean-up, check, console line, download start;
    // with the word "rollback" the rollback run instead.
    bool start();
    bool hasVisibleWindow() const;
    // A download was started and its result has not arrived yet: the event
    // loop must run to deliver it, even when no window is visible.
    bool isAwaitingResult() const { return awaitingResult; }
    // Replaces how the connection's cost is asked (tests; default: the
    // system's). Before start().
    void setConnectionCostProbe(ConnectionCostProbe probe) { connectionCost = std::move(probe); }
    // False once the run failed or was cancelled.
    bool isSuccess() const { return success; }
    // Update helper mode: finish (HelperSuccess) or roll back.
    void runHelperMode();

    QJsonObject buildResultJson() const;
    // The console result line: {"success", "update", "errormsg"}.
    static QJsonObject resultJson(bool success, bool update, const QString &error);
    // One compact JSON line on standard output, then a flush.
    static void printJson(const QJsonObject &object);

    // Relaunch (delayed start script). False with lastError set when the
    // start could not be prepared.
    bool launchHostProgram();
    bool launchUpdateHelper();

    // File operations on the installation. See app/controlerfileops.cpp.
    // Applies the staged files as one transaction (fileops/applytransaction.h).
    // Done and Handover as there; Failed with lastError set to the whole
    // failure text, restored telling whether the installation is back as it
    // was. Between its steps the windows repaint (input waits).
    bool applyStagedFiles(bool &handover, bool &restored);
    // Follows a journal an earlier run left behind. False (lastError set)
    // when an unfinished apply could not be undone.
    bool recoverUnfinishedApply();
    // The rollback run (app/controlerrollback.cpp): after the recovery and
    // the settings check, the kept previous version goes back as one
    // transaction (ApplyTransaction::rollBack), then the host program
    // starts. Refused (false, exit code 1, the reason in the log, the window
    // and the console line, which comes at the end) when nothing is kept.
    bool runRollback();
    bool checkSelfUpdate();
    // The staged release against its signed statement when Update/PublicKey
    // is set (trust/stagedrelease.h); without keys a warning. False with
    // lastError set when the release is not to be installed.
    bool verifyStagedRelease();
    void removeTempDir();
    void removeBackupDir();
    void cleanTempFiles();

    // False (with lastError) when Temp or Backup would make the staging,
    // backup or previous version's folder the installation itself, lie
    // outside it, overlap, or hold a file the installed md5.txt lists. The
    // last is asked of the folders that exist now, and with `aboutToFill` of
    // all (the run is to make or use them); a run that finds none and makes
    // none leaves md5.txt unread (its cost grows with the installation).
    bool hasSafeWorkDirs(bool aboutToFill);

    // The channels' windows, each made on its first need (a check that
    // finds nothing over TCP builds none; see CUpdateModel::setWindows) and
    // owned by the controller.
    Widget *httpWindow();
    UpdateWidget *tcpProgressWindow();

public slots:
    void onUpdateResult(bool bSuccess);

private:
    // How long a watched window shows a successful run before it ends.
    static constexpr int kSuccessShownMs = 1500;

    void logPaths();
    // A transaction on this installation, with the previous version's place
    // and Update/KeepPrevious.
    ApplyTransaction makeTransaction() const;
    // The whole text of a failed apply or rollback: lead, the step and the
    // file, and whether the installation is back as it was.
    QString failureMessage(const QString &lead, const ApplyFailure &failure, bool restored) const;
    void finishRollback(bool done, const QString &error);
    // The result line on standard output, in console mode only.
    void printConsoleResult() const;
    // After a failed download or apply: keeps the window open while a person
    // can read it; ends the event loop with 1 when nobody can (console mode,
    // no display, the window already closed). A normal run whose
    // installation is unchanged starts the host program as the loop ends.
    void endFailedRun();
    // A person can read the window: a normal run on a display, a window shown.
    bool someoneWatches() const;
    // An apply that failed: text (naming what failed) becomes the result's
    // error and the window's failure text.
    void failInstall(const QString &text);
    // Ends a run that refuses to update: the JSON line in console mode, the
    // host program in normal mode.
    void refuseRun();
    bool launchProgram(QString (CSystemConfig::*exeName)() const, const QStringList &arguments);
    // Moves the whole files the staging folder holds into the partial
    // downloads, under their MD5, for a later run to take by digest.
    void keepFetchedFiles();
    // Removes what a download left: the staging folder and the downloaded
    // version description and manifest.
    void discardDownload();
    // Only the downloaded version description and manifest (the staging
    // folder is not to be touched when its setting is unsafe).
    void discardVersionFiles();
    void removeWorkDir(const QString &dir);
    // An update found on a metered connection is not downloaded unless
    // OnMetered allows it: the run says so and ends as one without an
    // update. True when the download waits.
    bool deferOnMeteredConnection();
    // Ends a run whose check found an update that is not taken now, as one
    // without an update: reason (may be empty) is the result's text.
    void endWithoutUpdate(const QString &reason);

    // Release control, see app/controlerrelease.cpp.
    // The offered release's staged rollout leaves this installation out:
    // the run says so and ends as one without an update. True then.
    bool withheldByRollout();
    // The share of installations the checked release is offered to.
    int offeredRollout() const;
    // True when a release offered to percent of the installations is not
    // for this one now: its group lies outside the share (drawn on first
    // need) or cannot be kept, and the run was not asked to update now.
    bool outsideRollout(int percent);
    // False (lastError set) when the downloaded TCP release names a lowest
    // installed version above this one: the server offered what the
    // installation cannot take (it has no stepping stone to offer, or
    // predates them). HTTP follows a release's stepping stone at its check.
    bool releaseApplies();

    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
    CUpdateModel *model = nullptr;
    CFileOperationManager *fileManager = nullptr;
    // Where the TCP road writes what it receives: this installation's
    // staging folder, with the configured disk reserve.
    std::unique_ptr<TempFileWriter> stagingWriter;
    RunMode runMode = RunMode::Normal;
    bool updateAvailable = false;
    bool rollbackRequested = false;
    bool success = true;
    bool awaitingResult = false;
    // False once an apply failed and could not be undone completely.
    bool installationIntact = true;
    QString lastError;
    QStringList args;
    ConnectionCostProbe connectionCost = systemConnectionCost;
    const InstallLayout layout;
    CSystemConfig *const config;
    // Shorthands for the three places every operation uses.
    const QString &appDir = layout.installation;
    const QString &tempDir = layout.staging;
    const QString &backupDir = layout.backup;
};
