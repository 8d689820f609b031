#pragma once

#include "config/names.h"
#include "config/proxysettings.h"
#include "config/transferlimits.h"
#include "delta/patchplanner.h"
#include "delta/patchsource.h"
#include "fileops/downloadscheduler.h"
#include "fileops/diskreserve.h"
#include "fileops/installlayout.h"
#include "fileops/pathpolicy.h"
#include "http/filetransfer.h"
#include "http/md5manifest.h"
#include "ui/downloadprogress.h"
#include "ui/refreshpacer.h"
#include "ui/runwindow.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <optional>

class CSystemConfig;
class QProgressBar;

namespace Ui {
class Widget;
}

// Where the HTTP channel reads from and writes to. The product takes every
// value from the configuration; tests point a dialog at their own
// installation and server.
struct HttpUpdateSettings
{
    InstallLayout layout; // installation and staging folder
    QString baseUrl;      // Update/URL: prefix of "update.ini" and of the release folder
    int transferTimeoutMs = 120000; // per request, without data moving
    TransferLimits limits;          // deadline of the checks, least file rate, disk reserve
    bool fetchStatement = false;    // also stage the release's signed statement (Update/PublicKey set)
    QString caFile{};               // Update/CaFile: PEM certificates trusted besides the system's
    int parallelDownloads = 6;      // Update/ParallelDownloads: files in flight at once (1: one after another)
    ProxySettings proxy{};          // Update/Proxy and the credentials a proxy is answered with
    QVector<QByteArray> publicKeys{}; // Update/PublicKey: the keys a patch index must be signed by
    bool usePatches = true;           // fetch binary patches where the release has them
    RetryPolicy retry{};              // a file (also update.ini, md5.txt ...) whose transfer failed on the way is fetched again
    int refreshIntervalMs = RefreshPacer::kIntervalMs; // least time between two routine refreshes of the window

    static HttpUpdateSettings fromConfig(const InstallLayout &layout, const CSystemConfig &config);
};

// The HTTP update dialog, and the whole HTTP update logic: version check,
// manifest check, downloads into the staging folder (several files in
// flight at once, through the download scheduler: retries and a patch's
// fallback to the whole file), progress, cancellation and clean-up. Every
// run that starts ends with exactly one sigUpdateResult; the first file
// that fails for good ends it, and the others are dropped (partial files
// kept only where they can be resumed). The dialog never touches the
// installed files.
class Widget : public QDialog
{
    Q_OBJECT
public:
    // Qt opens at most this many connections to one server and queues
    // further requests inside, where their silence limit already runs: a
    // run never has more files in flight.
    static constexpr int kMaxConnections = 6;

    // Without an installation and a server until setSettings names them,
    // which comes before any check.
    explicit Widget(QWidget *parent = nullptr);
    // Emits sigUpdateResult(false); transfers in flight are dropped and their
    // partial files removed.
    ~Widget() override;

    // Replaces the configuration-derived settings (tests).
    void setSettings(const HttpUpdateSettings &settings);

    // 0 same version, 1 update needed, 2 update.ini not downloaded,
    // 3 update.ini unusable. Blocks in a nested event loop while the download
    // runs (downloadFile). description: the version description's name below
    // the base URL (another release's own, for a stepping stone).
    int checkServerVersion(const QString &description = Names::kUpdateIniFile);
    // After checkServerVersion found an update: when the installed version is
    // below the release's MinRequiredVersion, the description of its
    // SteppingStone release takes its place (checked as above). 1 when the
    // release, or its stepping stone, is to be installed, 2 when the stepping
    // stone's description was not downloaded, 3 when the release needs a
    // higher installed version and names no stepping stone that leads there
    // (none, an unusable one, or one that is installed already).
    int followSteppingStone();
    bool parseServerVersion();
    // 0 nothing changed, 1 changed files found, 2 md5.txt not downloaded
    // (also: larger than its limit, cut off, empty), 3 the server manifest
    // names a path that is not safe (nothing is downloaded then).
    int checkManifest();
    // One synchronous download of at most maxBytes, written to localPath as
    // it arrives. Only a 200 answer in the identity encoding counts;
    // redirects are followed when no less safe, a few at most. A failed
    // attempt is tried again as a release file is (the download scheduler's
    // rule: settings' retry, pauses included), each attempt bounded by the
    // request deadline; cancel ends it at once. On failure nothing is left at
    // localPath and statusDetail says why.
    bool downloadFile(const QString &url, const QString &localPath, qint64 maxBytes,
                      QProgressBar *progressBar = nullptr);
    // Downloads changedFiles, settings' parallelDownloads at once (at most
    // kMaxConnections); the result arrives through sigUpdateResult. A
    // successful download says it is being installed: the run ends when the
    // installer calls showRunEnd.
    void startUpdate();
    // The download is done and the files are being installed: full bars,
    // cancel unavailable, closing waits for the end.
    void showInstalling();
    // Shows how the run ended (title, detail, logged) and turns the cancel
    // button into a close button; closing no longer asks anything. A
    // failure empties the bars and names the log file (setLogFile) in the
    // file bar.
    void showRunEnd(RunEnd end, const QString &detail);
    // The log a failure points the user to; none by default.
    void setLogFile(const QString &path) { logFile = path; }

