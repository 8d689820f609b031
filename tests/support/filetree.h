#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Contents of a small tree of files: "/relative/path" -> bytes, the key form
// hashTree() uses.
using FileTree = QMap<QString, QByteArray>;

// Writes every file of tree below root, creating folders as needed.
void writeTree(const QString &root, const FileTree &tree);

// The tree in hashTree() form (MD5 hex per file), to compare with a real one.
QMap<QString, QString> treeHashes(const FileTree &tree);
