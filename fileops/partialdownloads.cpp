#include "fileops/partialdownloads.h"

#include "config/names.h"
#include "fileops/diskreserve.h"
#include "fileops/filedigest.h"
#include "fileops/pathpolicy.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>

namespace {

const QString kDataSuffix = QStringLiteral(".part");
const QString kValidatorSuffix = QStringLiteral(".part.validator");
// A validator file is a few header values; anything longer is not ours.
constexpr qint64 kMaxValidatorBytes = 4096;

bool isDigest(const QString &md5)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{32}$"));
    return hex.match(md5).hasMatch();
}

} // namespace

PartialDownloads::PartialDownloads(const QString &folder)
    : root(folder)
{
}

QString PartialDownloads::dataPath(const QString &md5) const
{
    return root.isEmpty() || !isDigest(md5) ? QString() : root + md5.toLower() + kDataSuffix;
}

QString PartialDownloads::validatorPath(const QString &md5) const
{
    return root.isEmpty() || !isDigest(md5) ? QString() : root + md5.toLower() + kValidatorSuffix;
}

PartialDownloads::Kept PartialDownloads::kept(const QString &md5) const
{
    Kept kept;
    const QString data = dataPath(md5);
    if (data.isEmpty())
        return kept;
    QFile file(validatorPath(md5));
    const QFileInfo info(data);
    if (!info.isFile() || info.isSymLink())
        return kept;
    if (!file.open(QIODevice::ReadOnly)) {
        kept.bytes = info.size();
        return kept;
    }
    const QList<QByteArray> lines = file.read(kMaxValidatorBytes).split('\n');
    if (lines.size() < 3)
        return kept;
    bool ok = false;
    kept.total = lines.at(2).toLongLong(&ok);
    if (!ok || kept.total < 0)
        kept.total = -1;
    kept.validatorName = lines.at(0);
    kept.validator = lines.at(1);
    // A whole file is proved by its digest; a part only by a validator the
    // server can compare.
    const bool whole = kept.total == info.size();
    const bool resumable = (kept.validatorName == "ETag" || kept.validatorName == "Last-Modified")
        && !kept.validator.isEmpty() && (kept.total < 0 || info.size() < kept.total);
    if (whole || resumable)
        kept.bytes = info.size();
    return kept;
}

bool PartialDownloads::record(const QString &md5, const QByteArray &validatorName, const QByteArray &validator,
                              qint64 total) const
{
    const QString path = validatorPath(md5);
    if (path.isEmpty())
        return false;
    if (validator.contains('\n') || validator.contains('\r') || validatorName.contains('\n')) {
        QFile::remove(path);
        return false;
    }
    QSaveFile file(path);
    if (!QDir().mkpath(root) || !file.open(QIODevice::WriteOnly))
        return false;
    file.write(validatorName + '\n' + validator + '\n' + QByteArray::number(total) + '\n');
    return file.commit();
}

StagedFile::Problem PartialDownloads::moveInto(const QString &md5, const QString &target, qint64 reserveBytes,
                                               QString *shortage) const
{
    const QString source = dataPath(md5);
    if (source.isEmpty())
        return StagedFile::Problem::Open;
    // A run moves thousands of files at its end: the rename is tried first,
    // and its folder made and an earlier file at target removed only when
    // it fails.
    const QString folder = QFileInfo(target).absolutePath();
    bool renamed = QFile::rename(source, target);
    if (!renamed) {
        if (!QDir().mkpath(folder))
            return StagedFile::Problem::Open;
        QFile::remove(target);
        renamed = QFile::rename(source, target);
    }
    if (!renamed) {
        // Another file system: copied, within its reserve.
        QFile in(source);
        DiskReserve targetReserve(folder, reserveBytes);
        StagedFile out(target, targetReserve);
        if (!in.open(QIODevice::ReadOnly))
            return StagedFile::Problem::Open;
        StagedFile::Problem problem = out.open({in.size(), md5});
        while (problem == StagedFile::Problem::None && !in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            problem = chunk.isEmpty() ? StagedFile::Problem::Open : out.append(chunk);
        }
        if (problem == StagedFile::Problem::None)
            problem = out.finish();
        if (problem == StagedFile::Problem::DiskShort)
            *shortage = targetReserve.shortageText();
        if (problem != StagedFile::Problem::None)
            return problem;
        forget(md5);
        return StagedFile::Problem::None;
    }
    // The bytes moved: only what recorded their answer is left.
    QFile::remove(validatorPath(md5));
    return StagedFile::Problem::None;
}

PartialDownloads PartialDownloads::ofInstallation(const QString &installation)
{
    const QString updateDir = installation + Names::kUpdateDir;
    const QString folder = updateDir + Names::kPartialDir + QLatin1Char('/');
    return !installation.isEmpty() && PathPolicy::isStrictlyInside(updateDir, folder) ? PartialDownloads(folder)
                                                                                       : PartialDownloads();
}

void PartialDownloads::keepWhole(const QString &folder, qint64 reserveBytes) const
{
    if (root.isEmpty() || folder.isEmpty() || !QFileInfo(folder).isDir() || !QDir().mkpath(root))
        return;
    // Only renamed, so keeping costs no space; and nothing is kept on a disk
    // already short of its reserve (the run may have failed for that).
    if (QStorageInfo(folder).device() != QStorageInfo(root).device() || !DiskReserve(root, reserveBytes).admit(0))
        return;
    QDirIterator it(folder, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString md5 = md5OfFile(path);
        if (md5.isEmpty())
            continue;
        forget(md5);
        QFile::rename(path, dataPath(md5));
    }
}

bool PartialDownloads::holdsAny() const
{
    return !root.isEmpty() && !QDir(root).isEmpty(QDir::Files);
}

bool PartialDownloads::takeWhole(const QString &md5, const QString &target, qint64 reserveBytes) const
{
    const QString data = dataPath(md5);
    const QFileInfo info(data);
    if (data.isEmpty() || !info.isFile() || info.isSymLink())
        return false;
    const bool whole = md5OfFile(data) == md5.toLower();
    QString shortage;
    if (whole && moveInto(md5, target, reserveBytes, &shortage) == StagedFile::Problem::None)
        return true;
    forget(md5);
    return false;
}

void PartialDownloads::forget(const QString &md5) const
{
    if (dataPath(md5).isEmpty())
        return;
    QFile::remove(validatorPath(md5));
    QFile::remove(dataPath(md5));
}

void PartialDownloads::keepOnly(const QSet<QString> &md5s) const
{
    if (root.isEmpty())
        return;
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        const QString md5 = entry.fileName().section(QLatin1Char('.'), 0, 0).toLower();
        if (!md5s.contains(md5))
            QFile::remove(entry.filePath());
    }
}

void PartialDownloads::removeAll() const
{
    // Never through a link: only the updater's own folder goes.
    if (!root.isEmpty() && !QFileInfo(QDir::cleanPath(root)).isSymLink())
        QDir(root).removeRecursively();
}
