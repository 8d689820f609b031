#include "filetree.h"

#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

void writeTree(const QString &root, const FileTree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        writeTestFile(root + it.key(), it.value());
}

QMap<QString, QString> treeHashes(const FileTree &tree)
{
    QMap<QString, QString> hashes;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        hashes.insert(it.key(), QString::fromLatin1(QCryptographicHash::hash(it.value(), QCryptographicHash::Md5).toHex()));
    return hashes;
}
