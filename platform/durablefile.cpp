#include "platform/durablefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Durable {

namespace {

Outcome failure(const QString &reason, bool crossDevice = false)
{
    Outcome outcome;
    outcome.ok = false;
    outcome.crossDevice = crossDevice;
    outcome.reason = reason;
    return outcome;
}

#ifdef Q_OS_WIN

QString systemReason()
{
    return QStringLiteral("Windows error %1").arg(GetLastError());
}

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Flushes what the system buffers for a file or a volume.
Outcome flushHandleOf(const std::wstring &name)
{
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failure(systemReason());
    const bool ok = FlushFileBuffers(h);
    const Outcome outcome = ok ? Outcome() : failure(systemReason());
    CloseHandle(h);
    return outcome;
}

#else

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Runs f on a read-only descriptor of path.
template <typename F> Outcome onDescriptor(const QString &path, F f)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure(systemReason());
    const bool ok = f(fd) == 0;
    const Outcome outcome = ok ? Outcome() : failure(systemReason());
    ::close(fd);
    return outcome;
}

#endif

} // namespace

QString partialName(const QString &dst)
{
    return dst + QStringLiteral(".update-part");
}

QString retiredName(const QString &dst)
{
    return dst + QStringLiteral(".update-old");
}

#ifdef Q_OS_WIN

Outcome renameReplacing(const QString &from, const QString &to)
{
    const std::wstring source = native(from);
    const std::wstring target = native(to);
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    const DWORD error = GetLastError();
    const Outcome refused = failure(systemReason(), error == ERROR_NOT_SAME_DEVICE);
    if (error != ERROR_ACCESS_DENIED || !QFileInfo(to).isFile())
        return refused;
    // A program still running from to (or a library loaded from it) may be
    // renamed, though not replaced: move it aside, then put from in place.
    const std::wstring retired = native(retiredName(to));
    DeleteFileW(retired.c_str());
    if (!MoveFileExW(target.c_str(), retired.c_str(), MOVEFILE_WRITE_THROUGH))
        return refused;
    if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const Outcome outcome = failure(systemReason());
        MoveFileExW(retired.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
        return outcome;
    }
    // Gone now if the program has exited meanwhile; otherwise the journal's
    // clean-up retries, and the system removes it on restart.
    if (!DeleteFileW(retired.c_str()))
        MoveFileExW(retired.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return {};
}

Outcome syncPath(const QString &path)
{
    // Folder entries are written through by MOVEFILE_WRITE_THROUGH; only
    // files need a flush.
    if (QFileInfo(path).isDir())
        return {};
    return flushHandleOf(native(path));
}

Outcome flushFileSystem(const QString &path)
{
    // The volume handle needs administrator rights and a file system that
    // flushes whole volumes. Where either is missing, every file below path
    // is flushed on its own instead, which keeps the same promise. A file
    // that cannot be opened for writing was not written by this run.
    const QString root = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).left(2);
    if (flushHandleOf(L"\\\\.\\" + root.toStdWString()).ok)
        return {};
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        HANDLE h = CreateFileW(native(it.next()).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        const bool ok = FlushFileBuffers(h);
        const Outcome outcome = ok ? Outcome() : failure(systemReason());
        CloseHandle(h);
        if (!ok)
            return outcome;
    }
    return {};
}

#else

Outcome renameReplacing(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return {};
    return failure(systemReason(), errno == EXDEV);
}

Outcome syncPath(const QString &path)
{
    return onDescriptor(path, [](int fd) { return ::fsync(fd); });
}

Outcome flushFileSystem(const QString &path)
{
#ifdef Q_OS_LINUX
    return onDescriptor(path, [](int fd) { return ::syncfs(fd); });
#else
    Q_UNUSED(path);
    ::sync();
    return {};
#endif
}

#endif

Outcome copyDurably(const QString &src, const QString &dst)
{
    const QString part = partialName(dst);
    QFile in(src);
    QFile out(part);
    if (!in.open(QIODevice::ReadOnly))
        return failure(in.errorString());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failure(out.errorString());
    constexpr qint64 kBlock = 1 << 20;
    bool written = true;
    while (written && !in.atEnd()) {
        const QByteArray block = in.read(kBlock);
        written = !block.isEmpty() && out.write(block) == block.size();
    }
    written = written && in.error() == QFileDevice::NoError && out.flush();
    const QString reason = out.errorString();
    out.close();
    Outcome outcome = written ? syncPath(part) : failure(reason);
    if (outcome.ok) {
        QFile::setPermissions(part, QFile::permissions(src));
        outcome = renameReplacing(part, dst);
    }
    if (!outcome.ok)
        QFile::remove(part);
    return outcome;
}

} // namespace Durable
