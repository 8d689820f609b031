#include "http/widget.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/pathpolicy.h"
#include "fileops/transferguard.h"
#include "http/tlstrust.h"
#include "log/logger.h"
#include "ui/background.h"
#include "ui_widget.h"

#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

namespace {

const QString kCompleted = QStringLiteral("更新完成!");
const QString kInstalling = QStringLiteral("下载完成，正在安装更新…");
const QString kCancelled = QStringLiteral("更新已取消");
const QString kCancelledDetail = QStringLiteral("已取消，未安装任何文件");

// How long a confirmed cancel waits for the aborted transfer to report
// before the run is ended regardless.
constexpr int kCancelGraceMs = 3000;

// What a reply may hold before the transfer pauses: the file is written as
// data arrives, so memory does not grow with the file size.
constexpr qint64 kReplyBufferSize = 256 << 10;

// The most the version description and the manifest may hold: both are read
// into memory whole. A manifest of this size lists some hundred thousand
// files.
constexpr qint64 kMaxVersionFileBytes = 64 << 10;
constexpr qint64 kMaxManifestBytes = 16 << 20;

// Redirects are followed only to an equally or more safe scheme, and only
// this many in a row.
constexpr int kMaxRedirects = 3;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 || status == 308;
}

// Why what the reply holds must not be taken, or "" when it may: anything
// but a 200 answer (a redirect is judged once the reply has ended: until
// then it is being followed), an encoded body (the request asks for the
// identity encoding, so nothing here ever inflates a body), or more than
// maxBytes (0: no limit) together with the stored bytes.
QString answerProblem(QNetworkReply *reply, qint64 stored, qint64 maxBytes)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()) && !reply->isFinished())
        return QString();
    if (status.isValid() && status.toInt() != 200)
        return QStringLiteral("服务器应答HTTP %1").arg(status.toInt());
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return QStringLiteral("服务器返回了压缩编码（%1）的内容").arg(QString::fromLatin1(encoding));
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (maxBytes > 0 && (announced > maxBytes || stored + reply->bytesAvailable() > maxBytes))
        return QStringLiteral("内容超过上限（%1字节）").arg(maxBytes);
    return QString();
}

// The reply's failure for people; a redirect Qt would not follow (too many,
// to a less safe scheme, without a target) names the answer.
QString replyErrorText(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && isRedirect(status.toInt()))
        return QStringLiteral("服务器应答HTTP %1，重定向未被跟随：").arg(status.toInt()) + reply->errorString();
    return reply->errorString();
}

QString fileErrorText(const QString &name, const QString &reason)
{
    return QStringLiteral("下载文件 \"") + name + QStringLiteral("\" 时出错: ") + reason;
}

// Qt reports a transfer time-out as a cancelled operation; a reply the
// dialog did not abort itself and that ends cancelled has timed out.
bool timedOut(QNetworkReply *reply, bool abortedByUs)
{
    return reply->error() == QNetworkReply::TimeoutError
        || (reply->error() == QNetworkReply::OperationCanceledError && !abortedByUs);
}

QString timeoutText(int timeoutMs)
{
    return QStringLiteral("下载超时（") + QString::number((timeoutMs + 999) / 1000) + QStringLiteral("秒）");
}

// Moves what the reply holds into file (and hash); false when the file did
// not take all of it.
bool appendReplyData(QNetworkReply *reply, QFile &file, QCryptographicHash *hash)
{
    const QByteArray chunk = reply->readAll();
    if (chunk.isEmpty())
        return true;
    if (hash)
        hash->addData(chunk);
    return file.write(chunk) == chunk.size();
}

bool closeWritten(QFile &file)
{
    const bool flushed = file.flush();
    file.close();
    return flushed && file.error() == QFileDevice::NoError;
}

} // namespace

