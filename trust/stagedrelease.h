#pragma once
// The one check between a finished download and the apply, the same for
// both roads: the staged release against its signed statement.
//
// Both roads leave the statement and its signature in the staging folder
// (HTTP fetches them from the release folder, TCP receives them as two of
// the release's files), and a version description that the apply installs:
// staging/update.ini (TCP) or update/updateTmp.ini (HTTP, as the run says it
// downloaded it). The check takes
// the statement and signature out of the staging folder, so they are never
// installed as files of the host program; a trusted statement is put back
// as staging/update/release.statement, which the apply installs with the
// release (and a failed apply undoes): the record the next update's
// sequence is compared with.

#include "fileops/downloadedversionfiles.h"
#include "trust/statement.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

struct StagedRelease
{
    QString installation; // absolute, ends with "/"
    QString staging;      // absolute, ends with "/"
    QString announcedVersion; // the version the check announced; "" takes the version description's
    DownloadedVersionFiles downloaded; // what the run fetched beside the staging folder
};

// With no keys: removes the statement files from the staging folder and
// trusts the release (the caller warns). With keys: verifies the statement
// (trust/statement.h) against the installed record's sequence, the
// installed update/update.ini's version (the floor) and the announced
// version and folder, then every staged file's size and SHA-256
// and the downloaded manifest's; refuses a staged file the statement does
// not list. Reads every staged file once; changes nothing but the two
// statement files unless it succeeds. accepted, when given, receives the
// trusted statement (unchanged without keys).
StatementCheck checkStagedRelease(const StagedRelease &release, const QVector<QByteArray> &publicKeys,
                                  const QDateTime &now, ReleaseStatement *accepted = nullptr);

// The sequence number of the release installed now: its recorded
// statement's, 0 when there is none.
quint64 installedSequence(const QString &installation);
