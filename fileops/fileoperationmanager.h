#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Low-level copies behind the rollback. Owned by the controller (QObject
// child). GUI thread only.
class CFileOperationManager : public QObject
{
    Q_OBJECT
public:
    explicit CFileOperationManager(QObject *parent = nullptr);

    // Nothing to prepare; true.
    bool initialize();

    // Restores entries of backupDir into targetDir: the given relative paths,
    // or every top-level entry of backupDir when the list is empty (hidden
    // entries are never listed). Entries missing from the backup are skipped.
    // Files and files inside restored directories replace their installed
    // counterparts; an installed file already equal to its backup is left
    // alone, so a locked but unchanged file does not stop the restore. Logs "回退文件成功:" per restored entry. Stops at the first
    // failure and returns false with lastError() set; what was restored before
    // it stays restored. Writes no error line: the caller reports lastError().
    bool rollbackFiles(const QString &backupDir, const QString &targetDir, const QStringList &relativePaths);

    // Copies the tree src into dst (created when missing), replacing existing
    // files that differ from their source. Hidden entries are not copied. False when src is not a directory
    // or at the first entry that cannot be created, removed or copied; what
    // was copied before stays. No log lines.
    bool copyDirectoryRecursively(const QString &src, const QString &dst);

    // Text of the last rollbackFiles failure; empty until one happens, never
    // cleared.
    QString lastError() const;

private:
    // Replaces dst by a copy of src; false when an existing dst cannot be
    // removed or the copy fails.
    static bool replaceFile(const QString &src, const QString &dst);

    QString m_lastError;
};