HttpUpdateSettings HttpUpdateSettings::fromConfig(const InstallLayout &layout, const CSystemConfig &systemConfig)
{
    HttpUpdateSettings settings;
    settings.layout = layout;
    settings.baseUrl = systemConfig.getUpdateValue(Names::kUrlKey);
    settings.limits = systemConfig.getTransferLimits();
    settings.fetchStatement = !systemConfig.getPublicKeys().trimmed().isEmpty();
    const QString caFile = systemConfig.getCaFile();
    settings.caFile = caFile.isEmpty() ? QString() : QDir(layout.installation).absoluteFilePath(caFile);
    return settings;
}

Widget::Widget(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
    , config(HttpUpdateSettings::fromConfig(InstallLayout::ofProgram(), *CSystemConfig::instance()))
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("HTTP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(640, 455);

    const QString labelStyle = QStringLiteral("font: 700 %1pt \"Microsoft YaHei UI\";") + QString(36, QLatin1Char(' '))
        + QStringLiteral("color: rgb(0, 0, 0);");
    ui->label_update->setStyleSheet(labelStyle.arg(16));
    ui->label_updatefile->setStyleSheet(labelStyle.arg(14));
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setStyleSheet(QStringLiteral("color: rgb(255, 255, 255);"));
        bar->setRange(0, 100);
        bar->setValue(0);
    }
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
    connect(ui->pushButton_close, &QPushButton::clicked, this, &QWidget::close);

    cancelTimer = new QTimer(this);
    cancelTimer->setInterval(kCancelGraceMs);
    connect(cancelTimer, &QTimer::timeout, this, &Widget::onCheckCancelRequest);
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    dropCurrentReply();
    discardCurrentFile();
    delete ui;
}

void Widget::setSettings(const HttpUpdateSettings &settings)
{
    config = settings;
}

QNetworkReply *Widget::get(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setTransferTimeout(config.transferTimeoutMs);
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    applyTrust(request, config.caFile);
    QNetworkReply *reply = networkManager.get(request);
    reportCertificateErrors(reply);
    reply->setReadBufferSize(kReplyBufferSize);
    return reply;
}

int Widget::checkServerVersion()
{
    statusTitle = Names::kStatusPrepare;
    const QString localPath = appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile;
    const QString url = config.baseUrl + Names::kUpdateIniFile;
    tempFiles.append(localPath);

    if (!downloadFile(url, localPath, kMaxVersionFileBytes)) {
        statusTitle = Names::kStatusStopped;
        statusDetail = QStringLiteral("下载%1失败：").arg(url) + statusDetail;
        refreshStatus();
        return 2;
    }
    statusDetail = QStringLiteral("下载%1成功").arg(url);
    refreshStatus();

    if (!parseServerVersion()) {
        refreshStatus();
        return 3;
    }

    const QString localIni = appDir + Names::kUpdateDir + Names::kUpdateIniFile;
    if (!QFileInfo(localIni).isFile()) {
        statusDetail = QStringLiteral("本地update文件不存在，准备更新");
        refreshStatus();
        return 1;
    }
    const QString localVersion = QSettings(localIni, QSettings::IniFormat).value(Names::kVersionVersionKey).toString();
    if (localVersion == serverVersion) {
        statusDetail = QStringLiteral("update文件版本相同，不需要更新");
        if (QFile::exists(localPath))
            QFile::remove(localPath);
        refreshStatus();
        return 0;
    }
    statusDetail = QStringLiteral("update文件版本不同，需要更新");
    refreshStatus();
    return 1;
}

bool Widget::parseServerVersion()
{
    const QSettings ini(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile, QSettings::IniFormat);
    serverFolder = ini.value(Names::kVersionFolderKey).toString();
    serverVersion = ini.value(Names::kVersionVersionKey).toString();
    if (!serverFolder.isEmpty() && !serverVersion.isEmpty()) {
        serverFolder += QLatin1Char('/');
        return true;
    }
    statusTitle = Names::kStatusFailed;
    statusDetail = QStringLiteral("服务端版本解析失败");
    return false;
}

