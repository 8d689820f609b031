#pragma once

#include <QString>
#include <QStringList>

// Appends "/"-prefixed paths of the files below root + relative, depth first,
// in the order the file system lists them. Hidden and system entries are not
// listed; a directory that cannot be read adds nothing. Links to directories
// are not followed, so a link cycle cannot make the walk endless.
void listFilesRecursive(const QString &root, const QString &relative, QStringList &out);
