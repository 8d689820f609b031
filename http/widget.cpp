#include "config/iniedit.h"
#include "http/widget.h"

#include "config/names.h"
#include "config/releasecontrol.h"
#include "config/systemconfig.h"
#include "trust/ed25519.h"
#include "fileops/pathpolicy.h"
#include "fileops/stagedfile.h"
#include "fileops/transferguard.h"
#include "http/replyrules.h"
#include "http/tlstrust.h"
#include "log/logger.h"
#include "log/percent.h"
#include "ui/background.h"
#include "ui_widget.h"

#include <QAuthenticator>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSet>
#include <QSettings>

#include <utility>

namespace {

const QString kCompleted = QStringLiteral("更新完成!");
const QString kInstalling = QStringLiteral("下载完成，正在安装更新…");
const QString kCancelled = QStringLiteral("更新已取消");
const QString kCancelledDetail = QStringLiteral("已取消，未安装任何文件");
const QString kFetchingStatement = QStringLiteral("正在获取发布声明…");
const QString kFetchingPatchIndex = QStringLiteral("正在获取补丁索引…");

// The most the version description and the manifest may hold: both are read
// into memory whole. A manifest of this size lists some hundred thousand
// files.
constexpr qint64 kMaxVersionFileBytes = 64 << 10;
constexpr qint64 kMaxManifestBytes = 16 << 20;
// A statement line is at most about 2.3 times the manifest line of the
// same file (a size and a SHA-256 against an MD5), so a release whose
// manifest fits has a statement that fits this.
constexpr qint64 kMaxStatementBytes = 3 * kMaxManifestBytes;

// Redirects are followed only to an equally or more safe scheme, and only
// this many in a row.
constexpr int kMaxRedirects = 3;

// At most maxBytes of a downloaded file; empty when it cannot be read.
QByteArray readFileBytes(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(maxBytes) : QByteArray();
}

// Both bars count in per mille, from the files' bytes.
constexpr int kBarSteps = 1000;

} // namespace

HttpUpdateSettings HttpUpdateSettings::fromConfig(const InstallLayout &layout, const CSystemConfig &systemConfig)
{
    HttpUpdateSettings settings;
    settings.layout = layout;
    settings.baseUrl = systemConfig.getUpdateValue(Names::kUrlKey);
    settings.limits = systemConfig.getTransferLimits();
    settings.fetchStatement = !systemConfig.getPublicKeys().trimmed().isEmpty();
    settings.publicKeys = Ed25519::parsePublicKeys(systemConfig.getPublicKeys()).value_or(QVector<QByteArray>());
    const QString caFile = systemConfig.getCaFile();
    settings.caFile = caFile.isEmpty() ? QString() : QDir(layout.installation).absoluteFilePath(caFile);
    settings.parallelDownloads = systemConfig.getParallelDownloads();
    settings.proxy = ProxySettings::fromConfig(systemConfig);
    return settings;
}

Widget::Widget(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
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
    connect(&scheduler, &DownloadScheduler::attemptDue, this, &Widget::startAttempt);
    connect(&scheduler, &DownloadScheduler::itemDone, this, &Widget::onFileStaged);
    connect(&scheduler, &DownloadScheduler::finished, this, &Widget::onRunFinished);
    connect(&scheduler, &DownloadScheduler::retryPaused, this,
            [this](int index) { showRetryPause(QFileInfo(tasks.at(index).localPath).fileName()); });
    // What the pacer held back is shown once it is due: the window never
    // stays behind the run for longer than the pacer's interval.
    heldRefresh.setSingleShot(true);
    connect(&heldRefresh, &QTimer::timeout, this, &Widget::showProgressNow);
    connect(&networkManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            [this](const QNetworkProxy &, QAuthenticator *authenticator) {
                config.proxy.answerChallenge(authenticator, proxyAnswers);
            });
    useProxySettings();
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    abortTransfers();
    delete ui;
}

void Widget::setSettings(const HttpUpdateSettings &settings)
{
    config = settings;
    refreshPacer.setInterval(config.refreshIntervalMs);
    useProxySettings();
}

