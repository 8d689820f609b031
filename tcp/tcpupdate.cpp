#include "tcp/tcpupdate.h"

#include "config/systemconfig.h"
#include "fileops/installlayout.h"
#include "fileops/tempfilewriter.h"
#include "http/md5manifest.h"
#include "log/logger.h"
#include "log/percent.h"
#include "trust/ed25519.h"
#include "tcp/asyncwaiter.h"
#include "tcp/tcppatchphase.h"
#include "tcp/updatetcpclient.h"
#include "tcp/updatewidget.h"

#include <QSet>
#include <QtDebug>

namespace {

const QString kCancelledStatus = QStringLiteral("下载已取消");
// Why the requests of the other connections end when a run ends early.
const QString kRunStopped = QStringLiteral("更新已结束，请求已停止");
const QString kUnaskedVersionReply = QStringLiteral("服务器在下载过程中又发来版本应答，更新已停止");

// The file at index of the run's list, as the progress model knows it.
const void *progressId(int index)
{
    return reinterpret_cast<const void *>(quintptr(index) + 1);
}

} // namespace

TcpUpdateSettings TcpUpdateSettings::fromConfig(const InstallLayout &layout, const CSystemConfig &config,
                                                TempFileWriter *writer)
{
    TcpUpdateSettings settings;
    if (config.isLoaded()) {
        settings.host = config.getUpdateServer();
        settings.port = portFromText(config.getUpdatePort());
        settings.portText = config.getUpdatePort();
    }
    settings.connections = config.getServerConnections();
    settings.version = config.getVersion();
    settings.productType = config.getProjectType();
    settings.limits = config.getTransferLimits();
    settings.workPlaces = layout.workPlaces();
    settings.writer = writer;
    settings.installation = layout.installation;
    settings.signatureRequired = !config.getPublicKeys().trimmed().isEmpty();
    settings.publicKeys = Ed25519::parsePublicKeys(config.getPublicKeys()).value_or(QVector<QByteArray>());
    return settings;
}

CTCPUpdate::CTCPUpdate(const TcpUpdateSettings &tcpSettings, QObject *parent)
    : QObject(parent)
    , settings(tcpSettings)
    , maxConnections(tcpSettings.connections)
{
    connect(&scheduler, &DownloadScheduler::attemptDue, this, &CTCPUpdate::startAttempt);
    connect(&scheduler, &DownloadScheduler::itemDone, this, &CTCPUpdate::onFileDone);
    connect(&scheduler, &DownloadScheduler::finished, this, &CTCPUpdate::onRunFinished);
    setUpClient();
}

namespace {

TcpUpdateSettings serverOnly(const QString &host, quint16 port)
{
    TcpUpdateSettings settings;
    settings.host = host;
    settings.port = port;
    return settings;
}

} // namespace

CTCPUpdate::CTCPUpdate(const QString &host, quint16 port, QObject *parent)
    : CTCPUpdate(serverOnly(host, port), parent)
{
}

CTCPUpdate::~CTCPUpdate() = default;

void CTCPUpdate::setUpClient()
{
    if (settings.host.isEmpty() || settings.port == 0)
        return;
    m_client = newClient();
    if (TempFileWriter *writer = settings.writer) {
        m_client->setChunkSink([writer](const QString &path, const QString &name, const QByteArray &data, bool isLast) {
            return writer->writeChunk(path, name, data, isLast);
        });
    }
    m_client->connectToServer(settings.host, settings.port);
}

QUpdateTcpClient *CTCPUpdate::newClient()
{
    auto *client = new QUpdateTcpClient(this);
    client->setLimits(settings.limits);
    client->setProductType(settings.productType);
    client->setReleaseChoice(releaseChoice());
    client->setProxySettings(settings.proxy);
    connect(client, &QUpdateTcpClient::sigFileDownloadProgress, this, &CTCPUpdate::onFileDownloadProgress);
    connect(client, &QUpdateTcpClient::sigFileDownloadCompleted, this, &CTCPUpdate::onFileDownloadCompleted);
    connect(client, &QUpdateTcpClient::sigFileDownloadError, this, &CTCPUpdate::onFileDownloadError);
    connect(client, &QUpdateTcpClient::versionChecked, this, &CTCPUpdate::onVersionChecked);
    return client;
}

