#include "fileops/tempfilewriter.h"

#include "config/systemconfig.h"
#include "fileops/installlayout.h"
#include "fileops/layout.h"
#include "fileops/pathpolicy.h"
#include "fileops/stagedfile.h"
#include "log/logger.h"

#include <QDebug>
#include <QDir>

#include <memory>

namespace {

// The TCP server's path with backslashes read as separators and empty and
// "." levels dropped; "" for the top of the staging folder. Null when it is
// absolute or otherwise unsafe (see PathPolicy).
QString normalisedPath(const QString &path)
{
    QString text = path;
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (text.startsWith(QLatin1Char('/')))
        return QString();
    QStringList levels = text.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    levels.removeAll(QStringLiteral("."));
    const QString joined = levels.join(QLatin1Char('/'));
    if (joined.isEmpty())
        return QStringLiteral("");
    return PathPolicy::isSafeRelativeName(joined) ? joined : QString();
}

} // namespace

QString stagedRelativePath(const QString &path, const QString &name)
{
    const QString folder = normalisedPath(path);
    if (folder.isNull() || !PathPolicy::isPlainFileName(name))
        return QString();
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

PathPolicy::ReleaseNameProblem stagedNameProblem(const QString &path, const QString &name,
                                                 const QStringList &workPlaces)
{
    const QString relative = stagedRelativePath(path, name);
    return relative.isNull() ? PathPolicy::ReleaseNameProblem::Unsafe
                             : PathPolicy::releaseNameProblem(relative, workPlaces);
}

QString stagedFilePath(const QString &root, const QString &path, const QString &name)
{
    const QString relative = stagedRelativePath(path, name);
    return relative.isNull() ? QString() : QDir::cleanPath(Layout::withSlash(root) + relative);
}

TempFileWriter *TempFileWriter::instance()
{
    static TempFileWriter writer(InstallLayout::ofProgram(),
                                 CSystemConfig::instance()->getTransferLimits().diskReserveBytes);
    return &writer;
}

TempFileWriter::TempFileWriter(const QString &stagingRoot, qint64 reserveBytes)
    : root(stagingRoot.isEmpty() ? QString() : Layout::withSlash(stagingRoot))
    , reserve(root, reserveBytes)
{
}

TempFileWriter::TempFileWriter(const InstallLayout &layout, qint64 reserveBytes)
    : root(PathPolicy::isStrictlyInside(layout.installation, layout.staging) ? layout.staging : QString())
    , reserve(root, reserveBytes)
{
}

TempFileWriter::~TempFileWriter()
{
    // Files cut off before their last chunk are closed here, as they are.
    for (StagedFile *file : qAsConst(openFiles))
        file->keep();
    qDeleteAll(openFiles);
}

QString TempFileWriter::stagingRoot() const
{
    return root;
}

bool TempFileWriter::hasRoomToStart(QString *why)
{
    // Without a staging folder every file is refused anyway.
    if (root.isEmpty() || reserve.admit(0))
        return true;
    *why = reserve.shortageText();
    return false;
}

bool TempFileWriter::writeChunk(const QString &path, const QString &name, const QByteArray &data, bool isLast)
{
    if (root.isEmpty()) {
        qWarning() << "Staging folder not configured, file refused:" << path << name;
        return false;
    }
    const QString full = stagedFilePath(root, path, name);
    if (full.isEmpty()) {
        qWarning() << "Unsafe file name refused:" << path << name;
        return false;
    }

    StagedFile *file = openFiles.value(full);
    if (!file) {
        file = new StagedFile(full, reserve);
        if (file->open() != StagedFile::Problem::None) {
            qWarning() << "Failed to open file for writing:" << full;
            delete file;
            return false;
        }
        openFiles.insert(full, file);
    }

    switch (file->append(data)) {
    case StagedFile::Problem::None:
        break;
    case StagedFile::Problem::DiskShort:
        logError(reserve.shortageText() + QStringLiteral(": ") + full);
        return false;
    default:
        qWarning() << "Failed to write all data to file:" << full << "Expected:" << data.size();
        return false;
    }

    if (isLast) {
        std::unique_ptr<StagedFile> done(openFiles.take(full));
        if (done->finish() != StagedFile::Problem::None) {
            qWarning() << "Failed to close file:" << full;
            return false;
        }
    }
    return true;
}