void Widget::useProxySettings()
{
    // The manager owns its factory and drops the one before.
    networkManager.setProxyFactory(new ProxySettingsFactory(config.proxy));
    proxyAnswers = 0;
}

QNetworkReply *Widget::get(const QString &url, const FileTransfer::Headers &headers)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
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

int Widget::checkServerVersion(const QString &description)
{
    statusTitle = Names::kStatusPrepare;
    const QString localPath = appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile;
    const QString url = config.baseUrl + description;
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
        // An unusable version description is no part of any later run.
        cleanupTempFiles();
        refreshStatus();
        return 3;
    }

    const QString localIni = appDir + Names::kUpdateDir + Names::kUpdateIniFile;
    if (!QFileInfo(localIni).isFile()) {
        statusDetail = QStringLiteral("本地update文件不存在，准备更新");
        refreshStatus();
        return 1;
    }
    const QString localVersion = QSettings(IniEdit::settingsPath(localIni), QSettings::IniFormat).value(Names::kVersionVersionKey).toString();
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

int Widget::followSteppingStone()
{
    const QSettings offered(IniEdit::settingsPath(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile), QSettings::IniFormat);
    const QString minimum = offered.value(Names::kVersionMinRequiredKey).toString();
    const QString installed = QSettings(IniEdit::settingsPath(appDir + Names::kUpdateDir + Names::kUpdateIniFile), QSettings::IniFormat)
                                  .value(Names::kVersionVersionKey)
                                  .toString();
    if (ReleaseControl::appliesTo(installed, minimum))
        return 1;
    const QString stone = offered.value(Names::kVersionSteppingStoneKey).toString();
    const int result = PathPolicy::isPlainFileName(stone) ? checkServerVersion(stone + QStringLiteral(".ini")) : 3;
    if (result == 1) {
        logInfo(QStringLiteral("已安装的版本 %1 低于新版本要求的最低版本 %2，先安装过渡版本 %3")
                    .arg(installed, minimum, serverVersion));
    } else if (result != 2) {
        cleanupTempFiles();
        statusTitle = Names::kStatusFailed;
        statusDetail = QStringLiteral("已安装的版本 %1 低于新版本要求的最低版本 %2，且服务端未提供可用的过渡版本")
                           .arg(installed, minimum);
        refreshStatus();
        return 3;
    }
    return result;
}

