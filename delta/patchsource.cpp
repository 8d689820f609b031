#include "delta/patchsource.h"

#include "delta/patchfile.h"
#include "fileops/filedigest.h"
#include "log/logger.h"
#include "trust/ed25519.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

QString PatchSource::load(const QByteArray &indexBytes, const QByteArray &signatureText,
                          const QVector<QByteArray> &keys, bool signatureRequired, const QString &version,
                          const QString &folder)
{
    index = PatchIndex();
    if (signatureRequired || !keys.isEmpty()) {
        const auto signature = Ed25519::decodeBase64(signatureText, Ed25519::kSignatureBytes);
        const bool signedByKey = signature && std::any_of(keys.cbegin(), keys.cend(), [&](const QByteArray &key) {
                                     return Ed25519::verify(indexBytes, *signature, key);
                                 });
        if (!signedByKey)
            return QStringLiteral("the patch index is not signed by a trusted key");
    }
    auto parsed = parsePatchIndex(indexBytes);
    if (!parsed)
        return QStringLiteral("the patch index is malformed");
    if (parsed->version != version || parsed->folder != folder)
        return QStringLiteral("the patch index names another release");
    index = *parsed;
    return QString();
}

void PatchSource::take(const QByteArray &indexBytes, const QByteArray &signatureText, const QVector<QByteArray> &keys,
                       bool signatureRequired, const QString &version, const QString &folder)
{
    const QString refused = load(indexBytes, signatureText, keys, signatureRequired, version, folder);
    if (!refused.isEmpty())
        logWarn(refused + QStringLiteral(", every changed file is fetched whole"));
}

void PatchSource::takeNone()
{
    index = PatchIndex();
    logInfo(QStringLiteral("no patch index, every changed file is fetched whole"));
}

QVector<PatchSource::Candidate> PatchSource::candidates(const QStringList &paths, const QString &installation) const
{
    QVector<Candidate> found;
    for (const QString &path : paths) {
        Candidate candidate{path, installation + path.mid(1), {}};
        for (const PatchEntry &entry : index.patches) {
            if (entry.path == path && entry.patchSize < entry.targetSize && !candidate.baseSizes.contains(entry.baseSize))
                candidate.baseSizes.append(entry.baseSize);
        }
        if (!candidate.baseSizes.isEmpty())
            found.append(candidate);
    }
    return found;
}

QHash<QString, PatchEntry> PatchSource::plan(const QStringList &paths, const QHash<QString, InstalledBytes> &installed) const
{
    QHash<QString, PatchEntry> planned;
    if (isEmpty())
        return planned;
    for (const QString &path : paths) {
        const auto bytes = installed.constFind(path);
        const PatchEntry *entry = bytes == installed.cend() ? nullptr : findPatch(index, path, bytes->sha256);
        if (entry && entry->baseSize == bytes->size && entry->patchSize < entry->targetSize)
            planned.insert(path, *entry);
        else if (lists(path))
            logInfo(QStringLiteral("full %1: no patch for the installed bytes").arg(path));
        else
            logInfo(QStringLiteral("full %1: the release has no patch for it").arg(path));
    }
    return planned;
}

bool PatchSource::lists(const QString &path) const
{
    return std::any_of(index.patches.cbegin(), index.patches.cend(),
                       [&](const PatchEntry &entry) { return entry.path == path; });
}

Delta::PatchFailure PatchSource::build(const PatchEntry &entry, const QString &installedFile,
                                       const QString &patchFile, const QString &outFile, const QString &md5,
                                       const std::atomic<bool> &stop)
{
    const auto patchDigest = sha256OfFile(patchFile, entry.patchSize, stop);
    if (stop.load())
        return Delta::PatchFailure::Stopped;
    if (patchDigest != entry.patchSha256)
        return Delta::PatchFailure::Malformed;
    if (!QDir().mkpath(QFileInfo(outFile).absolutePath()))
        return Delta::PatchFailure::Io;
    Delta::PatchFailure failure = Delta::applyPatchFile(installedFile, patchFile, outFile, entry.targetSize);
    if (failure == Delta::PatchFailure::None && stop.load())
        failure = Delta::PatchFailure::Stopped;
    if (failure == Delta::PatchFailure::None && md5OfFile(outFile).compare(md5, Qt::CaseInsensitive) != 0)
        failure = Delta::PatchFailure::TargetMismatch;
    if (failure == Delta::PatchFailure::None && sha256OfFile(outFile, entry.targetSize, stop) != entry.targetSha256)
        failure = stop.load() ? Delta::PatchFailure::Stopped : Delta::PatchFailure::TargetMismatch;
    if (failure != Delta::PatchFailure::None)
        QFile::remove(outFile);
    return failure;
}

Delta::PatchFailure PatchSource::buildFile(const PatchEntry &entry, const QString &path, const QString &installation,
                                           const QString &patchFile, const QString &outFile, const QString &md5,
                                           const std::atomic<bool> &stop)
{
    const Delta::PatchFailure failure = build(entry, installation + path.mid(1), patchFile, outFile, md5, stop);
    QFile::remove(patchFile);
    return failure;
}

void PatchSource::logPatchBuilt(const PatchEntry &entry, const QString &path)
{
    logInfo(QStringLiteral("patch %1: %2 bytes fetched for %3, %4 saved")
                .arg(path)
                .arg(entry.patchSize)
                .arg(entry.targetSize)
                .arg(entry.targetSize - entry.patchSize));
}

void PatchSource::logPatchFailed(const QString &path, const QString &why)
{
    logInfo(QStringLiteral("full %1: the patch failed (%2)").arg(path, why));
}