TcpProtocol::ReleaseChoice CTCPUpdate::releaseChoice() const
{
    return versionInfo.steppingStone ? TcpProtocol::ReleaseChoice::SteppingStone : TcpProtocol::ReleaseChoice::Newest;
}

void CTCPUpdate::setConnections(int count)
{
    maxConnections = qBound(1, count, CSystemConfig::kMaxTransfers);
}

void CTCPUpdate::setProgressWindow(UpdateWidget *window)
{
    if (progressWindow) {
        disconnect(progressWindow, nullptr, this, nullptr);
        disconnect(this, nullptr, progressWindow, nullptr);
    }
    progressWindow = window;
    if (progressWindow) {
        connect(progressWindow, &UpdateWidget::sigCancelRequested, this, &CTCPUpdate::onCancelRequested);
        connect(this, &CTCPUpdate::fileProgressShown, progressWindow, &UpdateWidget::updateFileProgress);
    }
}

void CTCPUpdate::showStatus(const QString &text)
{
    if (progressWindow)
        progressWindow->showStatus(text);
}

void CTCPUpdate::showProgress(const QString &text, int percent)
{
    if (progressWindow)
        progressWindow->showProgress(text, percent);
}

void CTCPUpdate::showError(const QString &text)
{
    if (progressWindow)
        progressWindow->showError(text);
}

bool CTCPUpdate::refreshDue()
{
    return progressWindow && refreshPacer.due();
}

void CTCPUpdate::showHeldFileProgress()
{
    if (!heldFileProgress || !progressWindow)
        return;
    const FileProgress p = *heldFileProgress;
    heldFileProgress.reset();
    emit fileProgressShown(p.fileName, p.downloaded, p.total);
    showProgress(QStringLiteral("下载文件: %1 (%2/%3)")
                     .arg(p.fileName, UpdateWidget::formatFileSize(p.downloaded), UpdateWidget::formatFileSize(p.total)),
                 overallPercent());
}

bool CTCPUpdate::checkVersion()
{
    checkError.clear();
    versionAnswered = false;
    if (!m_client || !m_client->isConnected()) {
        checkError = m_client && !m_client->lastError().isEmpty() ? m_client->lastError()
                                                                 : QStringLiteral("TCP升级服务连接失败");
        return false;
    }
    VersionCheckRequest request;
    request.version = settings.version;
    request.productType = settings.productType;
    request.clientId = QStringLiteral("1");
    request.knowsSteppingStones = true;
    checking = true;
    versionInfo = m_client->sendVersionCheck(request, kVersionCheckTimeoutMs);
    checking = false;
    m_client->setReleaseChoice(releaseChoice());
    if (versionInfo.needUpdate && versionInfo.steppingStone)
        logInfo(QStringLiteral("已安装的版本 %1 低于最新版本要求的最低版本，服务端提供过渡版本 %2")
                    .arg(settings.version, versionInfo.version));
    if (!versionAnswered)
        checkError = m_client->lastError().isEmpty() ? QStringLiteral("服务器未应答版本检查") : m_client->lastError();
    fileList.clear();
    if (versionInfo.needUpdate) {
        for (const FileEntry &entry : qAsConst(versionInfo.files)) {
            fileList.append(FileRequest{entry.filePath(), entry.fileName()});
            // Read back as UTF-8 such a name would be requested and staged
            // under another name than the server's.
            const QString undecodable = entry.undecodableName();
            if (checkError.isEmpty() && !undecodable.isEmpty())
                checkError = QStringLiteral("服务端文件列表包含无法解码的文件名:") + undecodable;
        }
        if (checkError.isEmpty())
            checkError = refusedEntry(fileList, settings.workPlaces);
        else
            logError(checkError);
        // A run without files would end at once and say nothing.
        if (checkError.isEmpty() && fileList.isEmpty()) {
            checkError = QStringLiteral("服务器要求更新，但文件列表为空");
            logError(checkError);
        }
    }
    if (!checkError.isEmpty())
        fileList.clear();
    return versionInfo.needUpdate && checkError.isEmpty();
}

