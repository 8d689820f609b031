#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>

bool writeTestFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readTestFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray bytes(n, '\0');
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = static_cast<char>(generator.bounded(256));
    return bytes;
}

QByteArray shiftedProgram(const QByteArray &program, int insertAt, int inserted)
{
    QByteArray bytes = program;
    for (int at = insertAt - insertAt % 24; at + 4 <= bytes.size(); at += 24)
        qToLittleEndian<quint32>(qFromLittleEndian<quint32>(bytes.constData() + at) + inserted, bytes.data() + at);
    return bytes.insert(insertAt, randomBytes(inserted, 9));
}
