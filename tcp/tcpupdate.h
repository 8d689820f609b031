#pragma once

#include "config/proxysettings.h"
#include "delta/patchplanner.h"
#include "fileops/downloadscheduler.h"
#include "tcp/messages.h"
#include "tcp/updatetcpclient.h"
#include "ui/downloadprogress.h"
#include "ui/refreshpacer.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include <optional>

class AsyncWaiter;
class CSystemConfig;
class TcpPatchPhase;
class TempFileWriter;
class UpdateWidget;
struct InstallLayout;

// What a TCP run takes from the configuration and the installation,
// computed once by the caller and handed down.
struct TcpUpdateSettings
{
    QString host;           // Server/UpdateServer; none: no connection is made
    quint16 port = 0;       // Server/UpdatePort
    QString portText;       // Server/UpdatePort as written, for the text naming a bad one
    int connections = 1;    // Server/Connections
    QString version;        // General/Version, sent with the version check
    qint32 productType = 1; // Project/Type, in every message header (1 without one)
    TransferLimits limits;
    QStringList workPlaces; // this installation's own places, which no release file may name
    // The staging writer every received chunk goes to, not owned; null: the
    // chunks go where the client's sink is set to, and no disk room is checked.
    TempFileWriter *writer = nullptr;
    ProxySettings proxy; // every connection goes through it
    // Binary patches (TcpPatchPhase): the installation whose files they
    // apply to (empty: none are tried), and the keys an index must be signed
    // by (signatureRequired when Update/PublicKey is set at all).
    QString installation;
    QVector<QByteArray> publicKeys;
    bool signatureRequired = false;
    PatchPlanner::Hasher patchHasher; // of the installed files; empty: their bytes (a test holds it)

    // From the installation's layout and system.cfg (host and port only when
    // the file was read).
    static TcpUpdateSettings fromConfig(const InstallLayout &layout, const CSystemConfig &config,
                                        TempFileWriter *writer);
};

// The TCP update channel: asks the server whether an update is needed,
// builds what it can of the listed files from binary patches
// (TcpPatchPhase), then downloads the other listed files into the staging
// folder over up to
// connections() connections, each carrying one file at a time, each file
// with up to three retries on its connection where the failure is worth one
// (DownloadScheduler, verdictFor: a chunk that cannot be stored is not),
// reporting in the progress
// window it is given. The run is synchronous (startUpdate returns when it
// is over) and ends by emitting sigUpdateResult once the event loop runs
// again, so the controller applies a TCP download exactly like an HTTP one.
//
// Created without parent and owned by the update model. GUI thread only.
class CTCPUpdate : public QObject
{
    Q_OBJECT
public:
    // The client's failure kinds, under the names the window texts use.
    enum ErrorClass {
        NetworkError = TcpFailure::Network,
        FileSystemError = TcpFailure::FileSystem,
        TimeoutError = TcpFailure::Timeout,
        Cancelled = TcpFailure::Cancelled,
        UnknownError = TcpFailure::Unknown,
    };

    static constexpr int kVersionCheckTimeoutMs = 1000;
    // A file attempt fails after this long without any of its data arriving.
    static constexpr int kSilenceLimitMs = 30000;
    static constexpr int kRetryPauseMs = 1000;
    // Bounds opening the extra connections of a run, and proving each
    // answers (a heartbeat round trip): a server that takes only one
    // connection per client is then used through that one.
    static constexpr int kExtraConnectionWaitMs = 1000;
    // Connects to the server of the settings (none without an address and
    // a port).
    explicit CTCPUpdate(const TcpUpdateSettings &settings, QObject *parent = nullptr);
    // Connects to the given server with the built-in limits, one connection,
    // no work places and no staging writer (the caller sets the client's
    // chunk sink).
    CTCPUpdate(const QString &host, quint16 port, QObject *parent = nullptr);
    ~CTCPUpdate() override;

    // The window the run reports in and whose cancel button stops it; not
    // owned. Without one the run reports in the log only.
    void setProgressWindow(UpdateWidget *window);

    // True when the server says an update is needed; its file list is kept.
    // False without a connection, on time-out or a server error, when the
    // list is empty, names a file that cannot be installed or whose name is
    // not UTF-8, or names one file twice (lastError() then says why), and
    // when the server says no update is needed. A version reply that comes
    // later never changes the list: during a run it ends the run as failed.
    // The check declares stepping stones: a stepping stone the server
    // offers in place of the newest release is the release of the run then,
    // and every file request of the run asks for it.
    bool checkVersion();
    // Why the last check failed; empty when the server answered.
    QString lastError() const;
    // Downloads the kept list. True when every file arrived. False at once
    // when no update was announced or the list is empty; false when a file
    // failed for good (four times, or once where a retry cannot help) or the
    // user cancelled. sigUpdateResult follows with
    // the same value (queued).
    bool startUpdate();