bool Widget::parseServerVersion()
{
    const QSettings ini(IniEdit::settingsPath(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile), QSettings::IniFormat);
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

QString Widget::unsafeServerPath(const QString &path, const QStringList &workPlaces,
                                 const PathPolicy::FolderBound &staged) const
{
    const QString reason = unsafePathReason(path, workPlaces);
    if (!reason.isEmpty())
        return reason;
    // The syntax rules keep a path inside; this guards the joined result,
    // links included.
    if (!staged.holds(config.layout.staging + path))
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
        if (manifest.open(QIODevice::ReadOnly)) {
            const QByteArray text = manifest.read(kMaxManifestBytes);
            // A release published with its manifest's size and digest in
            // update.ini proves the manifest whole, whatever the server did.
            const QSettings ini(IniEdit::settingsPath(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile), QSettings::IniFormat);
            problem = manifestRecordProblem(text, ini.value(Names::kVersionManifestSizeKey).toString(),
                                            ini.value(Names::kVersionManifestMd5Key).toString());
            if (problem.isEmpty())
                serverMap = parseServerManifest(text, &problem);
        } else {
            problem = QStringLiteral("无法打开文件:") + config.layout.shownPath(localPath);
        }
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
    const QByteArray localManifest = readManifestText(appDir + Names::kMd5File);

    // A manifest that names a file outside the staging folder is refused
    // whole: nothing of such a release is fetched.
    const QStringList workPlaces = config.layout.workPlaces();
    const PathPolicy::FolderBound staged(config.layout.staging);
    for (auto it = serverMap.cbegin(); it != serverMap.cend(); ++it) {
        const QString reason = unsafeServerPath(it.key(), workPlaces, staged);
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

    changedFiles = compareWithManifest(localManifest, serverMap);
    return changedFiles.isEmpty() ? 0 : 1;
}

bool Widget::downloadFile(const QString &url, const QString &localPath, qint64 maxBytes, QProgressBar *progressBar)
{
    return fetchSmallFile(url, localPath, maxBytes, progressBar, false) == Fetched::Whole;
}

Widget::Fetched Widget::fetchSmallFile(const QString &url, const QString &localPath, qint64 maxBytes,
                                       QProgressBar *progressBar, bool absentAllowed)
{
    statusDetail.clear();
    const QString dirPath = QFileInfo(localPath).absolutePath();
    if (!QDir().mkpath(dirPath)) {
        statusDetail = QStringLiteral("无法创建目录:") + config.layout.shownPath(dirPath);
        return Fetched::Failed;
    }
    // Version files and the statement keep the same free-space reserve as the
    // release's files.
    DiskReserve fileReserve(dirPath, config.limits.diskReserveBytes);
    // The release's files and these take the same retry rule from the one
    // scheduler: a run of one file.
    DownloadScheduler requests;
    requests.setRetryPolicy(config.retry);
    const QString name = QUrl(url, QUrl::TolerantMode).fileName(); // as the log names it
    bool absent = false;
    QEventLoop loop;
    connect(&requests, &DownloadScheduler::attemptDue, &loop, [&](const DownloadScheduler::Attempt &attempt) {
        const AttemptEnd end = requestOnce(url, localPath, maxBytes, fileReserve, progressBar);
        absent = absentAllowed && !end.ok && end.cause == FailureCause::Missing;
        requests.attemptEnded(attempt.lane, absent ? AttemptEnd::success() : end);
    });
    connect(&requests, &DownloadScheduler::retryPaused, &loop, [&] { showRetryPause(name); });
    connect(&requests, &DownloadScheduler::finished, &loop, &QEventLoop::quit);
    // A cancel meanwhile ends it, in a pause too (abortTransfers).
    const QPointer<DownloadScheduler> runBefore = std::exchange(requestRun, &requests);
    requests.start({name}, 1);
    if (requests.isRunning())
        loop.exec();
    requestRun = runBefore;
    if (requests.doneCount() == 1)
        return absent ? Fetched::Absent : Fetched::Whole;
    // A cancel has said so already.
    if (requests.failedItem() >= 0)
        statusDetail = requests.lastFailure().detail;
    return Fetched::Failed;
}

AttemptEnd Widget::requestOnce(const QString &url, const QString &localPath, qint64 maxBytes, DiskReserve &fileReserve,
                               QProgressBar *progressBar)
{
    StagedFile file(localPath, fileReserve);
    if (file.open() != StagedFile::Problem::None)
        return AttemptEnd::failure(FailureCause::WriteFailed,
                                   QStringLiteral("无法打开文件:") + config.layout.shownPath(localPath));

    QNetworkReply *reply = get(url);
    // A cancel meanwhile aborts it (abortTransfers).
    const QPointer<QNetworkReply> pendingBefore = std::exchange(pending, reply);
    QEventLoop loop;
    StagedFile::Problem stored = StagedFile::Problem::None;
    QString refusal; // why this function ended the transfer itself
    FailureCause refusalCause = FailureCause::BadAnswer;
    const auto endRefused = [reply] {
        if (endsByItself(reply))
            reply->readAll();
        else
            reply->abort();
    };
    const auto refuse = [&](const QString &why, FailureCause cause) {
        if (refusal.isEmpty() && !why.isEmpty()) {
            refusal = why;
            refusalCause = cause;
            endRefused();
        }
    };
    // The cause of an answer refused for its header or its size.
    const auto answerCause = [reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 300 ? replyFailureCause(QNetworkReply::NoError, status) : FailureCause::BadAnswer;
    };
    // Moves what the reply holds into the file; false when that failed.
    const auto store = [&] {
        stored = file.append(reply->readAll());
        return stored == StagedFile::Problem::None;
    };
    TransferGuard guard(TransferGuard::Kind::Request, config.limits);
    connect(&guard, &TransferGuard::breached, &loop, [&] {
        refuse(guard.breachText(), FailureCause::TimedOut);
        reply->abort(); // also an error answer whose body was being dropped
    });
    connect(reply, &QNetworkReply::metaDataChanged, &loop,
            [&] { refuse(answerProblem(reply, 0, maxBytes), answerCause()); });
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (!refusal.isEmpty()) {
            endRefused();
            return;
        }
        if (stored != StagedFile::Problem::None)
            return;
        const QString problem = answerProblem(reply, file.size(), maxBytes);
        if (!problem.isEmpty())
            refuse(problem, answerCause());
        else if (!store())
            reply->abort();
    });
    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, progressBar, [progressBar](qint64 received, qint64 total) {
            if (total > 0)
                progressBar->setValue(percentOf(received, total));
        });
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    guard.start();
    if (!reply->isFinished())
        loop.exec();
    guard.stop();
    pending = pendingBefore;

    if (reply->error() == QNetworkReply::NoError && stored == StagedFile::Problem::None && refusal.isEmpty()) {
        refuse(answerProblem(reply, file.size(), maxBytes), answerCause());
        if (refusal.isEmpty() && store()) {
            // Only a body shorter than its announced length may be the end of a cut.
            refuse(incompleteBodyProblem(reply, file.size()),
                   reply->header(QNetworkRequest::ContentLengthHeader).isValid() ? FailureCause::Cut
                                                                                 : FailureCause::BadAnswer);
        }
    }
    if (stored == StagedFile::Problem::None && refusal.isEmpty() && reply->error() == QNetworkReply::NoError)
        stored = file.finish();
    if (stored == StagedFile::Problem::DiskShort)
        refuse(fileReserve.shortageText(), FailureCause::DiskFull);
    // A refused server certificate is named: Qt's own text only says the handshake failed.
    refuse(certificateRefusal(reply), FailureCause::Denied);
    if (refusal.isEmpty() && reply->error() == QNetworkReply::NoError && stored == StagedFile::Problem::None) {
        logInfo(QStringLiteral("下载成功:") + localPath);
        reply->deleteLater();
        return AttemptEnd::success();
    }
    AttemptEnd end = AttemptEnd::failure(refusalCause, refusal);
    if (refusal.isEmpty()) {
        if (stored != StagedFile::Problem::None)
            end = AttemptEnd::failure(FailureCause::WriteFailed, saveErrorText(config.layout.shownPath(localPath)));
        else if (timedOut(reply))
            end = AttemptEnd::failure(FailureCause::TimedOut,
                                      timeoutText(config.transferTimeoutMs) + QStringLiteral("：") + url);
        else
            end = AttemptEnd::failure(
                replyFailureCause(reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()),
                QStringLiteral("下载错误：") + replyErrorText(reply));
    }
    // The system's own words stay in the log; a cancel has its own line.
    if (requestRun && requestRun->isRunning())
        logWarn(end.detail + QStringLiteral(" (") + url + QStringLiteral(": ") + replySystemText(reply) + QLatin1Char(')'));
    reply->deleteLater();
    file.discard();
    return end;
}