QString Widget::unsafeServerPath(const QString &path) const
{
    const QString reason = unsafePathReason(path, config.layout.workPlaces());
    if (!reason.isEmpty())
        return reason;
    // The syntax rules keep a path inside; this guards the joined result,
    // links included.
    const QString staging = config.layout.staging;
    if (!PathPolicy::isStrictlyInside(staging, staging + path))
        return QStringLiteral("路径超出临时目录");
    return QString();
}

int Widget::checkManifest()
{
    statusTitle = Names::kStatusPrepare;
    const QString localPath = appDir + Names::kUpdateDir + Names::kMd5TmpFile;
    const QString url = config.baseUrl + serverFolder + Names::kMd5File;
    tempFiles.append(localPath);

    QString problem;
    Md5Map serverMap;
    if (downloadFile(url, localPath, kMaxManifestBytes, ui->progressBar_updatefile)) {
        QFile manifest(localPath);
        if (manifest.open(QIODevice::ReadOnly))
            serverMap = parseServerManifest(manifest.read(kMaxManifestBytes), &problem);
        else
            problem = QStringLiteral("无法打开文件:") + localPath;
    } else {
        problem = statusDetail;
    }
    if (!problem.isEmpty()) {
        statusTitle = Names::kStatusFailed;
        statusDetail = QStringLiteral("下载%1失败：").arg(Names::kMd5File) + problem;
        logError(statusDetail);
        cleanupTempFiles();
        refreshStatus();
        return 2;
    }
    statusDetail = QStringLiteral("MD5比对");
    refreshStatus();

    if (!QFileInfo(appDir + Names::kMd5File).isFile())
        generateMd5File(appDir);
    const Md5Map localMap = readMd5File(appDir + Names::kMd5File);

    // A manifest that names a file outside the staging folder is refused
    // whole: nothing of such a release is fetched.
    for (auto it = serverMap.cbegin(); it != serverMap.cend(); ++it) {
        const QString reason = unsafeServerPath(it.key());
        if (reason.isEmpty())
            continue;
        changedFiles.clear();
        statusTitle = Names::kStatusFailed;
        statusDetail = QStringLiteral("服务端清单包含不安全的路径:") + it.key() + QStringLiteral("（") + reason
            + QStringLiteral("）");
        logError(statusDetail);
        cleanupTempFiles();
        refreshStatus();
        return 3;
    }

    changedFiles = compareMd5Maps(localMap, serverMap);
    return changedFiles.isEmpty() ? 0 : 1;
}