    // The class a bare failure text names (English words in any case,
    // Chinese ones exactly). The client's failures carry their class from
    // where they happen (TcpFailure) and are not read back from their text.
    static ErrorClass classifyError(const QString &text);

    // The failure text for the first file of files that no installation
    // could take (an unsafe name, a hidden entry, one of workPlaces) or that
    // names the staged file of an earlier one again (after its folder is
    // cleaned, letter case aside); empty when every file can be installed.
    static QString refusedEntry(const QVector<FileRequest> &files, const QStringList &workPlaces);

    // The version the server offered at the last check (what a successful
    // run installs).
    QString offeredVersion() const { return versionInfo.version; }
    // The share of installations the server offered it to (100 for all).
    int offeredRollout() const { return versionInfo.rollout; }

    // The connection of the version check and of the run's first files (null
    // when the configuration named no usable server). The run's extra
    // connections take its chunk sink.
    QUpdateTcpClient *client() const { return m_client; }
    // How many connections a run may use, 1 to CSystemConfig::kMaxTransfers
    // (default: the settings' connections); never more than
    // there are files.
    int connections() const { return maxConnections; }
    void setConnections(int count);
    const QVector<FileRequest> &files() const { return fileList; }
    // For tests: a shorter silence limit.
    void setSilenceLimitForTest(int ms) { silenceLimitMs = ms; }
    // For tests: another least time between routine refreshes (0 shows
    // every step), so what the window is told does not depend on the clock.
    void setRefreshIntervalForTest(int ms) { refreshPacer.setInterval(ms); }

signals:
    void sigUpdateResult(bool bSuccess);
    // The progress window's file line and bar are to show this file's
    // progress: the file in flight with most bytes left (DownloadProgress),
    // at most once per refresh interval. Connected to the window given to
    // setProgressWindow.
    void fileProgressShown(const QString &fileName, qint64 received, qint64 total);

private slots:
    void onVersionChecked(const VersionInfo &info);
    void onFileDownloadProgress(const QString &filePath, const QString &fileName, uint32_t downloaded, uint32_t total);
    void onFileDownloadCompleted(const QString &filePath, const QString &fileName);
    void onFileDownloadError(const QString &filePath, const QString &fileName, const QString &error);
    void onCancelRequested();

private:
    void setUpClient();
    QUpdateTcpClient *newClient();
    // The release the run's file requests are for: the one the last check
    // offered (the stepping stone, or the newest).
    TcpProtocol::ReleaseChoice releaseChoice() const;
    bool downloadAll();
    // One lane of the scheduler per connection: lane 0 is the first
    // connection; extra ones that opened and answered in time follow.
    void openLanes();
    void closeLanes();
    void startAttempt(const DownloadScheduler::Attempt &attempt);
    // The request of the lane's connection ended.
    void onAttemptEnded(int lane, bool ok);
    void onFileDone(int index);
    // The run is over: stops every request, ends the wait.
    void onRunFinished();
    // The overall bar's value, by bytes; it never moves back.
    int overallPercent();
    void updateOverallProgress();
    // The text of a final download failure, shown as the run's end.
    QString failureText() const;
    void reportCancelled();

    void showStatus(const QString &text);
    void showProgress(const QString &text, int percent);
    void showError(const QString &text);
    // True when a routine refresh may be shown now.
    bool refreshDue();
    // Shows the file progress that the refresh limit held back.
    void showHeldFileProgress();

    const TcpUpdateSettings settings;
    QUpdateTcpClient *m_client = nullptr;
    QPointer<UpdateWidget> progressWindow;
    VersionInfo versionInfo;
    bool versionAnswered = false;
    bool checking = false; // a version check waits for its reply
    QString checkError;
    QVector<FileRequest> fileList;
    // What the file line follows and the overall bar counts, by bytes.
    DownloadProgress progress;
    int shownOverall = 0; // in per mille: the bar never moves back (a retried file starts over)
    int maxRetries = 3;
    int maxConnections;
    bool cancelRequested = false;
    TcpPatchPhase *patchPhase = nullptr; // while the run's patch phase runs
    // The run in progress: its files are handed out, retried and ended by
    // the scheduler; a lane is bound to its connection.
    DownloadScheduler scheduler;
    QVector<QUpdateTcpClient *> laneClients;
    QObject *laneContext = nullptr; // the run's connections to the lanes' signals
    AsyncWaiter *runWait = nullptr;
    QString runFailure; // why the run was stopped other than by a file
    TcpFailure::Kind failedKind = TcpFailure::Unknown; // of the file that failed for good
    int silenceLimitMs = kSilenceLimitMs;
    RefreshPacer refreshPacer; // the routine steps of a run (file started, progress, file done)
    // The latest file progress not shown yet.
    struct FileProgress
    {
        QString fileName;
        qint64 downloaded = 0;
        qint64 total = 0;
    };
    std::optional<FileProgress> heldFileProgress;
};
