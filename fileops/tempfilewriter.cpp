#include "fileops/tempfilewriter.h"

TempFileWriter *TempFileWriter::instance()
{
    static TempFileWriter writer;
    return &writer;
}

// Placeholder until the apply step lands: stores nothing.
bool TempFileWriter::writeChunk(const QString &, const QString &, const QByteArray &, bool)
{
    return false;
}
