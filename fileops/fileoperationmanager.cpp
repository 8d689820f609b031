#include "fileops/fileoperationmanager.h"

CFileOperationManager::CFileOperationManager(QObject *parent)
    : QObject(parent)
{
}

bool CFileOperationManager::initialize()
{
    return true;
}

// Placeholder until the apply step lands: restores nothing.
bool CFileOperationManager::rollbackFiles(const QString &, const QString &, const QStringList &)
{
    return false;
}

bool CFileOperationManager::copyDirectoryRecursively(const QString &, const QString &)
{
    return false;
}

QString CFileOperationManager::lastError() const
{
    return m_lastError;
}
