#include "unreplaceablefile.h"

#include <QDir>
#include <QProcess>

#ifdef Q_OS_WIN

bool UnreplaceableFile::make(const QString &file)
{
    release();
    handle = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(file).utf16()), GENERIC_READ,
                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle != INVALID_HANDLE_VALUE;
}

void UnreplaceableFile::release()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

#else

bool UnreplaceableFile::make(const QString &file)
{
    release();
    if (QProcess::execute("chattr", {"+i", file}) != 0)
        return false;
    path = file;
    return true;
}

void UnreplaceableFile::release()
{
    if (!path.isEmpty())
        QProcess::execute("chattr", {"-i", path});
    path.clear();
}

#endif