QString CTCPUpdate::refusedEntry(const QVector<FileRequest> &files, const QStringList &workPlaces)
{
    // Refused whole, before anything is fetched: a file that cannot be
    // installed would otherwise be staged and then left out or break the apply;
    // one listed twice (under any spelling of its folder, or in another
    // letter case, as a Windows file system sees it) would be written by two
    // requests at once into one staged file.
    QMap<QString, QString> seen; // case-folded staged path -> as listed
    for (const FileRequest &file : files) {
        const PathPolicy::ReleaseNameProblem problem = stagedNameProblem(file.filePath, file.fileName, workPlaces);
        if (problem != PathPolicy::ReleaseNameProblem::None) {
            const QString text = QStringLiteral("服务端文件列表包含无法安装的文件:%1/%2（%3）")
                                     .arg(file.filePath, file.fileName, releaseNameText(problem));
            logError(text);
            return text;
        }
        const QString listed = file.filePath + QLatin1Char('/') + file.fileName;
        const QString staged = stagedRelativePath(file.filePath, file.fileName).toCaseFolded();
        if (seen.contains(staged)) {
            const QString text =
                QStringLiteral("服务端文件列表重复列出同一文件:%1（与%2相同）").arg(listed, seen.value(staged));
            logError(text);
            return text;
        }
        seen.insert(staged, listed);
    }
    return QString();
}

QString CTCPUpdate::lastError() const
{
    return checkError;
}

void CTCPUpdate::onVersionChecked(const VersionInfo &)
{
    if (checking) {
        versionAnswered = true;
        return;
    }
    // Nobody asked: the list checked before the run stays the list. During a
    // run such a server cannot be trusted with the rest of it.
    if (!scheduler.isRunning()) {
        logWarn("忽略未请求的版本应答");
        return;
    }
    logError(kUnaskedVersionReply);
    runFailure = kUnaskedVersionReply;
    scheduler.stop();
}

bool CTCPUpdate::startUpdate()
{
    bool result = false;
    if (versionInfo.needUpdate && !fileList.isEmpty()) {
        cancelRequested = false;
        if (progressWindow) {
            progressWindow->showWindow();
            progressWindow->beginRun();
        }
        showStatus(QStringLiteral("开始TCP更新..."));
        // The queue fetches what the patches did not build; the list stays
        // the one the check kept. While the staging disk is short nothing is
        // requested at all: the queue reports it.
        const QVector<FileRequest> listed = fileList;
        QString shortage;
        const bool room = settings.writer && settings.writer->hasRoomToStart(&shortage);
        TcpPatchPhase phase(m_client, {settings.host, settings.port, settings.installation,
                                       room ? settings.writer->stagingRoot() : QString(),
                                       settings.publicKeys, settings.signatureRequired,
                                       settings.limits.diskReserveBytes, silenceLimitMs, settings.patchHasher});
        patchPhase = &phase;
        fileList = phase.run(listed, versionInfo.version);
        patchPhase = nullptr;
        if (cancelRequested)
            reportCancelled();
        else
            result = downloadAll();
        fileList = listed;
    }
    // The controller applies the download from its slot; it must run after
    // this call has returned to the controller, in the event loop.
    QMetaObject::invokeMethod(this, [this, result] { emit sigUpdateResult(result); }, Qt::QueuedConnection);
    return result;
}

