#pragma once

#include <QString>

// A tmpfs of the given options ("size=2m,nr_inodes=64") mounted on path for
// the object's life (Linux, as root).
struct Tmpfs
{
    QString path;
    bool mounted = false;
    Tmpfs(const QString &where, const QString &options);
    ~Tmpfs();
    Tmpfs(const Tmpfs &) = delete;
    Tmpfs &operator=(const Tmpfs &) = delete;
};
