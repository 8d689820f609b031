#include "delta/patchindex.h"

#include "http/md5manifest.h"
#include "trust/recordfields.h"

#include <QList>

#include <algorithm>
#include <tuple>

namespace {

const QByteArray kHeader = QByteArrayLiteral("patch-index\t1");
constexpr int kBasePrefixDigits = 24;

auto orderKey(const PatchEntry &entry)
{
    return std::tie(entry.path, entry.baseSha256);
}

std::optional<PatchEntry> parsePatchLine(const QList<QByteArray> &fields)
{
    using namespace RecordFields;
    if (fields.size() != 9 || fields.at(0) != "patch")
        return std::nullopt;
    const auto path = parseText(fields.at(1));
    const auto baseSize = parseSize(fields.at(2));
    const auto base = parseSha256(fields.at(3));
    const auto targetSize = parseSize(fields.at(4));
    const auto target = parseSha256(fields.at(5));
    const auto patchSize = parseSize(fields.at(6));
    const auto patch = parseSha256(fields.at(7));
    const QByteArray md5 = QByteArray::fromHex(fields.at(8));
    if (!path || !unsafePathReason(*path, {}).isEmpty() || !baseSize || !base || !targetSize || !target
        || !patchSize || !patch || md5.size() != 16 || md5.toHex() != fields.at(8))
        return std::nullopt;
    return PatchEntry{*path, *baseSize, *base, *targetSize, *target, *patchSize, *patch, QString::fromLatin1(fields.at(8))};
}

} // namespace

namespace PatchLayout {

QString indexPath(const QString &releaseFolder)
{
    return kFolder + QLatin1Char('/') + releaseFolder + QStringLiteral(".index");
}

QString signaturePath(const QString &releaseFolder)
{
    return indexPath(releaseFolder) + QStringLiteral(".sig");
}

QString patchPath(const QByteArray &baseSha256, const QByteArray &targetSha256)
{
    return kFolder + QLatin1Char('/') + QString::fromLatin1(targetSha256.toHex()) + QLatin1Char('/')
        + QString::fromLatin1(baseSha256.toHex().left(kBasePrefixDigits)) + QStringLiteral(".patch");
}

} // namespace PatchLayout

QByteArray serializePatchIndex(PatchIndex index)
{
    std::sort(index.patches.begin(), index.patches.end(),
              [](const PatchEntry &a, const PatchEntry &b) { return orderKey(a) < orderKey(b); });
    QByteArray out = kHeader + '\n';
    out += "version\t" + index.version.toUtf8() + '\n';
    out += "folder\t" + index.folder.toUtf8() + '\n';
    for (const PatchEntry &p : qAsConst(index.patches)) {
        out += "patch\t" + p.path.toUtf8() + '\t' + QByteArray::number(p.baseSize) + '\t' + p.baseSha256.toHex() + '\t'
            + QByteArray::number(p.targetSize) + '\t' + p.targetSha256.toHex() + '\t'
            + QByteArray::number(p.patchSize) + '\t' + p.patchSha256.toHex() + '\t' + p.patchMd5.toLatin1() + '\n';
    }
    return out;
}

std::optional<PatchIndex> parsePatchIndex(const QByteArray &bytes)
{
    if (!bytes.endsWith('\n'))
        return std::nullopt;
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();
    if (lines.size() < 3 || lines.at(0) != kHeader)
        return std::nullopt;
    const QList<QByteArray> version = lines.at(1).split('\t');
    const QList<QByteArray> folder = lines.at(2).split('\t');
    if (version.size() != 2 || version.at(0) != "version" || folder.size() != 2 || folder.at(0) != "folder")
        return std::nullopt;
    PatchIndex index;
    const auto versionText = RecordFields::parseText(version.at(1));
    const auto folderText = RecordFields::parseText(folder.at(1));
    if (!versionText || !folderText)
        return std::nullopt;
    index.version = *versionText;
    index.folder = *folderText;
    for (int i = 3; i < lines.size(); ++i) {
        const auto entry = parsePatchLine(lines.at(i).split('\t'));
        // Strictly ascending: sorted, and no pair twice.
        if (!entry || (!index.patches.isEmpty() && !(orderKey(index.patches.constLast()) < orderKey(*entry))))
            return std::nullopt;
        index.patches.append(*entry);
    }
    return index;
}

const PatchEntry *findPatch(const PatchIndex &index, const QString &path, const QByteArray &baseSha256)
{
    for (const PatchEntry &entry : index.patches) {
        if (entry.path == path && entry.baseSha256 == baseSha256)
            return &entry;
    }
    return nullptr;
}
