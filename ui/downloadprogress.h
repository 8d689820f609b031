#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QVector>

// What the progress of a download run shows, from the files' byte counts:
// several files are in flight at once, each size known once its answer
// says it (or -1 until then).
//
// The file line follows a file still downloading: the one with most bytes
// left, a file of unknown size after those, one with all bytes received
// (being verified) last; the file followed stays while it ties. The
// overall share moves with bytes: every finished file counts one, every
// file in flight its received share of its size.
class DownloadProgress
{
public:
    // A run of fileCount files starts; nothing is in flight.
    void begin(int fileCount);
    // A file starts; id is the caller's, unique while the file is in flight.
    void started(const void *id, const QString &name);
    void progressed(const void *id, qint64 received, qint64 total);
    // The file is done (counted) or dropped (not counted); it leaves the flight.
    void finished(const void *id, bool counted);

    // The followed file's name, received bytes and size; empty name when
    // nothing is in flight.
    QString followedName() const;
    qint64 followedReceived() const;
    qint64 followedTotal() const;
    // The followed file's share in per mille, 0 while its size is unknown.
    int followedPerMille() const;
    // The run's share in per mille of fileCount files (1000 for an empty run).
    int overallPerMille() const;
    // A progress bar format: "1.52 MB / 3.00 MB · 120.00 KB/s", the followed
    // file's bytes, then the run's rate once it has run a second; "%p%"
    // while the file's size is unknown.
    QString followedText() const;

private:
    struct File
    {
        const void *id = nullptr;
        QString name;
        qint64 received = 0;
        qint64 total = -1;
    };
    int indexOf(const void *id) const;
    void follow();

    QVector<File> flight;
    int followed = -1; // in flight
    int fileCount = 0;
    int doneCount = 0;
    qint64 bytesReceived = 0; // of the whole run, for the rate
    QElapsedTimer clock;
};
