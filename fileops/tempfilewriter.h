#pragma once

#include <QByteArray>
#include <QString>

// Writes file chunks received over TCP into the staging folder.
class TempFileWriter
{
public:
    static TempFileWriter *instance();

    // Appends data to the staged file path/name; isLast closes it. False when
    // the chunk could not be stored.
    bool writeChunk(const QString &path, const QString &name, const QByteArray &data, bool isLast);
};