void Widget::startUpdate()
{
    ui->pushButton_cancel->setEnabled(true);
    if (config.fetchStatement) {
        // The window is on the screen: cancel and closing ask from now on.
        updating = true;
        fetchStatement();
        if (!updating)
            return; // cancelled meanwhile
    }
    if (config.usePatches) {
        updating = true;
        fetchPatchIndex();
        if (!updating)
            return;
    }
    beginDownloads(changedFiles);
}

void Widget::fetchStatement()
{
    for (const QString &name : {Names::kStatementFile, Names::kStatementSignatureFile}) {
        if (!updating)
            return;
        showFetching(kFetchingStatement);
        if (!downloadFile(config.baseUrl + serverFolder + name, config.layout.staging + name, kMaxStatementBytes,
                          ui->progressBar_updatefile))
            logWarn(statusDetail);
    }
}

void Widget::beginDownloads(const Md5Map &files)
{
    updating = true;
    statusTitle = Names::kStatusUpdating;
    statusDetail.clear();

    tasks.clear();
    doneCount = 0;
    totalCount = files.size();
    const QString &staging = config.layout.staging;
    QSet<QString> digests;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        tasks.append({config.baseUrl + serverFolder + it.key(), staging + it.key(), it.value(),
                      config.layout.shownPath(staging + it.key())});
        digests.insert(it.value().toLower());
    }
    // What an earlier run left of files this release no longer names goes.
    // A folder that leads out of the installation (a link) is never written:
    // the run then downloads straight into the staging folder.
    partials = PartialDownloads::ofInstallation(appDir);
    partials.keepOnly(digests);
    patchedInPlace.clear();
    patchFailures.clear();

    progress.begin(totalCount);
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setRange(0, kBarSteps);
        bar->setValue(0);
    }
    ui->label_update->setText(Names::kStatusUpdating + tr("准备更新 %1 个文件").arg(totalCount));

    planPatches();
    if (!updating)
        return; // cancelled while the installed files were hashed
    reserve.emplace(partials.folder().isEmpty() ? staging : partials.folder(), config.limits.diskReserveBytes);
    DiskReserve stagingReserve(staging, config.limits.diskReserveBytes);
    if (!tasks.isEmpty() && (!stagingReserve.admit(0) || !reserve->admit(0))) {
        // Nothing is requested while the disk of the downloads is short.
        statusDetail = stagingReserve.admit(0) ? reserve->shortageText() : stagingReserve.shortageText();
        logError(statusDetail);
        onUpdateCompleted(false);
        return;
    }
    QStringList names;
    QVector<int> sources; // a planned patch first, the whole file after
    for (const DownloadTask &task : qAsConst(tasks)) {
        names.append(task.localPath.mid(staging.size()));
        sources.append(plannedPatches.contains(task.localPath) ? 2 : 1);
    }
    scheduler.setRetryPolicy(config.retry);
    scheduler.start(names, qBound(1, config.parallelDownloads, kMaxConnections), sources);
}

