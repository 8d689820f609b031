#include "tcp/tcpupdate.h"

#include "config/systemconfig.h"
#include "fileops/installlayout.h"
#include "fileops/tempfilewriter.h"
#include "http/md5manifest.h"
#include "log/logger.h"
#include "tcp/asyncwaiter.h"
#include "tcp/updatetcpclient.h"
#include "tcp/updatewidget.h"

#include <QtDebug>

namespace {

const QString kCancelledStatus = QStringLiteral("下载已取消");

} // namespace

CTCPUpdate::CTCPUpdate(QObject *parent)
    : QObject(parent)
    , workPlaces(InstallLayout::ofProgram().workPlaces())
{
    CSystemConfig *config = CSystemConfig::instance();
    if (config->isLoaded()) {
        host = config->getUpdateServer();
        port = portFromText(config->getUpdatePort());
    }
    setUpClient();
}

CTCPUpdate::CTCPUpdate(const QString &serverHost, quint16 serverPort, QObject *parent)
    : QObject(parent)
    , workPlaces(InstallLayout::ofProgram().workPlaces())
    , host(serverHost)
    , port(serverPort)
{
    setUpClient();
}

CTCPUpdate::~CTCPUpdate() = default;

void CTCPUpdate::setUpClient()
{
    if (host.isEmpty() || port == 0)
        return;
    m_client = new QUpdateTcpClient(this);
    m_client->setLimits(CSystemConfig::instance()->getTransferLimits());
    connect(m_client, &QUpdateTcpClient::versionChecked, this, &CTCPUpdate::onVersionChecked);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadProgress, this, &CTCPUpdate::onFileDownloadProgress);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadCompleted, this, &CTCPUpdate::onFileDownloadCompleted);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadError, this, &CTCPUpdate::onFileDownloadError);
    m_client->connectToServer(host, port);
}

void CTCPUpdate::setProgressWindow(UpdateWidget *window)
{
    if (progressWindow)
        disconnect(progressWindow, nullptr, this, nullptr);
    progressWindow = window;
    if (progressWindow)
        connect(progressWindow, &UpdateWidget::sigCancelRequested, this, &CTCPUpdate::onCancelRequested);
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
    if (!progressWindow)
        return false;
    if (lastRefresh.isValid() && lastRefresh.elapsed() < kRefreshIntervalMs)
        return false;
    lastRefresh.restart();
    return true;
}

void CTCPUpdate::showHeldFileProgress()
{
    if (!heldFileProgress || !progressWindow)
        return;
    const FileProgress p = *heldFileProgress;
    heldFileProgress.reset();
    const int percent = p.total == 0 ? 0 : static_cast<int>(static_cast<double>(p.downloaded) / p.total * 100);
    progressWindow->updateFileProgress(p.fileName, p.downloaded, p.total);
    showProgress(QStringLiteral("下载文件: %1 (%2/%3)")
                     .arg(p.fileName, UpdateWidget::formatFileSize(p.downloaded), UpdateWidget::formatFileSize(p.total)),
                 percent);
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
    CSystemConfig *config = CSystemConfig::instance();
    VersionCheckRequest request;
    request.version = config->getVersion();
    request.productType = config->getProjectType();
    request.clientId = QStringLiteral("1");
    versionInfo = m_client->sendVersionCheck(request, kVersionCheckTimeoutMs);
    if (!versionAnswered)
        checkError = m_client->lastError().isEmpty() ? QStringLiteral("服务器未应答版本检查") : m_client->lastError();
    if (versionInfo.needUpdate)
        checkError = refusedEntry(fileList, workPlaces);
    if (!checkError.isEmpty())
        fileList.clear();
    return versionInfo.needUpdate && checkError.isEmpty();
}

QString CTCPUpdate::refusedEntry(const QVector<FileRequest> &files, const QStringList &workPlaces)
{
    // Refused whole, before anything is fetched: a file that cannot be
    // installed would otherwise be staged and then left out or break the apply.
    for (const FileRequest &file : files) {
        const PathPolicy::ReleaseNameProblem problem = stagedNameProblem(file.filePath, file.fileName, workPlaces);
        if (problem != PathPolicy::ReleaseNameProblem::None) {
            const QString text = QStringLiteral("服务端文件列表包含无法安装的文件:%1/%2（%3）")
                                     .arg(file.filePath, file.fileName, releaseNameText(problem));
            logError(text);
            return text;
        }
    }
    return QString();
}

QString CTCPUpdate::lastError() const
{
    return checkError;
}

