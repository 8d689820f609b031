#include "fileops/fileoperationmanager.h"

CFileOperationManager::CFileOperationManager(QObject *parent)
    : QObject(parent)
{
}

bool CFileOperationManager::initialize()
{
    return true;
}