void Widget::onRunFinished(DownloadScheduler::End end)
{
    switch (end) {
    case DownloadScheduler::End::Done:
        if (stageDownloads())
            onUpdateCompleted(true);
        else
            failRun(statusDetail);
        break;
    case DownloadScheduler::End::Failed:
        failRun(scheduler.lastFailure().detail);
        break;
    case DownloadScheduler::End::Cancelled:
    case DownloadScheduler::End::Stopped:
        break; // ended here, which says why
    }
}

void Widget::onFileStaged(int)
{
    ++doneCount;
    showProgress();
}

bool Widget::stageDownloads()
{
    for (const DownloadTask &task : qAsConst(tasks)) {
        if (partials.dataPath(task.md5).isEmpty() || patchedInPlace.contains(task.localPath))
            continue; // written where it is staged
        QString shortage;
        const StagedFile::Problem problem =
            partials.moveInto(task.md5, task.localPath, config.limits.diskReserveBytes, &shortage);
        if (problem == StagedFile::Problem::None)
            continue;
        statusDetail = shortage.isEmpty() ? saveErrorText(task.shownPath) : shortage;
        logError(shortage.isEmpty() ? saveErrorText(task.localPath) : shortage);
        // A staged file that cannot be trusted is not kept for the next run.
        partials.forget(task.md5);
        return false;
    }
    partials.removeAll();
    return true;
}

