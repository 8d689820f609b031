#include "platform/hiddenfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

bool createHiddenFile(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
#else
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Append);
#endif
    return QFileInfo::exists(path);
}
