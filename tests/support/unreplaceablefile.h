#pragma once

#include <QString>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// A file (or, on Linux, a folder) that can be neither removed, moved nor
// replaced while the object lives: immutable on Linux (we run as root),
// held open without delete sharing on Windows, as a loaded DLL or a running
// program is. It stays readable.
class UnreplaceableFile
{
public:
    UnreplaceableFile() = default;
    UnreplaceableFile(const UnreplaceableFile &) = delete;
    UnreplaceableFile &operator=(const UnreplaceableFile &) = delete;
    ~UnreplaceableFile() { release(); }

    // False when the path could not be made unreplaceable.
    bool make(const QString &path);
    // Ends it early; the destructor does it otherwise.
    void release();

private:
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    QString path;
#endif
};
