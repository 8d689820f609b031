#pragma once

#include <QByteArray>
#include <QString>

// Writes content to path, creating missing folders; false when it could not.
bool writeTestFile(const QString &path, const QByteArray &content);
// The file's bytes, or empty when it cannot be read.
QByteArray readTestFile(const QString &path);