bool Widget::downloadFile(const QString &url, const QString &localPath, qint64 maxBytes, QProgressBar *progressBar)
{
    statusDetail.clear();
    const QString dirPath = QFileInfo(localPath).absolutePath();
    if (!QDir().mkpath(dirPath)) {
        statusDetail = QStringLiteral("无法创建目录:") + dirPath;
        return false;
    }
    QFile file(localPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        statusDetail = QStringLiteral("无法打开文件:") + localPath;
        return false;
    }

    QNetworkReply *reply = get(url);
    QEventLoop loop;
    bool written = true;
    QString refusal; // why this function ended the transfer itself
    const auto refuse = [&](const QString &why) {
        if (refusal.isEmpty() && !why.isEmpty()) {
            refusal = why;
            reply->abort();
        }
    };
    TransferGuard guard(TransferGuard::Kind::Request, config.limits);
    connect(&guard, &TransferGuard::breached, &loop, [&] { refuse(guard.breachText()); });
    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] { refuse(answerProblem(reply, 0, maxBytes)); });
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (!written || !refusal.isEmpty())
            return;
        const QString problem = answerProblem(reply, file.size(), maxBytes);
        if (!problem.isEmpty()) {
            refuse(problem);
        } else if (!appendReplyData(reply, file, nullptr)) {
            written = false;
            reply->abort();
        }
    });
    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, progressBar, [progressBar](qint64 received, qint64 total) {
            if (total > 0)
                progressBar->setValue(static_cast<int>(received * 100 / total));
        });
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    guard.start();
    if (!reply->isFinished())
        loop.exec();
    guard.stop();

    if (reply->error() == QNetworkReply::NoError && written && refusal.isEmpty()) {
        refusal = answerProblem(reply, file.size(), maxBytes);
        if (refusal.isEmpty())
            written = appendReplyData(reply, file, nullptr);
    }
    const bool closed = closeWritten(file);
    // A refused server certificate is named: Qt's own text only says the handshake failed.
    if (refusal.isEmpty())
        refusal = certificateRefusal(reply);
    if (!refusal.isEmpty() || reply->error() != QNetworkReply::NoError || !written || !closed) {
        if (!refusal.isEmpty())
            statusDetail = refusal;
        else if (!written || !closed)
            statusDetail = QStringLiteral("无法保存文件:") + localPath;
        else if (timedOut(reply, false))
            statusDetail = timeoutText(config.transferTimeoutMs) + QStringLiteral("：") + url;
        else
            statusDetail = QStringLiteral("下载错误：") + replyErrorText(reply) + QStringLiteral("（file：") + localPath
                + QStringLiteral("）");
        reply->deleteLater();
        file.remove();
        return false;
    }
    logInfo(QStringLiteral("下载成功:") + localPath);
    reply->deleteLater();
    return true;
}

void Widget::startUpdate()
{
    ui->pushButton_cancel->setEnabled(true);
    if (config.fetchStatement)
        fetchStatement();
    beginDownloads(changedFiles);
}

void Widget::fetchStatement()
{
    for (const QString &name : {Names::kStatementFile, Names::kStatementSignatureFile}) {
        // A statement lists what md5.txt lists, so the manifest's bound holds for it.
        if (!downloadFile(config.baseUrl + serverFolder + name, config.layout.staging + name, kMaxManifestBytes))
            logWarn(statusDetail);
    }
}

void Widget::beginDownloads(const Md5Map &files)
{
    updating = true;
    statusTitle = Names::kStatusUpdating;
    statusDetail.clear();

    tasks.clear();
    currentIndex = 0;
    totalCount = files.size();
    const QString &staging = config.layout.staging;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        tasks.append({config.baseUrl + serverFolder + it.key(), staging + it.key(), it.value()});

    ui->progressBar_update->setValue(0);
    ui->progressBar_update->setRange(0, totalCount);
    ui->label_update->setText(Names::kStatusUpdating + tr("准备更新 %1 个文件").arg(totalCount));

    delete fileGuard;
    fileGuard = new TransferGuard(TransferGuard::Kind::File, config.limits, this);
    connect(fileGuard, &TransferGuard::breached, this, [this] { failDownload(fileGuard->breachText()); });
    reserve.emplace(config.layout.staging, config.limits.diskReserveBytes);
    if (!tasks.isEmpty() && !reserve->admit(0)) {
        // Nothing is requested while the staging folder's disk is short.
        statusDetail = reserve->shortageText();
        logError(statusDetail);
        onUpdateCompleted(false);
    } else if (tasks.isEmpty())
        onUpdateCompleted(true);
    else
        startNextDownload();
}

void Widget::startNextDownload()
{
    if (cancelRequested) {
        onUpdateCompleted(false);
        return;
    }
    if (currentIndex >= totalCount) {
        onUpdateCompleted(true);
        return;
    }

    const DownloadTask &task = tasks.at(currentIndex);
    statusTitle = QStringLiteral("%1 %2/%3").arg(Names::kStatusUpdating).arg(currentIndex + 1).arg(totalCount);
    statusDetail = QFileInfo(task.localPath).fileName();
    refreshStatus();

    QDir().mkpath(QFileInfo(task.localPath).absolutePath());
    currentFile.setFileName(task.localPath);
    if (!currentFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        failToSave(task.localPath);
        return;
    }
    currentHash.reset();

    currentReply = get(task.url);
    connect(currentReply, &QNetworkReply::readyRead, this, &Widget::onDownloadReadyRead);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(currentReply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
    fileGuard->start();
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal > 0)
        ui->progressBar_updatefile->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
}

