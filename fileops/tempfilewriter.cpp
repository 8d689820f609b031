#include "fileops/tempfilewriter.h"

#include "config/systemconfig.h"
#include "fileops/layout.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// True when text, read as a relative path with "/" or "\" as separators,
// stays below the folder it is appended to.
bool isContainedRelative(const QString &text)
{
    QString path = text;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(path))
        return false;
    // A drive letter ("C:", "C:dir") or a Windows stream name: never part of
    // a file that belongs below the staging folder.
    if (path.contains(QLatin1Char(':')) || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

} // namespace

QString stagedFilePath(const QString &root, const QString &path, const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name.contains(QLatin1Char('/'))
        || name.contains(QLatin1Char('\\')))
        return QString();
    if (!isContainedRelative(path) || !isContainedRelative(name))
        return QString();
    QString relative = path;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(Layout::withSlash(root) + relative + QLatin1Char('/') + name);
}

TempFileWriter *TempFileWriter::instance()
{
    static TempFileWriter writer;
    return &writer;
}

TempFileWriter::TempFileWriter(const QString &stagingRoot)
    : fixedRoot(stagingRoot)
{
}

TempFileWriter::~TempFileWriter()
{
    // Files cut off before their last chunk are closed here, as they are.
    qDeleteAll(openFiles);
}

QString TempFileWriter::stagingRoot() const
{
    if (!fixedRoot.isEmpty())
        return Layout::withSlash(fixedRoot);
    // Only a folder strictly below the program folder: an empty, "." or
    // ".." Temp setting must not turn the installation into the staging area.
    const QString app = QDir::cleanPath(QCoreApplication::applicationDirPath());
    const QString root = QDir::cleanPath(app + QLatin1Char('/') + CSystemConfig::instance()->getTempPath());
    if (!root.startsWith(app + QLatin1Char('/')))
        return QString();
    return root + QLatin1Char('/');
}

bool TempFileWriter::writeChunk(const QString &path, const QString &name, const QByteArray &data, bool isLast)
{
    const QString root = stagingRoot();
    if (root.isEmpty()) {
        qWarning() << "Staging folder not configured, file refused:" << path << name;
        return false;
    }
    const QString full = stagedFilePath(root, path, name);
    if (full.isEmpty()) {
        qWarning() << "Unsafe file name refused:" << path << name;
        return false;
    }

    const QDir dir(QFileInfo(full).absolutePath());
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        qWarning() << "Failed to create directory for file:" << full;
        return false;
    }

    // Unbuffered, so a full disk shows in the result of the chunk that hit it
    // instead of vanishing in the close after the last chunk.
    QFile *file = openFiles.value(full);
    if (!file) {
        file = new QFile(full);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            qWarning() << "Failed to open file for writing:" << full;
            delete file;
            return false;
        }
        openFiles.insert(full, file);
    }

    const qint64 written = file->write(data);
    if (written != data.size()) {
        qWarning() << "Failed to write all data to file:" << full << "Expected:" << data.size()
                   << "Written:" << written;
        return false;
    }

    if (isLast)
        delete openFiles.take(full);
    return true;
}

void TempFileWriter::restartFile(const QString &path, const QString &name)
{
    const QString root = stagingRoot();
    if (root.isEmpty())
        return;
    delete openFiles.take(stagedFilePath(root, path, name));
}