bool CTCPUpdate::downloadAll()
{
    const int total = fileList.size();
    if (total == 0) {
        showStatus(QStringLiteral("没有文件需要下载"));
        return true;
    }
    QString shortage;
    if (settings.writer && !settings.writer->hasRoomToStart(&shortage)) {
        // Nothing is requested while the staging folder's disk is short.
        logError(shortage);
        if (progressWindow)
            progressWindow->showRunEnd(RunEnd::Failed, shortage);
        return false;
    }
    progress.begin(total);
    shownOverall = 0;
    failedKind = TcpFailure::Unknown;
    runFailure.clear();
    showProgress(QStringLiteral("准备下载文件，共 %1 个文件").arg(total), 0);
    logInfo("开始迭代下载，总文件数: " + std::to_string(total));
    openLanes();
    // A cancel while the connections opened ends the run before any request.
    const bool started = !cancelRequested;
    if (started) {
        QStringList names;
        for (const FileRequest &file : qAsConst(fileList))
            names.append(file.fileName);
        scheduler.setRetryPolicy({maxRetries, kRetryPauseMs});
        scheduler.start(names, laneClients.size());
    }
    // The lanes run on events; the run ends in this one wait.
    if (scheduler.isRunning()) {
        AsyncWaiter wait;
        runWait = &wait;
        wait.wait(0);
        runWait = nullptr;
    }
    closeLanes();

    showHeldFileProgress();
    if (started && scheduler.doneCount() == total) {
        // Downloaded, not installed yet: success is shown once the files are in place.
        showProgress(QStringLiteral("所有文件下载完成！"), 100);
        logInfo("所有文件下载完成");
        return true;
    }
    if (cancelRequested)
        reportCancelled();
    else if (progressWindow)
        progressWindow->showRunEnd(RunEnd::Failed, failureText());
    else
        logError(failureText());
    return false;
}

void CTCPUpdate::openLanes()
{
    laneClients = {m_client};
    const int extra = qMin(maxConnections, fileList.size()) - 1;
    if (extra > 0) {
        // All extra connections are opened together and each proves it
        // is served by answering a heartbeat; those that do not in time are
        // dropped. The run goes on with the connections that work.
        QVector<QUpdateTcpClient *> opening;
        QSet<QUpdateTcpClient *> answered;
        QSet<QUpdateTcpClient *> failed;
        AsyncWaiter wait;
        const auto settle = [&] {
            if (QSet<QUpdateTcpClient *>(answered).unite(failed).size() == opening.size())
                emit wait.signalReceived();
        };
        for (int i = 0; i < extra; ++i) {
            QUpdateTcpClient *client = newClient();
            client->setChunkSink(m_client->chunkSink());
            opening.append(client);
            connect(client, &QUpdateTcpClient::connected, &wait, [client] { client->sendHeartbeat(); });
            connect(client, &QUpdateTcpClient::heartbeatReceived, &wait, [&, client] {
                answered.insert(client);
                settle();
            });
            const auto lost = [&, client] {
                failed.insert(client);
                settle();
            };
            connect(client, &QUpdateTcpClient::errorOccurred, &wait, lost);
            connect(client, &QUpdateTcpClient::disconnected, &wait, lost);
            client->beginConnect(settings.host, settings.port);
        }
        if (progressWindow)
            connect(progressWindow, &UpdateWidget::sigCancelRequested, &wait, &AsyncWaiter::signalReceived);
        wait.wait(kExtraConnectionWaitMs);
        for (QUpdateTcpClient *client : opening) {
            if (answered.contains(client) && !failed.contains(client) && client->isConnected())
                laneClients.append(client);
            else
                delete client;
        }
        if (laneClients.size() - 1 < extra)
            logWarn(QStringLiteral("只打开了 %1 个到更新服务器的连接（需要 %2 个），其余连接无法打开或未应答")
                        .arg(laneClients.size())
                        .arg(extra + 1));
    }
    logInfo(QStringLiteral("下载使用 %1 个连接").arg(laneClients.size()));
    // The first connection outlives the run: what binds it to a lane goes with the run.
    laneContext = new QObject(this);
    for (int i = 0; i < laneClients.size(); ++i)
        connect(laneClients.at(i), &QUpdateTcpClient::requestFinished, laneContext,
                [this, i](bool ok) { onAttemptEnded(i, ok); });
}

