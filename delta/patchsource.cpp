#include "delta/patchsource.h"

#include "delta/patchfile.h"
#include "fileops/filedigest.h"
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

bool PatchSource::lists(const QString &path) const
{
    return std::any_of(index.patches.cbegin(), index.patches.cend(),
                       [&](const PatchEntry &entry) { return entry.path == path; });
}

std::optional<PatchEntry> PatchSource::patchFor(const QString &path, const QString &installedFile) const
{
    const QFileInfo info(installedFile);
    if (!info.isFile())
        return std::nullopt;
    // Sizes first: a file is hashed only when some patch could fit it.
    const auto fits = [&](const PatchEntry &entry) {
        return entry.path == path && entry.baseSize == info.size() && entry.patchSize < entry.targetSize;
    };
    if (std::none_of(index.patches.cbegin(), index.patches.cend(), fits))
        return std::nullopt;
    const auto digest = sha256OfFile(installedFile);
    if (!digest)
        return std::nullopt;
    const PatchEntry *entry = findPatch(index, path, *digest);
    if (!entry || !fits(*entry))
        return std::nullopt;
    return *entry;
}

Delta::PatchFailure PatchSource::build(const PatchEntry &entry, const QString &installedFile,
                                       const QString &patchFile, const QString &outFile, const QString &md5)
{
    if (sha256OfFile(patchFile) != entry.patchSha256)
        return Delta::PatchFailure::Malformed;
    if (!QDir().mkpath(QFileInfo(outFile).absolutePath()))
        return Delta::PatchFailure::Io;
    Delta::PatchFailure failure = Delta::applyPatchFile(installedFile, patchFile, outFile, entry.targetSize);
    if (failure == Delta::PatchFailure::None
        && (md5OfFile(outFile).compare(md5, Qt::CaseInsensitive) != 0 || sha256OfFile(outFile) != entry.targetSha256))
        failure = Delta::PatchFailure::TargetMismatch;
    if (failure != Delta::PatchFailure::None)
        QFile::remove(outFile);
    return failure;
}