void Widget::onDownloadReadyRead()
{
    if (currentReply)
        storeReplyData();
}

bool Widget::storeReplyData()
{
    const QString problem = answerProblem(currentReply, 0, 0);
    if (!problem.isEmpty()) {
        failDownload(problem);
        return false;
    }
    const qint64 bytes = currentReply->bytesAvailable();
    if (!reserve->admit(bytes)) {
        failDownload(reserve->shortageText());
        return false;
    }
    fileGuard->addBytes(bytes);
    if (!appendReplyData(currentReply, currentFile, &currentHash)) {
        failToSave(currentFile.fileName());
        return false;
    }
    return true;
}

void Widget::onDownloadFinished()
{
    if (cancelRequested) {
        if (currentReply) {
            currentReply->deleteLater();
            currentReply = nullptr;
        }
        discardCurrentFile();
        onUpdateCompleted(false);
        return;
    }
    if (!currentReply)
        return;
    fileGuard->stop();
    if (currentReply->error() != QNetworkReply::NoError) {
        failRun(QStringLiteral("文件下载失败:") + currentReply->errorString());
        return;
    }
    if (!storeReplyData())
        return;

    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    reply->deleteLater();
    const DownloadTask &task = tasks.at(currentIndex);
    if (!closeWritten(currentFile)) {
        failToSave(task.localPath);
        return;
    }
    const QString digest = QString::fromLatin1(currentHash.result().toHex());
    if (digest.compare(task.md5, Qt::CaseInsensitive) != 0) {
        // A file that is not what the manifest promised is never installed.
        QFile::remove(task.localPath);
        statusDetail = QStringLiteral("文件校验失败:") + task.localPath;
        logError(statusDetail + QStringLiteral(" md5=") + digest + QStringLiteral(" 期望=") + task.md5);
        onUpdateCompleted(false);
        return;
    }

    logInfo(QStringLiteral("文件下载成功并验证通过:") + task.localPath);
    ui->progressBar_update->setValue(currentIndex + 1);
    ++currentIndex;
    startNextDownload();
}

