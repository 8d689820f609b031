#include "tmpfs.h"

#include <QDir>
#include <QProcess>

Tmpfs::Tmpfs(const QString &where, const QString &options)
    : path(where)
{
    QDir().mkpath(path);
    mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", path}) == 0;
}

Tmpfs::~Tmpfs()
{
    if (mounted)
        QProcess::execute("umount", {"-l", path});
}
