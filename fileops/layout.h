#pragma once
// Shared pieces of the installation layout used by the file operations.

#include <QDir>
#include <QString>

namespace Layout {

// Every listing of the file operations: directories and files without "."
// and "..". Hidden entries are therefore never backed up, replaced or
// restored.
inline constexpr QDir::Filters kListing = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;

// dir with exactly one added "/" at the end unless it already ends with one.
inline QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

} // namespace Layout