    // The detail line: why the last check or run failed, when it did.
    QString statusDetailText() const { return statusDetail; }
    // The files the last manifest check found changed.
    Md5Map changedFileMap() const { return changedFiles; }
    // A download run is in progress.
    bool isUpdating() const { return updating; }

signals:
    void sigUpdateResult(bool bSuccess);

public slots:
    void onUpdateCompleted(bool success);
    void onCancelUpdate();

protected:
    void paintEvent(QPaintEvent *event) override;
    // The updater's icon is read when a window first shows (not for a check).
    void showEvent(QShowEvent *event) override;
    // While files are downloading, closing (window manager, Escape) asks
    // the cancel confirmation: "确认" cancels the run and closes, anything
    // else keeps the window and the run.
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    // How a file of the checks or of a run's preparations came.
    enum class Fetched { Whole, Absent, Failed };
    // downloadFile; with absentAllowed a 404 or 410 says the server
    // publishes no such file: Absent, not retried.
    Fetched fetchSmallFile(const QString &url, const QString &localPath, qint64 maxBytes, QProgressBar *progressBar,
                           bool absentAllowed);
    // One attempt of it: the file is whole at localPath, or nothing is there
    // and the end says why (logged).
    AttemptEnd requestOnce(const QString &url, const QString &localPath, qint64 maxBytes, DiskReserve &fileReserve,
                           QProgressBar *progressBar);
    void beginDownloads(const Md5Map &files);
    // Stages the release statement and its signature; one that cannot be
    // fetched is missing when the staged release is checked.
    void fetchStatement();
    // The scheduler's attempt: the task's patch (its first source, when one
    // is planned) or the whole file, on the attempt's lane. A file an
    // earlier run left whole and verified is done at once.
    void startAttempt(const DownloadScheduler::Attempt &attempt);
    void onFileStaged(int index);
    void onRunFinished(DownloadScheduler::End end);
    // Moves the verified files from the partial downloads into the staging
    // folder; false, with statusDetail set, when one cannot be moved.
    bool stageDownloads();
    // The transfer is over; the lane's attempt ended as end.
    void endAttempt(int lane, FileTransfer *transfer, const AttemptEnd &end);
    // The patch source, tried first for each file (delta/patchsource.h):
    // the release's patch index, fetched once before the files; the patch
    // of each changed file whose installed bytes it has; and what follows
    // a fetched patch: the file built, or a failure that makes the
    // scheduler fetch the whole file instead.
    void fetchPatchIndex();
    void planPatches();
    void onPatchFetched(int lane, FileTransfer *transfer, const DownloadTask &task, const PatchEntry &patch);
    void onPatchBuilt(int lane, FileTransfer *transfer, const DownloadTask &task, const PatchEntry &patch,
                      Delta::PatchFailure failure);
    // Drops every transfer in flight with its partial file; none reports.
    void abortTransfers();
    // The title (files staged of all), the file line and both bars, from
    // progress, as the run's routine steps (a file started, its bytes, a
    // file done) show them: at once when the pacer says a refresh is due,
    // else once it is (heldRefresh). Every refresh repaints the bars.
    void showProgress();
    void showProgressNow();
    void cleanupTempFiles();
    // The detail line says what is fetched before the downloads, the file
    // bar follows it from empty.
    void showFetching(const QString &what);
    // The detail line: name failed and waits for its next attempt.
    void showRetryPause(const QString &name);
    void refreshStatus();
    // Confirmed cancel: drop the transfers, clean up, end the run.
    void cancelRun();
    // False when a running download should keep the window open: the user
    // declined to cancel it.
    bool mayClose();
    // Ends the run, once, with detail as the reason: the other transfers
    // are dropped.
    void failRun(const QString &detail);
    // Why a server path may not be staged, or "" when it is fine;
    // workPlaces and staged: the layout's, made once for a whole manifest.
    QString unsafeServerPath(const QString &path, const QStringList &workPlaces,
                             const PathPolicy::FolderBound &staged) const;
    QNetworkReply *get(const QString &url, const FileTransfer::Headers &headers = {});
    void useProxySettings();

    Ui::Widget *ui = nullptr;
    HttpUpdateSettings config;
    const QString &appDir = config.layout.installation;
    QString serverFolder;
    QString serverVersion;
    QStringList tempFiles;
    QNetworkAccessManager networkManager;
    int proxyAnswers = 0; // challenges of a proxy answered through networkManager
    QVector<DownloadTask> tasks;
    DownloadScheduler scheduler; // hands the tasks to the parallel requests, retries, ends the run
    int doneCount = 0; // files staged and verified
    int totalCount = 0;
    bool updating = false;
    bool installing = false;
    bool cancelRequested = false;
    QString logFile;
    QString statusTitle;
    QString statusDetail;
    Md5Map changedFiles;

    std::optional<DiskReserve> reserve;  // free space kept beside the downloads, for all transfers
    PartialDownloads partials;           // where the run's files download, and an earlier run's wait
    QSet<QString> patchedInPlace;        // staged paths a patch built where they are staged
    QList<FileTransfer *> transfers;     // in flight, owned
    DownloadProgress progress;           // what the file line and the bars follow
    RefreshPacer refreshPacer;
    QTimer heldRefresh;                  // shows what the pacer held back
    QPointer<QNetworkReply> pending;     // of a synchronous download in progress
    QPointer<DownloadScheduler> requestRun; // its attempts
    PatchSource patchSource;
    PatchPlanner patchPlanner; // hashes the installed files for the plan, off the window's thread
    PatchWorker patchBuilds;   // builds the patched files, off the window's thread
    QHash<QString, PatchEntry> plannedPatches; // by staged path: the file's first source
    QHash<QString, QString> patchFailures;     // by staged path: why its patch gave way to the whole file
};