void Widget::onDownloadError(QNetworkReply::NetworkError)
{
    statusDetail.clear();
    if (currentReply) {
        const QString path = currentReply->request().url().path(QUrl::FullyDecoded);
        QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        if (name.isEmpty())
            name = QStringLiteral("unknown_file");
        const QString reason =
            timedOut(currentReply, cancelRequested) ? timeoutText(config.transferTimeoutMs) : replyErrorText(currentReply);
        statusDetail = fileErrorText(name, reason);
        logError(statusDetail);
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    discardCurrentFile();
    onUpdateCompleted(false);
}

void Widget::onUpdateCompleted(bool success)
{
    const bool cancelled = cancelRequested;
    updating = false;
    cancelRequested = false;
    cancelTimer->stop();
    if (fileGuard)
        fileGuard->stop();
    ui->pushButton_cancel->setEnabled(false);
    if (success) {
        ui->label_update->setText(kInstalling);
        ui->progressBar_updatefile->setValue(100);
    } else {
        cleanupTempFiles();
        showRunEnd(cancelled ? RunEnd::Cancelled : RunEnd::Failed, statusDetail);
    }
    emit sigUpdateResult(success);
}

void Widget::showRunEnd(RunEnd end, const QString &detail)
{
    updating = false;
    switch (end) {
    case RunEnd::Succeeded:
        statusTitle = kCompleted;
        statusDetail = detail;
        ui->progressBar_update->setValue(ui->progressBar_update->maximum());
        ui->progressBar_updatefile->setValue(100);
        logInfo(statusTitle + QLatin1Char(' ') + statusDetail);
        break;
    case RunEnd::Failed:
        statusTitle = Names::kStatusFailed;
        statusDetail = detail.isEmpty() ? QStringLiteral("未知错误") : detail;
        logError(statusTitle + QLatin1Char(' ') + statusDetail);
        break;
    case RunEnd::Cancelled:
        statusTitle = kCancelled;
        statusDetail = kCancelledDetail;
        logInfo(statusTitle + QLatin1Char(' ') + statusDetail);
        break;
    }
    refreshStatus();
    ui->pushButton_cancel->setEnabled(false);
    ui->pushButton_cancel->hide();
    ui->pushButton_close->show();
}

void Widget::onCancelUpdate()
{
    if (cancelRequested || !updating)
        return;
    ui->pushButton_cancel->setEnabled(false); // one box at a time
    const bool confirmed = confirmCancel(this);
    // The run may have ended while the box was open.
    if (!updating || cancelRequested)
        return;
    if (confirmed)
        cancelRun();
    else
        ui->pushButton_cancel->setEnabled(true);
}

void Widget::cancelRun()
{
    updating = false;
    cancelRequested = true;
    statusTitle = Names::kStatusCancelling;
    ui->pushButton_cancel->setEnabled(false);
    if (fileGuard)
        fileGuard->stop();
    // Started first: an abort that reports at once ends the run and stops it.
    cancelTimer->start();
    if (currentReply) {
        // Qt's replies report the abort (error, then finished) inside this call.
        currentReply->abort();
        dropCurrentReply();
    }
    tasks.clear();
    if (cancelRequested)
        cleanupTempFiles();
}

void Widget::onCheckCancelRequest()
{
    if (currentReply)
        return;
    cancelTimer->stop();
    if (!cancelRequested)
        return;
    discardCurrentFile();
    onUpdateCompleted(false);
}

void Widget::failRun(const QString &detail)
{
    dropCurrentReply();
    discardCurrentFile();
    statusDetail = detail;
    logError(statusDetail);
    onUpdateCompleted(false);
}

void Widget::failToSave(const QString &path)
{
    failRun(QStringLiteral("无法保存文件:") + path);
}

void Widget::failDownload(const QString &reason)
{
    failRun(fileErrorText(QFileInfo(currentFile.fileName()).fileName(), reason));
}

void Widget::dropCurrentReply()
{
    if (!currentReply)
        return;
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

void Widget::discardCurrentFile()
{
    if (!currentFile.isOpen())
        return;
    currentFile.close();
    currentFile.remove();
}

void Widget::cleanupTempFiles()
{
    for (const QString &path : qAsConst(tempFiles)) {
        if (QFile::exists(path))
            QFile::remove(path);
    }
    const QDir updateDir(appDir + Names::kUpdateDir);
    if (!updateDir.exists())
        return;
    const QFileInfoList entries = updateDir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == Names::kUpdateIniFile)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    logInfo("取消/失败后清理临时文件完成");
}

void Widget::refreshStatus()
{
    ui->label_update->setText(statusTitle);
    ui->label_updatefile->setText(statusDetail);
}

void Widget::paintEvent(QPaintEvent *event)
{
    paintBackground(this);
    QDialog::paintEvent(event);
}

bool Widget::mayClose()
{
    // A transfer left running behind a closed window could still report
    // success after its version file and manifest were cleaned up: closing
    // during a download is a cancel, confirmed like one.
    if (!updating || cancelRequested)
        return true;
    if (!confirmCancel(this))
        return false;
    if (updating && !cancelRequested)
        cancelRun();
    return true;
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (!mayClose()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    if (mayClose())
        QDialog::reject();
}