void Widget::startAttempt(const DownloadScheduler::Attempt &attempt)
{
    const DownloadTask &task = tasks.at(attempt.item);
    const bool patchPlanned = plannedPatches.contains(task.localPath);
    const std::optional<PatchEntry> patch = attempt.source == 0 && patchPlanned
        ? std::optional<PatchEntry>(plannedPatches.value(task.localPath))
        : std::nullopt;
    if (patchPlanned && attempt.source == 1 && attempt.number == 0)
        PatchSource::logPatchFailed(task.localPath.mid(config.layout.staging.size()), patchFailures.value(task.localPath));
    // Fetched outside the staging folder, where no release file can lie.
    const auto patchFileFor = [this](const DownloadTask &staged) {
        const QString name = QString::fromLatin1(
            QCryptographicHash::hash(staged.localPath.toUtf8(), QCryptographicHash::Md5).toHex());
        tempFiles.append(appDir + Names::kUpdateDir + QStringLiteral("patch-") + name);
        return tempFiles.constLast();
    };
    const QString patchFile = patch ? patchFileFor(task) : QString();
    const DownloadTask fetched = patch ? DownloadTask{config.baseUrl + PatchLayout::patchPath(patch->baseSha256, patch->targetSha256),
                                                      patchFile, patch->patchMd5, config.layout.shownPath(patchFile)}
                                       : task;
    // A patch is fetched and applied within its run: only whole files wait
    // among the partial downloads for a later one (and a retry continues
    // from there).
    auto *transfer = new FileTransfer(fetched, config.limits, config.transferTimeoutMs, *reserve,
                                      patch ? PartialDownloads() : partials, this);
    if (!transfer->open()) {
        delete transfer;
        logError(saveErrorText(task.localPath));
        failRun(saveErrorText(task.shownPath));
        return;
    }
    const int lane = attempt.lane;
    if (transfer->isComplete()) {
        logInfo(QStringLiteral("文件已在上次下载中完成并验证通过:") + task.localPath);
        delete transfer;
        scheduler.attemptEnded(lane, AttemptEnd::success());
        return;
    }
    transfers.append(transfer);
    progress.started(transfer, QFileInfo(task.localPath).fileName());
    showProgress();
    if (attempt.number > 0) {
        statusDetail = QStringLiteral("第%1次重试下载: %2").arg(attempt.number).arg(QFileInfo(task.localPath).fileName());
        refreshStatus();
    }

    connect(transfer, &FileTransfer::progress, this, [this, transfer](qint64 received, qint64 total) {
        progress.progressed(transfer, received, total);
        showProgress();
    });
    if (patch) {
        connect(transfer, &FileTransfer::succeeded, this,
                [this, lane, transfer, task, entry = *patch] { onPatchFetched(lane, transfer, task, entry); });
    } else {
        connect(transfer, &FileTransfer::succeeded, this, [this, lane, transfer] {
            logInfo(QStringLiteral("文件下载成功并验证通过:") + transfer->task().localPath);
            endAttempt(lane, transfer, AttemptEnd::success());
        });
    }
    connect(transfer, &FileTransfer::failed, this,
            [this, lane, transfer, task, patched = bool(patch)](FailureCause cause, const QString &detail) {
                if (patched)
                    patchFailures.insert(task.localPath, detail);
                endAttempt(lane, transfer, AttemptEnd::failure(cause, detail));
            });
    const QString url = fetched.url;
    transfer->start([this, url](const FileTransfer::Headers &headers) { return get(url, headers); });
}

void Widget::endAttempt(int lane, FileTransfer *transfer, const AttemptEnd &end)
{
    transfers.removeOne(transfer);
    progress.finished(transfer, end.ok);
    // It may be reporting right now.
    transfer->deleteLater();
    scheduler.attemptEnded(lane, end);
}

void Widget::fetchPatchIndex()
{
    patchSource = PatchSource();
    const QString folder = serverFolder.chopped(1);
    const QString indexPath = appDir + Names::kUpdateDir + QStringLiteral("patches.index.tmp");
    const QString signaturePath = indexPath + QStringLiteral(".sig");
    tempFiles << indexPath << signaturePath;
    const bool signatureRequired = config.fetchStatement;
    showFetching(kFetchingPatchIndex);
    // A release without patches has no index: not retried, not a failure.
    if (fetchSmallFile(config.baseUrl + PatchLayout::indexPath(folder), indexPath, PatchSource::kMaxIndexBytes,
                       ui->progressBar_updatefile, true)
        != Fetched::Whole) {
        patchSource.takeNone();
        return;
    }
    if (signatureRequired && updating
        && !downloadFile(config.baseUrl + PatchLayout::signaturePath(folder), signaturePath, kMaxStatementBytes))
        logWarn(statusDetail);
    const QByteArray index = readFileBytes(indexPath, PatchSource::kMaxIndexBytes);
    const QByteArray signature = readFileBytes(signaturePath, kMaxStatementBytes);
    QFile::remove(indexPath);
    QFile::remove(signaturePath);
    patchSource.take(index, signature, config.publicKeys, signatureRequired, serverVersion, folder);
}

