#pragma once

#include "tcp/updatetcpclient.h"

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// Stands in for the staging writer: keeps received files in memory, keyed
// by path + "/" + name. Like the writer, the first chunk after a file was
// closed starts it anew. Can refuse chunks to play a full disk.
struct MemorySink
{
    QMap<QString, QByteArray> files;
    QSet<QString> open;    // keys of files still being received
    QStringList completed; // keys whose last chunk arrived (or that were closed)
    int failAtChunk = -1;  // refuse this chunk (0-based count over all chunks)
    bool refuseAll = false;
    int chunks = 0;

    QUpdateTcpClient::ChunkSink sink()
    {
        return [this](const QString &path, const QString &name, const QByteArray &data, bool isLast) {
            if (refuseAll || chunks++ == failAtChunk)
                return false;
            const QString key = path + QLatin1Char('/') + name;
            if (!open.contains(key))
                files[key].clear();
            open.insert(key);
            files[key] += data;
            if (isLast) {
                open.remove(key);
                completed << key;
            }
            return true;
        };
    }
};