void CTCPUpdate::closeLanes()
{
    delete laneContext;
    laneContext = nullptr;
    for (QUpdateTcpClient *client : qAsConst(laneClients)) {
        if (client != m_client)
            delete client;
    }
    laneClients.clear();
}

void CTCPUpdate::startAttempt(const DownloadScheduler::Attempt &attempt)
{
    const int index = attempt.item;
    const FileRequest file = fileList.at(index);
    if (attempt.number > 0)
        showStatus(QStringLiteral("第%1次重试下载: %2").arg(attempt.number).arg(file.fileName));
    // A retried file starts over.
    progress.finished(progressId(index), false);
    progress.started(progressId(index), file.fileName);
    if (refreshDue())
        showProgress(QStringLiteral("正在下载: %1 (%2/%3)").arg(file.fileName).arg(index + 1).arg(fileList.size()),
                     overallPercent());
    // Window calls process events: the run may have ended inside any of them.
    if (!scheduler.isRunning())
        return;
    logInfo(QStringLiteral("开始下载文件: ") + file.fileName + QStringLiteral(" 路径: ") + file.filePath);

    // A failed attempt closes the connection (the server may still be
    // sending the file); each attempt therefore starts from a fresh one.
    QUpdateTcpClient *client = laneClients.at(attempt.lane);
    if (!client->isConnected()) {
        logInfo(QStringLiteral("重新连接更新服务器: ") + settings.host + QLatin1Char(':')
                + QString::number(settings.port));
        client->connectToServer(settings.host, settings.port);
    }
    if (!client->startDownload(file, silenceLimitMs))
        onAttemptEnded(attempt.lane, false);
}

namespace {

FailureCause causeOf(TcpFailure::Kind kind)
{
    switch (kind) {
    case TcpFailure::Network:
        return FailureCause::Cut;
    case TcpFailure::Timeout:
        return FailureCause::TimedOut;
    case TcpFailure::FileSystem:
        return FailureCause::WriteFailed;
    case TcpFailure::Cancelled:
        return FailureCause::Cancelled;
    case TcpFailure::Unknown:
        break;
    }
    // The server's error reply, or a request it did not take: it may serve
    // the file on another try.
    return FailureCause::ServerError;
}

} // namespace

void CTCPUpdate::onAttemptEnded(int lane, bool ok)
{
    // Requests stopped by the end of the run report here too.
    const DownloadScheduler::Attempt attempt = scheduler.attemptOn(lane);
    if (!scheduler.isRunning() || attempt.item < 0)
        return;
    progress.finished(progressId(attempt.item), ok);
    if (ok) {
        scheduler.attemptEnded(lane, AttemptEnd::success());
        return;
    }
    logError(QStringLiteral("文件下载失败: ") + fileList.at(attempt.item).fileName);
    const TcpFailure failure = laneClients.at(lane)->lastFailure();
    failedKind = failure.kind;
    scheduler.attemptEnded(lane, AttemptEnd::failure(causeOf(failure.kind), failure.text));
}

void CTCPUpdate::onFileDone(int index)
{
    logInfo(QStringLiteral("文件下载成功: ") + fileList.at(index).fileName);
    updateOverallProgress();
}

void CTCPUpdate::onRunFinished()
{
    for (QUpdateTcpClient *client : qAsConst(laneClients))
        client->cancelRequest(cancelRequested ? kCancelledStatus : kRunStopped);
    if (runWait)
        emit runWait->signalReceived();
}

int CTCPUpdate::overallPercent()
{
    shownOverall = qMax(shownOverall, progress.overallPerMille());
    return shownOverall / 10;
}

void CTCPUpdate::updateOverallProgress()
{
    const int done = scheduler.doneCount();
    const int total = fileList.size();
    const int percent = percentOf(done, total);
    if (refreshDue())
        showProgress(QStringLiteral("总体进度: %1/%2 (%3%)").arg(done).arg(total).arg(percent), overallPercent());
    logInfo("下载进度更新: " + std::to_string(done) + "/" + std::to_string(total) + " (" + std::to_string(percent) + "%)");
}

