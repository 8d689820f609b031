#include "patchmaker.h"

#include "matchedpatch.h"

#include "delta/patchcodec.h"
#include "delta/patchindex.h"
#include "fileops/filedigest.h"
#include "trust/ed25519.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <future>
#include <limits>

namespace {

// Whole files only up to what a QByteArray holds; larger ones go whole.
constexpr qint64 kLargestPatched = std::numeric_limits<int>::max() / 2;

std::optional<QByteArray> readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kLargestPatched)
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (bytes.size() != file.size())
        return std::nullopt;
    return bytes;
}

// Both methods, the smaller kept: matching segments wins on large programs
// and libraries whose code moved, the zstd frame on small files and on
// reordered ones. A base beyond the matcher's limit gets the zstd frame.
// The two are made at once, on two cores: the time of the slower, the
// memory of both.
QByteArray smallerPatch(const QByteArray &base, const QByteArray &target)
{
    auto matching = std::async(std::launch::async, [&] { return Delta::makeMatchedPatch(base, target); });
    const QByteArray prefixed = Delta::makePatch(base, target);
    const QByteArray matched = matching.get();
    if (prefixed.isEmpty() || (!matched.isEmpty() && matched.size() < prefixed.size()))
        return matched;
    return prefixed;
}

bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

QString writePatches(const PatchRequest &request, int *patchCount)
{
    PatchIndex index{request.version, request.folder, {}};
    for (const QString &relative : request.files) {
        const QString targetPath = request.releaseDir + relative;
        if (QFileInfo(targetPath).size() > kLargestPatched)
            continue;
        std::optional<QByteArray> target;
        QByteArray targetSha256;
        QSet<QByteArray> bases; // the same earlier bytes in two releases: one patch
        for (const QString &previous : request.previousDirs) {
            const QString basePath = previous + relative;
            const QFileInfo baseInfo(basePath);
            if (!baseInfo.isFile() || baseInfo.size() > kLargestPatched)
                continue;
            if (!target) {
                target = readWhole(targetPath);
                const auto digest = sha256OfFile(targetPath);
                if (!target || !digest)
                    return QStringLiteral("cannot read ") + targetPath;
                targetSha256 = *digest;
            }
            const auto base = readWhole(basePath);
            const auto baseSha256 = sha256OfFile(basePath);
            if (!base || !baseSha256)
                return QStringLiteral("cannot read ") + basePath;
            if (*baseSha256 == targetSha256 || bases.contains(*baseSha256))
                continue;
            bases.insert(*baseSha256);

            const QString patchPath = request.outDir + QLatin1Char('/') + PatchLayout::patchPath(*baseSha256, targetSha256);
            // Published before for another release: named by its content, so
            // it stays as clients may be fetching it.
            if (!QFileInfo::exists(patchPath)) {
                const QByteArray patch = smallerPatch(*base, *target);
                if (patch.isEmpty())
                    return QStringLiteral("cannot make a patch from %1 to %2").arg(basePath, targetPath);
                if (patch.size() > kPatchKeepRatio * target->size())
                    continue;
                if (!writeWhole(patchPath, patch))
                    return QStringLiteral("cannot write ") + patchPath;
            }
            const auto patchSha256 = sha256OfFile(patchPath);
            const QString patchMd5 = md5OfFile(patchPath);
            if (!patchSha256 || patchMd5.isEmpty())
                return QStringLiteral("cannot read ") + patchPath;
            index.patches.append({relative, base->size(), *baseSha256, target->size(), targetSha256,
                                  QFileInfo(patchPath).size(), *patchSha256, patchMd5});
        }
    }

    const QByteArray text = serializePatchIndex(index);
    const QString indexPath = request.outDir + QLatin1Char('/') + PatchLayout::indexPath(request.folder);
    if (!writeWhole(indexPath, text))
        return QStringLiteral("cannot write ") + indexPath;
    if (!request.secretKey.isEmpty()) {
        const QString signaturePath = request.outDir + QLatin1Char('/') + PatchLayout::signaturePath(request.folder);
        if (!writeWhole(signaturePath, Ed25519::sign(text, request.secretKey).toBase64() + '\n'))
            return QStringLiteral("cannot write ") + signaturePath;
    }
    if (patchCount)
        *patchCount = index.patches.size();
    return QString();
}
