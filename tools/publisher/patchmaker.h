#pragma once
// The publisher's patches (delta/patchindex.h has the layout): for each file
// of a new release whose bytes differ from the same file in an earlier
// release, a binary patch from those earlier bytes, and the release's patch
// index naming every patch kept.

#include <QByteArray>
#include <QString>
#include <QStringList>

struct PatchRequest
{
    QString outDir;      // the published root
    QString releaseDir;  // outDir/folder, its files already in place
    QString version;
    QString folder;
    QStringList files;   // the release's files, "/"-prefixed relative paths
    // Earlier releases: published release folders or the source trees they
    // were published from; a file is looked for at the same relative path.
    QStringList previousDirs;
    QByteArray secretKey; // non-empty: the index is signed with it
};

// A patch is kept when it is at most this share of the file's size: a
// smaller saving is not worth the decoding and the second request.
constexpr double kPatchKeepRatio = 0.75;

// Writes the patches that are new (a pair published before keeps its
// patch), then the index and, with a key, its signature. "" on success,
// else the reason; patchCount receives the number of patches listed.
QString writePatches(const PatchRequest &request, int *patchCount = nullptr);
