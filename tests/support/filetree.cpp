#include "filetree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

void writeTree(const QString &root, const FileTree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + it.key();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(it.value());
    }
}

QMap<QString, QString> treeHashes(const FileTree &tree)
{
    QMap<QString, QString> hashes;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        hashes.insert(it.key(), QString::fromLatin1(QCryptographicHash::hash(it.value(), QCryptographicHash::Md5).toHex()));
    return hashes;
}