void Widget::planPatches()
{
    plannedPatches.clear();
    QStringList paths;
    for (const DownloadTask &task : qAsConst(tasks))
        paths << task.localPath.mid(config.layout.staging.size());
    // Hashed off the window's thread: it paints and hears cancel meanwhile.
    patchPlanner.start(patchSource, paths, config.layout.installation);
    const QHash<QString, PatchEntry> planned = patchPlanner.wait().value_or(QHash<QString, PatchEntry>());
    for (const DownloadTask &task : qAsConst(tasks)) {
        const auto it = planned.constFind(task.localPath.mid(config.layout.staging.size()));
        if (it != planned.cend())
            plannedPatches.insert(task.localPath, *it);
    }
}

void Widget::onPatchFetched(int lane, FileTransfer *transfer, const DownloadTask &task, const PatchEntry &patch)
{
    const QString patchFile = transfer->task().localPath;
    const QString path = task.localPath.mid(config.layout.staging.size());
    if (!reserve->admit(patch.targetSize)) {
        QFile::remove(patchFile);
        logError(reserve->shortageText());
        failRun(reserve->shortageText());
        return;
    }
    // The lane stays taken while the file is built: the run cannot end
    // meanwhile, and a cancel stops the build (abortTransfers).
    patchBuilds.start([this, lane, transfer, task, patch, path, patchFile,
                       installation = config.layout.installation](const std::atomic<bool> &stop) {
        const Delta::PatchFailure failure =
            PatchSource::buildFile(patch, path, installation, patchFile, task.localPath, task.md5, stop);
        return PatchWorker::Delivery(
            [this, lane, transfer, task, patch, failure] { onPatchBuilt(lane, transfer, task, patch, failure); });
    });
}

void Widget::onPatchBuilt(int lane, FileTransfer *transfer, const DownloadTask &task, const PatchEntry &patch,
                          Delta::PatchFailure failure)
{
    if (failure != Delta::PatchFailure::None) {
        // The patch source failed for good: the scheduler fetches the whole file.
        const QString why = QString::fromLatin1(Delta::failureName(failure));
        patchFailures.insert(task.localPath, why);
        endAttempt(lane, transfer, AttemptEnd::failure(FailureCause::DigestMismatch, why));
        return;
    }
    PatchSource::logPatchBuilt(patch, task.localPath.mid(config.layout.staging.size()));
    patchedInPlace.insert(task.localPath);
    logInfo(QStringLiteral("文件下载成功并验证通过:") + task.localPath);
    endAttempt(lane, transfer, AttemptEnd::success());
}

void Widget::showProgress()
{
    if (refreshPacer.due())
        showProgressNow();
    else if (!heldRefresh.isActive())
        heldRefresh.start(refreshPacer.untilDue());
}

void Widget::showProgressNow()
{
    heldRefresh.stop();
    refreshPacer.shown();
    statusTitle = QStringLiteral("%1 %2/%3").arg(Names::kStatusUpdating).arg(doneCount).arg(totalCount);
    if (!progress.followedName().isEmpty())
        statusDetail = progress.followedName();
    ui->progressBar_update->setValue(progress.overallPerMille());
    ui->progressBar_updatefile->setValue(progress.followedPerMille());
    ui->progressBar_updatefile->setFormat(progress.followedText());
    refreshStatus();
}

void Widget::abortTransfers()
{
    // Taken first: a transfer that is dropped reports nothing, but the list
    // must not change while it is walked.
    const QList<FileTransfer *> dropped = std::exchange(transfers, {});
    // Before the transfers go: a file being built reads one's patch file.
    patchBuilds.cancel();
    // Before the request goes: an aborted request must not count as a
    // failed attempt.
    if (requestRun)
        requestRun->cancel();
    if (pending)
        pending->abort();
    patchPlanner.cancel();
    for (FileTransfer *transfer : dropped) {
        progress.finished(transfer, false);
        transfer->abort();
        // The one that failed may be reporting right now.
        transfer->deleteLater();
    }
}

