#pragma once

#include "config/names.h"
#include "patchfiles.h"
#include "tcp/messages.h"

#include <QString>
#include <QVector>

// One file the server offers: how the client names it (filePath = folder of
// the file relative to the release folder, "" at its top; fileName = the
// file's name) and where it lies on disk.
struct ReleaseFile
{
    FileRequest id;
    QString localPath;
    qint64 size = 0;
};

// A release folder as the release publisher writes it:
//   <root>/update.ini            [Version] Version=..., Folder=... (the newest)
//   <root>/<Folder>/...          the release's files
//   <root>/<Folder>/md5.txt      its manifest
// Offered are every file below <root>/<Folder> (a hidden one makes the
// release unusable, see scanRelease) and
// <root>/update.ini as ("", "update.ini"), unless the folder has its own
// update.ini at its top. The client stages each file at filePath/fileName
// below its staging folder, so the files land at their place relative to
// the installation, the manifest becomes the installed md5.txt and
// update.ini the installed update/update.ini.
struct Release
{
    QString version;
    int rollout = 100; // [Version] Rollout, passed on in every offer
    // [Version] MinRequiredVersion and SteppingStone: the lowest installed
    // version the release applies to, and the folder of the release that
    // older installations take first (its description in <root>/<folder>.ini).
    QString minimumVersion;
    QString steppingStone;
    QVector<ReleaseFile> files; // ordered by path
    QString error;              // empty when the release can be served
    PatchFiles patches;         // offered beside the files, never listed

    bool isValid() const { return error.isEmpty(); }
    // The listed file with exactly this path and name, or null (a binary
    // search: files are ordered).
    const ReleaseFile *find(const FileRequest &id) const;
};

// Reads the release below root that <root>/<iniName> describes (update.ini
// for the newest; a stepping stone's own description is offered as
// update.ini all the same). A Rollout that is no percent (see
// config/releasecontrol.h) makes the release unusable. Names that do not fit the protocol's fields
// (path over 127, name over 31 UTF-8 bytes), names a client could not install
// (hidden entries, the updater's own places with the usual settings: the
// publisher never writes them), files of 4 GiB or more and a Folder that
// leaves root make the release unusable (error says which). The patches of a
// usable release are read with it (PatchFiles::scan).
Release scanRelease(const QString &root, const QString &iniName = Names::kUpdateIniFile);
