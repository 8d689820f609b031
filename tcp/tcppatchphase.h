#pragma once

#include "delta/patchplanner.h"
#include "http/md5manifest.h"
#include "tcp/messages.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

class PartialDownloads;
class QUpdateTcpClient;

// The patch phase of a TCP run, before its download queue starts: for the
// listed files a binary patch can build from the installed bytes, the patch
// is fetched instead of the file and the file built into staging.
//
// Over the run's main connection, one request at a time: the release's
// update.ini (its Folder names the patch index) and the index (with its
// signature when keys are configured); when a patch fits an installed file,
// md5.txt (the digest each built file is checked by) and the patches. The
// version description and the manifest are staged as the queue would stage
// them. Patches are fetched into a work file below update/, never into
// staging (a patch is no release file), and removed there. Any failure
// leaves the file to the queue, to be fetched whole; the connection may be
// closed afterwards (a failed request closes it), and the queue reconnects.
//
// Files an earlier run fetched whole and kept (a run that failed, was
// cancelled or killed) are taken from the partial downloads once md5.txt
// names their digest and their bytes still have it: they are not fetched
// again. The TCP protocol names no digest before a file arrives, so md5.txt
// is fetched first whenever anything is kept.
class TcpPatchPhase
{
public:
    struct Settings
    {
        QString host;
        quint16 port = 0;
        QString installation; // ending with "/"; empty: no patches are tried
        QString staging;      // the staging writer's folder, ending with "/"; empty: no patches
        QVector<QByteArray> publicKeys;
        bool signatureRequired = false; // keys configured: only a signed index is used
        qint64 reserveBytes = 0;        // kept free on the disks written to
        int silenceMs = 0;              // per request, as the queue's
        PatchPlanner::Hasher hasher;    // of the installed files; empty: their bytes
    };

    // client is the run's main connection, its chunk sink the staging
    // writer's; not owned.
    TcpPatchPhase(QUpdateTcpClient *client, const Settings &settings);

    // Stages what patches can build of listed (the release's files, as the
    // version reply names them, at version) and returns the files still to
    // fetch: listed without the ones staged here.
    QVector<FileRequest> run(const QVector<FileRequest> &listed, const QString &version);
    // Ends the request in flight, the hashing of the installed files or the
    // building of one; run() then returns at once.
    void cancel(const QString &reason);

private:
    // One request over the client; into staging when aside is empty, else
    // into the work file aside, at most maxBytes.
    bool fetch(const FileRequest &file, const QString &aside = QString(), qint64 maxBytes = 0);
    // listed without the files an earlier run fetched whole and kept (see
    // PartialDownloads::keepWhole) whose digest digests names: those are
    // checked and moved into staging. The rest of what is kept is dropped.
    QVector<FileRequest> takeKept(const PartialDownloads &kept, const Md5Map &digests,
                                  const QVector<FileRequest> &listed) const;
    // The file's bytes, fetched aside and removed again.
    std::optional<QByteArray> fetchBytes(const FileRequest &file, qint64 maxBytes);

    QUpdateTcpClient *client;
    const Settings settings;
    const QString workFile;
    PatchPlanner planner;
    PatchWorker builds; // builds the patched files, off the window's thread
    bool cancelled = false;
};