void CTCPUpdate::onVersionChecked(const VersionInfo &info)
{
    versionAnswered = true;
    if (!info.needUpdate)
        return;
    fileList.clear();
    for (const FileEntry &entry : info.files)
        fileList.append(FileRequest{entry.filePath(), entry.fileName()});
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
        result = downloadAll();
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
    if (!TempFileWriter::instance()->hasRoomToStart(&shortage)) {
        // Nothing is requested while the staging folder's disk is short.
        logError(shortage);
        if (progressWindow)
            progressWindow->showRunEnd(RunEnd::Failed, shortage);
        return false;
    }
    currentIndex = 0;
    showProgress(QStringLiteral("准备下载文件，共 %1 个文件").arg(total), 0);
    logInfo("开始迭代下载，总文件数: " + std::to_string(total));
    while (currentIndex < total) {
        if (cancelRequested) {
            reportCancelled();
            return false;
        }
        if (!downloadWithRetry()) {
            showHeldFileProgress();
            if (cancelRequested)
                reportCancelled();
            else if (progressWindow)
                progressWindow->showRunEnd(RunEnd::Failed, failureText());
            else
                logError(failureText());
            return false;
        }
        ++currentIndex;
        updateOverallProgress();
    }
    showHeldFileProgress();
    // Downloaded, not installed yet: success is shown once the files are in place.
    showProgress(QStringLiteral("所有文件下载完成！"), 100);
    logInfo("所有文件下载完成");
    return true;
}

bool CTCPUpdate::downloadWithRetry()
{
    const QString name = fileList.at(currentIndex).fileName;
    for (int attempt = 0; attempt <= maxRetries; ++attempt) {
        if (cancelRequested)
            return false;
        if (attempt > 0) {
            showStatus(QStringLiteral("第%1次重试下载: %2").arg(attempt).arg(name));
            logInfo(QStringLiteral("重试下载: ") + name + QStringLiteral(", 尝试次数: ") + QString::number(attempt));
        }
        if (downloadCurrentFile())
            return true;
        if (cancelRequested)
            return false;
        if (attempt < maxRetries) {
            logWarn(QStringLiteral("下载失败，等待重试: ") + name);
            pauseBeforeRetry();
        }
    }
    logError(QStringLiteral("下载最终失败，已达到最大重试次数: ") + name);
    return false;
}

void CTCPUpdate::pauseBeforeRetry()
{
    // The window stays responsive during the pause, and cancel ends it.
    AsyncWaiter pause;
    if (progressWindow)
        connect(progressWindow, &UpdateWidget::sigCancelRequested, &pause, &AsyncWaiter::signalReceived);
    pause.wait(kRetryPauseMs);
}

bool CTCPUpdate::downloadCurrentFile()
{
    if (currentIndex >= fileList.size())
        return false;
    const FileRequest file = fileList.at(currentIndex);
    if (refreshDue())
        showProgress(QStringLiteral("正在下载: %1 (%2/%3)").arg(file.fileName).arg(currentIndex + 1).arg(fileList.size()), 0);
    logInfo(QStringLiteral("开始下载文件: ") + file.fileName + QStringLiteral(" 路径: ") + file.filePath);

    // A failed attempt closes the connection (the server may still be
    // sending the file); each attempt therefore starts from a fresh one.
    if (!m_client->isConnected()) {
        logInfo(QStringLiteral("重新连接更新服务器: ") + host + QLatin1Char(':') + QString::number(port));
        m_client->connectToServer(host, port);
    }
    const bool ok = !cancelRequested && m_client->downloadFile(file, silenceLimitMs);
    if (ok)
        logInfo(QStringLiteral("文件下载成功: ") + file.fileName);
    else
        logError(QStringLiteral("文件下载失败: ") + file.fileName);
    return ok;
}

void CTCPUpdate::updateOverallProgress()
{
    const int done = currentIndex;
    const int total = fileList.size();
    const int percent = total == 0 ? 0 : done * 100 / total;
    if (refreshDue())
        showProgress(QStringLiteral("总体进度: %1/%2 (%3%)").arg(done).arg(total).arg(percent), percent);
    logInfo("下载进度更新: " + std::to_string(done) + "/" + std::to_string(total) + " (" + std::to_string(percent) + "%)");
}

QString CTCPUpdate::failureText() const
{
    const QString name = fileList.at(currentIndex).fileName;
    const ErrorClass errorClass = m_client ? ErrorClass(m_client->lastFailure().kind) : UnknownError;
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
    if (m_client)
        m_client->cancelRequest(kCancelledStatus);
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

void CTCPUpdate::onFileDownloadProgress(const QString &, const QString &fileName, uint32_t downloaded, uint32_t total)
{
    const int percent = total == 0 ? 0 : static_cast<int>(static_cast<double>(downloaded) / total * 100);
    logInfo(QStringLiteral("TCP文件下载进度:") + fileName + QLatin1Char(' ') + QString::number(downloaded)
        + QLatin1Char('/') + QString::number(total) + QLatin1Char(' ') + QString::number(percent)
        + QLatin1Char('%'));
    heldFileProgress = FileProgress{fileName, downloaded, total};
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
