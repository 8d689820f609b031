#pragma once

#include <QByteArray>
#include <QString>

// Writes content to path, creating missing folders; false when it could not.
bool writeTestFile(const QString &path, const QByteArray &content);
// The file's bytes, or empty when it cannot be read.
QByteArray readTestFile(const QString &path);
// n bytes of seeded noise: the same for the same seed, hardly compressible.
QByteArray randomBytes(int n, quint32 seed);
// A program recompiled with inserted bytes of noise at insertAt: every 32-bit
// address after it, one per 24 bytes, moved by their count.
QByteArray shiftedProgram(const QByteArray &program, int insertAt, int inserted);
