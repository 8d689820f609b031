#pragma once
// The patch index of a release: which binary patches the publisher made for
// its files, from which earlier bytes. Pure functions over bytes and strings.
//
// Patches and indexes lie beside the release folders, in a folder no
// release folder can be named (those start with a letter or digit), so
// md5.txt, update.ini and the release folder stay exactly what clients
// without patches read:
//   <out>/_patches/<folder>.index          the index of release <folder>
//   <out>/_patches/<folder>.index.sig      with a key: its Ed25519 signature
//   <out>/_patches/<target>/<base>.patch   target: the new bytes' SHA-256 in
//                                          hex; base: the first 24 hex digits
//                                          of the earlier bytes' SHA-256
// A patch is named by what it turns into what, not by release, so any
// installation holding those base bytes can use it, whatever version it
// calls itself; releases that share a pair share the patch.
//
// Text format (UTF-8, every line ends with LF, fields separated by one TAB,
// each key once, patches sorted by path, then base digest; sizes decimal,
// digests SHA-256 in lower-case hex; paths as in md5.txt):
//   patch-index<TAB>1
//   version<TAB><release version>
//   folder<TAB><release folder>
//   patch<TAB>/<path><TAB><base size><TAB><base digest><TAB><target size><TAB><target digest>
//        <TAB><patch size><TAB><patch digest><TAB><patch MD5, lower-case hex>
// (one line; the MD5 is what the HTTP road checks every download by).
//
// The signature file holds the Ed25519 signature over the index's exact
// bytes as one base64 line, by the key that signs the release statement.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

struct PatchEntry
{
    QString path; // "/"-prefixed, as in md5.txt
    qint64 baseSize = 0;
    QByteArray baseSha256; // 32 raw bytes each
    qint64 targetSize = 0;
    QByteArray targetSha256;
    qint64 patchSize = 0;
    QByteArray patchSha256;
    QString patchMd5; // 32 lower-case hex digits
};

struct PatchIndex
{
    QString version;
    QString folder;
    QVector<PatchEntry> patches;
};

namespace PatchLayout {

inline const QString kFolder = QStringLiteral("_patches");

// Relative to the published root (the folder update.ini lies in).
QString indexPath(const QString &releaseFolder);
QString signaturePath(const QString &releaseFolder);
QString patchPath(const QByteArray &baseSha256, const QByteArray &targetSha256);

} // namespace PatchLayout

// Sorts the patches into the index's order.
QByteArray serializePatchIndex(PatchIndex index);

// The index in bytes, or nothing when they are not exactly the format above
// (a path a client could not install, one pair listed twice, out of order).
std::optional<PatchIndex> parsePatchIndex(const QByteArray &bytes);

// The patch for the file at path whose installed bytes have baseSha256, or
// null.
const PatchEntry *findPatch(const PatchIndex &index, const QString &path, const QByteArray &baseSha256);