QString CTCPUpdate::failureText() const
{
    if (!runFailure.isEmpty())
        return runFailure;
    const QString name = fileList.at(scheduler.failedItem()).fileName;
    const ErrorClass errorClass = ErrorClass(failedKind);
    logError(QStringLiteral("下载错误处理完成，文件: ") + name + QStringLiteral(" 错误类型: ")
        + QString::number(errorClass));
    switch (errorClass) {
    case NetworkError:
        return QStringLiteral("网络错误，重试失败: %1").arg(name);
    case FileSystemError:
        return QStringLiteral("文件系统错误，重试失败: %1").arg(name);
    case TimeoutError:
        return QStringLiteral("下载超时，重试失败: %1").arg(name);
    case Cancelled:
        return kCancelledStatus;
    case UnknownError:
        break;
    }
    return QStringLiteral("未知错误，重试失败: %1").arg(name);
}

void CTCPUpdate::reportCancelled()
{
    if (progressWindow)
        progressWindow->showRunEnd(RunEnd::Cancelled, kCancelledStatus);
    logInfo("下载被用户取消");
}

void CTCPUpdate::onCancelRequested()
{
    cancelRequested = true;
    if (patchPhase)
        patchPhase->cancel(kCancelledStatus);
    scheduler.cancel();
}

CTCPUpdate::ErrorClass CTCPUpdate::classifyError(const QString &text)
{
    const auto has = [&text](std::initializer_list<const char *> words) {
        for (const char *word : words) {
            const QString w = QString::fromUtf8(word);
            // Only the English words ignore letter case.
            const Qt::CaseSensitivity cs = w.at(0).unicode() < 128 ? Qt::CaseInsensitive : Qt::CaseSensitive;
            if (text.contains(w, cs))
                return true;
        }
        return false;
    };
    if (has({"timeout", "超时"}))
        return TimeoutError;
    if (has({"network", "connection", "网络", "连接"}))
        return NetworkError;
    if (has({"file", "disk", "文件", "磁盘"}))
        return FileSystemError;
    if (has({"cancel", "取消"}))
        return Cancelled;
    return UnknownError;
}

void CTCPUpdate::onFileDownloadProgress(const QString &filePath, const QString &fileName, uint32_t downloaded,
                                        uint32_t total)
{
    const int percent = percentOf(downloaded, total);
    logInfo(QStringLiteral("TCP文件下载进度:") + fileName + QLatin1Char(' ') + QString::number(downloaded)
        + QLatin1Char('/') + QString::number(total) + QLatin1Char(' ') + QString::number(percent)
        + QLatin1Char('%'));
    for (int lane = 0; lane < scheduler.laneCount(); ++lane) {
        const int index = scheduler.attemptOn(lane).item;
        if (index >= 0 && fileList.at(index) == FileRequest{filePath, fileName})
            progress.progressed(progressId(index), downloaded, total);
    }
    // The file line follows the file with most bytes left, whichever sent this.
    if (progress.followedName().isEmpty() || progress.followedTotal() < 0)
        return;
    heldFileProgress = FileProgress{progress.followedName(), progress.followedReceived(), progress.followedTotal()};
    if (refreshDue())
        showHeldFileProgress();
}

void CTCPUpdate::onFileDownloadCompleted(const QString &, const QString &fileName)
{
    if (refreshDue())
        showStatus(QStringLiteral("文件下载完成: %1").arg(fileName));
    logInfo(QStringLiteral("TCP文件下载完成:") + fileName);
}

void CTCPUpdate::onFileDownloadError(const QString &, const QString &fileName, const QString &error)
{
    showError(QStringLiteral("文件下载失败: %1 - %2").arg(fileName, error));
    qWarning() << "TCP文件下载错误:" << fileName << "-" << error;
}
