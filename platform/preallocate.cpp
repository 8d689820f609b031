#include "platform/preallocate.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <fcntl.h>
#endif

bool preallocateFile(QFile &file, qint64 size)
{
    if (size <= 0)
        return true;
#ifdef Q_OS_WIN
    const bool ok = file.resize(size);
#else
    const bool ok = posix_fallocate(file.handle(), 0, static_cast<off_t>(size)) == 0 && file.size() == size;
#endif
    if (!ok)
        file.resize(0);
    return ok;
}
