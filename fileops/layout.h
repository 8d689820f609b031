#pragma once
// Shared pieces of the installation layout used by the file operations.

#include <QString>

namespace Layout {

// dir with exactly one added "/" at the end unless it already ends with one.
inline QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

// dir without any "/" at its end.
inline QString withoutSlash(QString dir)
{
    while (dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir;
}

} // namespace Layout
