#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class QFile;

// Where a file received as (path, name) is staged below root: root + path +
// "/" + name, cleaned. Empty when the pair could leave root or is not a plain
// file name: a path or name that is absolute, carries a drive letter or any
// ":", holds a NUL or a ".." component ("\" counts as a separator too), and a
// name that is empty, "." or holds a separator. An empty path means the top
// of root. Pure: touches no file.
QString stagedFilePath(const QString &root, const QString &path, const QString &name);

// Writes file chunks received over TCP into the staging folder, so both
// channels stage files identically: the file (path, name) lands at
// stagedFilePath(stagingRoot(), path, name).
//
// The process-wide writer comes from instance(); it takes its staging folder
// from the program folder and the Temp setting at each call, the same folder
// the controller replaces the installation from. Owns every file it has open;
// files not finished by their last chunk are closed at destruction. GUI
// thread only.
class TempFileWriter
{
public:
    // The process-wide writer, created on first use (needs a
    // QCoreApplication), destroyed at process exit.
    static TempFileWriter *instance();

    // A writer staging below stagingRoot; an empty root means the program
    // folder + the Temp setting. Tests use their own roots.
    explicit TempFileWriter(const QString &stagingRoot = QString());
    ~TempFileWriter();
    TempFileWriter(const TempFileWriter &) = delete;
    TempFileWriter &operator=(const TempFileWriter &) = delete;

    // The folder files are staged below, ending with "/". Empty when the
    // Temp setting does not name a folder strictly below the program folder
    // (empty, ".", ".."): staging into or beside the installation is refused.
    QString stagingRoot() const;

    // Appends data to the staged file (path, name); the first chunk of a
    // file truncates whatever an earlier run left there, isLast closes it.
    // False, with a Qt warning and nothing written, when the pair is unsafe
    // (see stagedFilePath), the staging folder is not configured, or the
    // folder or file cannot be created; false with a warning when not all
    // bytes were written (the file stays open, a later chunk appends).
    bool writeChunk(const QString &path, const QString &name, const QByteArray &data, bool isLast);

    // Starts the file (path, name) afresh: a partly received copy that is
    // still open is closed and its next chunk truncates it again. Call when a
    // new transfer of a file begins, so a retry after an interrupted transfer
    // cannot append to the broken first attempt.
    void restartFile(const QString &path, const QString &name);

private:
    QString fixedRoot;
    // Keyed by the cleaned target path, so two different pairs never share a
    // file and spellings of the same file ("a\b", "a/b") do.
    QMap<QString, QFile *> openFiles;
};
