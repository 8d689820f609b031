#pragma once

#include "fileops/diskreserve.h"
#include "fileops/pathpolicy.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class StagedFile;
struct InstallLayout;

// Where a file received as (path, name) is staged below root: root + path +
// "/" + name, cleaned. The path may use "\" as a separator and may hold empty
// or "." levels; an empty path means the top of root. Empty when the path is
// absolute or otherwise not a safe relative name, or the name is not a plain
// file name (see PathPolicy). Pure: touches no file.
QString stagedFilePath(const QString &root, const QString &path, const QString &name);

// The same file relative to the staging folder (and so to the installation):
// path + "/" + name cleaned, "/"-separated; null when the pair is unsafe.
QString stagedRelativePath(const QString &path, const QString &name);

// Why the file (path, name), named the TCP way, can never be installed (see
// PathPolicy::releaseNameProblem); None when it can.
PathPolicy::ReleaseNameProblem stagedNameProblem(const QString &path, const QString &name,
                                                 const QStringList &workPlaces);

// Writes file chunks received over TCP into the staging folder through the
// same stager as the HTTP road (StagedFile): the file (path, name) lands at
// stagedFilePath(stagingRoot(), path, name). The TCP road knows no digest of
// a file before it arrives, and its client checks every file against the
// size the server announced, so nothing more is verified here.
//
// The process-wide writer comes from instance(); it stages into the running
// program's staging folder, the same folder the controller replaces the
// installation from. Owns every file it has open;
// files not finished by their last chunk are closed at destruction. GUI
// thread only.
class TempFileWriter
{
public:
    // The process-wide writer, created on first use (needs a
    // QCoreApplication), destroyed at process exit.
    static TempFileWriter *instance();

    // A writer staging below stagingRoot (tests).
    explicit TempFileWriter(const QString &stagingRoot, qint64 reserveBytes = 0);
    // A writer staging into the layout's staging folder, or refusing every
    // file when that is not a folder strictly inside the installation.
    // Either keeps reserveBytes free on the staging folder's file system.
    TempFileWriter(const InstallLayout &layout, qint64 reserveBytes);
    ~TempFileWriter();
    TempFileWriter(const TempFileWriter &) = delete;
    TempFileWriter &operator=(const TempFileWriter &) = delete;

    // The folder files are staged below, ending with "/"; empty when every
    // file is refused.
    QString stagingRoot() const;

    // False, with *why filled, when the staging folder's file system has
    // less free space than the reserve already: a download should not start.
    bool hasRoomToStart(QString *why);

    // Appends data to the staged file (path, name); the first chunk of a
    // file truncates whatever an earlier run left there, isLast closes it.
    // False, with a Qt warning and nothing written, when the pair is unsafe
    // (see stagedFilePath), the staging folder is not configured, or the
    // folder or file cannot be created; false with a warning when not all
    // bytes were written (the file stays open, a later chunk appends), and
    // false, logged, with nothing written when the data would leave less free
    // space than the reserve.
    bool writeChunk(const QString &path, const QString &name, const QByteArray &data, bool isLast);

private:
    const QString root;
    DiskReserve reserve;
    // Keyed by the cleaned target path, so two different pairs never share a
    // file and spellings of the same file ("a\b", "a/b") do.
    QMap<QString, StagedFile *> openFiles;
};