void Widget::onUpdateCompleted(bool success)
{
    const bool cancelled = cancelRequested;
    updating = false;
    cancelRequested = false;
    scheduler.stop();
    abortTransfers();
    // The end shows exact bars.
    heldRefresh.stop();
    ui->pushButton_cancel->setEnabled(false);
    if (success) {
        // Every file is staged: what the downloads kept per file is let go
        // before the install, which makes its own list of every file.
        tasks = {};
        plannedPatches = {};
        patchFailures = {};
        patchedInPlace = {};
        showInstalling();
    } else {
        cleanupTempFiles();
        showRunEnd(cancelled ? RunEnd::Cancelled : RunEnd::Failed, statusDetail);
    }
    emit sigUpdateResult(success);
}

void Widget::showInstalling()
{
    installing = true;
    ui->pushButton_cancel->setEnabled(false);
    statusTitle = kInstalling;
    refreshStatus();
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setValue(bar->maximum());
        bar->resetFormat();
    }
}

void Widget::showRunEnd(RunEnd end, const QString &detail)
{
    updating = false;
    installing = false;
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile})
        bar->resetFormat();
    switch (end) {
    case RunEnd::Succeeded:
        statusTitle = kCompleted;
        statusDetail = detail;
        ui->progressBar_update->setValue(ui->progressBar_update->maximum());
        ui->progressBar_updatefile->setValue(ui->progressBar_updatefile->maximum());
        logInfo(statusTitle + QLatin1Char(' ') + statusDetail);
        break;
    case RunEnd::Failed:
        statusTitle = Names::kStatusFailed;
        statusDetail = detail.isEmpty() ? QStringLiteral("未知错误") : detail;
        logError(statusTitle + QLatin1Char(' ') + statusDetail);
        // Full bars would read as success at a glance. The emptied file bar
        // says where the log is: in the detail line it would push out the
        // end of a long reason.
        ui->progressBar_update->setValue(ui->progressBar_update->minimum());
        ui->progressBar_updatefile->setValue(ui->progressBar_updatefile->minimum());
        if (!logFile.isEmpty())
            ui->progressBar_updatefile->setFormat(logHint(logFile));
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
    cancelRequested = true;
    statusTitle = Names::kStatusCancelling;
    ui->pushButton_cancel->setEnabled(false);
    // Ends a retry's pause too.
    scheduler.cancel();
    abortTransfers();
    tasks.clear();
    onUpdateCompleted(false);
}

void Widget::failRun(const QString &detail)
{
    // A transfer dropped by an earlier end reports nothing; this only guards
    // against a second failure reported in the same turn.
    if (!updating)
        return;
    statusDetail = detail;
    onUpdateCompleted(false);
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
        // The installed version description, and the record of its signed
        // statement that the next update's sequence is compared with:
        // dropping it would let an older signed release be replayed. The
        // rollout group is drawn once for good.
        if (entry.fileName() == Names::kUpdateIniFile || entry.fileName() == Names::kStatementFile
            || entry.fileName() == Names::kRolloutGroupFile)
            continue;
        // Downloads a later run continues; an empty folder goes.
        if (entry.fileName() == Names::kPartialDir && entry.isDir() && !entry.isSymLink()) {
            QDir().rmdir(entry.filePath());
            continue;
        }
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    logInfo("取消/失败后清理临时文件完成");
}

void Widget::showRetryPause(const QString &name)
{
    statusDetail = QStringLiteral("下载失败，等待重试: ") + name;
    refreshStatus();
}

void Widget::showFetching(const QString &what)
{
    // The file bar still shows the manifest's download, which is done.
    ui->progressBar_updatefile->setValue(ui->progressBar_updatefile->minimum());
    statusDetail = what;
    refreshStatus();
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
    // during a download is a cancel, confirmed like one. While installing
    // there is nothing to cancel: the end follows.
    if (installing)
        return false;
    if (!updating || cancelRequested)
        return true;
    if (!confirmCancel(this))
        return false;
    if (updating && !cancelRequested)
        cancelRun();
    return true;
}

void Widget::showEvent(QShowEvent *event)
{
    useUpdaterWindowIcon();
    QDialog::showEvent(event);
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
