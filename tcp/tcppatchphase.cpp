#include "tcp/tcppatchphase.h"

#include "config/iniedit.h"
#include "config/names.h"
#include "delta/patchsource.h"
#include "fileops/diskreserve.h"
#include "fileops/partialdownloads.h"
#include "fileops/pathpolicy.h"
#include "fileops/stagedfile.h"
#include "fileops/tempfilewriter.h"
#include "http/md5manifest.h"
#include "log/logger.h"
#include "tcp/updatetcpclient.h"

#include <QFile>
#include <QSet>
#include <QSettings>

namespace {

// A file below the published root ("_patches/v2.index") as the protocol
// names it: its folder and its name.
FileRequest requestFor(const QString &relative)
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    return FileRequest{relative.left(slash), relative.mid(slash + 1)};
}

// The "/"-prefixed path of a listed file, as md5.txt and the index name it;
// null when the pair is unsafe.
QString listedPath(const FileRequest &file)
{
    const QString relative = stagedRelativePath(file.filePath, file.fileName);
    return relative.isNull() ? QString() : QLatin1Char('/') + relative;
}

int indexOfPath(const QVector<FileRequest> &files, const QString &path)
{
    for (int i = 0; i < files.size(); ++i) {
        if (listedPath(files.at(i)) == path)
            return i;
    }
    return -1;
}

QByteArray readAtMost(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(maxBytes) : QByteArray();
}

} // namespace

TcpPatchPhase::TcpPatchPhase(QUpdateTcpClient *tcpClient, const Settings &phaseSettings)
    : client(tcpClient)
    , settings(phaseSettings)
    , workFile(phaseSettings.installation + Names::kUpdateDir + QStringLiteral("patch-tcp.tmp"))
    , planner(phaseSettings.hasher)
{
}

void TcpPatchPhase::cancel(const QString &reason)
{
    cancelled = true;
    planner.cancel();
    builds.cancel();
    if (client)
        client->cancelRequest(reason);
}

QVector<FileRequest> TcpPatchPhase::run(const QVector<FileRequest> &listed, const QString &version)
{
    QVector<FileRequest> left = listed;
    // Work files go below update/ only while it is a folder of the installation.
    if (!client || settings.staging.isEmpty() || settings.installation.isEmpty()
        || !PathPolicy::isStrictlyInside(settings.installation, workFile))
        return left;

    PatchSource source;
    const int ini = indexOfPath(left, QLatin1Char('/') + Names::kUpdateIniFile);
    if (ini < 0 || !fetch(left.at(ini))) {
        source.takeNone();
        return left;
    }
    left.removeAt(ini);
    const QString folder = QSettings(IniEdit::settingsPath(settings.staging + Names::kUpdateIniFile), QSettings::IniFormat)
                               .value(Names::kVersionFolderKey)
                               .toString();
    const auto index = fetchBytes(requestFor(PatchLayout::indexPath(folder)), PatchSource::kMaxIndexBytes);
    QByteArray signature;
    if (index && settings.signatureRequired)
        signature = fetchBytes(requestFor(PatchLayout::signaturePath(folder)), PatchSource::kMaxIndexBytes)
                        .value_or(QByteArray());
    if (index)
        source.take(*index, signature, settings.publicKeys, settings.signatureRequired, version, folder);
    else
        source.takeNone();

    // Every file of the release is listed, changed or not: only the ones the
    // index has patches for are looked at (their installed bytes hashed).
    QStringList candidates;
    for (const FileRequest &file : qAsConst(left)) {
        const QString path = listedPath(file);
        if (!path.isNull() && source.lists(path))
            candidates << path;
    }
    if (cancelled)
        return left;
    // Hashed off this thread: the window goes on meanwhile, and a cancel
    // ends the wait.
    planner.start(source, candidates, settings.installation);
    const QHash<QString, PatchEntry> planned = planner.wait().value_or(QHash<QString, PatchEntry>());
    const PartialDownloads kept = PartialDownloads::ofInstallation(settings.installation);
    if (cancelled || (planned.isEmpty() && !kept.holdsAny()))
        return left;

    const int manifest = indexOfPath(left, QLatin1Char('/') + Names::kMd5File);
    Md5Map digests;
    if (manifest >= 0 && fetch(left.at(manifest))) {
        left.removeAt(manifest);
        QString problem;
        digests = parseServerManifest(readAtMost(settings.staging + Names::kMd5File, PatchSource::kMaxIndexBytes), &problem);
    }
    left = takeKept(kept, digests, left);
    DiskReserve stagingReserve(settings.staging, settings.reserveBytes);
    for (auto it = planned.cbegin(); it != planned.cend() && !cancelled; ++it) {
        const QString &path = it.key();
        const PatchEntry &entry = it.value();
        const QString md5 = digests.value(path);
        if (indexOfPath(left, path) < 0)
            continue; // taken whole from an earlier run
        if (md5.isEmpty()) {
            PatchSource::logPatchFailed(path, QStringLiteral("md5.txt gives no digest for it"));
            continue;
        }
        if (!fetch(requestFor(PatchLayout::patchPath(entry.baseSha256, entry.targetSha256)), workFile, entry.patchSize)) {
            PatchSource::logPatchFailed(path, client->lastError());
            continue;
        }
        if (!stagingReserve.admit(entry.targetSize)) {
            QFile::remove(workFile);
            PatchSource::logPatchFailed(path, stagingReserve.shortageText());
            continue;
        }
        // Built off the window's thread: it paints, the heartbeat goes out
        // and a cancel is heard meanwhile (then no result comes).
        std::optional<Delta::PatchFailure> built;
        builds.start([&built, entry, path, installation = settings.installation, patchFile = workFile,
                      outFile = settings.staging + path.mid(1), md5](const std::atomic<bool> &stop) {
            const Delta::PatchFailure failure =
                PatchSource::buildFile(entry, path, installation, patchFile, outFile, md5, stop);
            return PatchWorker::Delivery([&built, failure] { built = failure; });
        });
        builds.wait();
        if (!built)
            continue;
        if (*built != Delta::PatchFailure::None) {
            PatchSource::logPatchFailed(path, QString::fromLatin1(Delta::failureName(*built)));
            continue;
        }
        PatchSource::logPatchBuilt(entry, path);
        left.removeAt(indexOfPath(left, path));
    }
    return left;
}

