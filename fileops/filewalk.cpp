#include "fileops/filewalk.h"

#include <QDir>
#include <QFileInfo>

void listFilesRecursive(const QString &root, const QString &relative, QStringList &out)
{
    const QDir dir(root + relative);
    const QFileInfoList entries = dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString child = relative + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!entry.isSymLink())
                listFilesRecursive(root, child, out);
        } else {
            out.append(child);
        }
    }
}
