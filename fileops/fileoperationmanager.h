#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Low-level copies behind the rollback. Owned by the controller.
class CFileOperationManager : public QObject
{
    Q_OBJECT
public:
    explicit CFileOperationManager(QObject *parent = nullptr);

    // Nothing to prepare; true.
    bool initialize();
    // Restores the entries of backupDir (or the listed relative paths) into
    // targetDir. False at the first failure, with lastError() set.
    bool rollbackFiles(const QString &backupDir, const QString &targetDir, const QStringList &relativePaths);
    // Copies a tree; no log lines.
    bool copyDirectoryRecursively(const QString &src, const QString &dst);
    QString lastError() const;

private:
    QString m_lastError;
};