QVector<FileRequest> TcpPatchPhase::takeKept(const PartialDownloads &kept, const Md5Map &digests,
                                             const QVector<FileRequest> &listed) const
{
    if (!kept.holdsAny() || digests.isEmpty())
        return listed;
    QSet<QString> named;
    for (auto it = digests.cbegin(); it != digests.cend(); ++it)
        named.insert(it.value().toLower());
    kept.keepOnly(named);
    QVector<FileRequest> left;
    for (const FileRequest &file : listed) {
        const QString path = listedPath(file);
        const QString md5 = path.isNull() ? QString() : digests.value(path);
        if (!cancelled && !md5.isEmpty() && kept.takeWhole(md5, settings.staging + path.mid(1), settings.reserveBytes))
            logInfo(QStringLiteral("kept %1: fetched whole by an earlier run").arg(path));
        else
            left.append(file);
    }
    // Nothing else kept can be of use: should this run fail, what it staged
    // is kept again.
    kept.removeAll();
    return left;
}

bool TcpPatchPhase::fetch(const FileRequest &file, const QString &aside, qint64 maxBytes)
{
    if (cancelled)
        return false;
    if (!client->isConnected() && !client->connectToServer(settings.host, settings.port))
        return false;
    if (aside.isEmpty())
        return client->downloadFile(file, settings.silenceMs);

    DiskReserve reserve(settings.installation, settings.reserveBytes);
    StagedFile staged(aside, reserve);
    if (staged.open() != StagedFile::Problem::None)
        return false;
    const QUpdateTcpClient::ChunkSink stagingSink = client->chunkSink();
    client->setChunkSink([&](const QString &, const QString &, const QByteArray &data, bool isLast) {
        if (!staged.isOpen() || staged.size() + data.size() > maxBytes || staged.append(data) != StagedFile::Problem::None)
            return false;
        return !isLast || staged.finish() == StagedFile::Problem::None;
    });
    const bool ok = client->downloadFile(file, settings.silenceMs);
    client->setChunkSink(stagingSink);
    if (!ok) {
        staged.discard();
        QFile::remove(aside);
    }
    return ok;
}

std::optional<QByteArray> TcpPatchPhase::fetchBytes(const FileRequest &file, qint64 maxBytes)
{
    if (!fetch(file, workFile, maxBytes))
        return std::nullopt;
    const QByteArray bytes = readAtMost(workFile, maxBytes);
    QFile::remove(workFile);
    return bytes;
}
