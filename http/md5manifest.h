#pragma once
// The MD5 manifest (md5.txt): one line per file, "<digest>\t<path>", where
// the path starts with "/" and uses "/" between levels, and the digest is 32
// lower-case hex digits (empty when the file could not be read). Written in
// key order with CR LF line ends in the local 8-bit encoding; read with LF or
// CR LF. None of these functions logs or reports errors. The folder walk and
// the file digests it is built from live in fileops/.

#include "fileops/filedigest.h"
#include "fileops/filewalk.h"
#include "fileops/pathpolicy.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Relative path -> digest, ordered by QString's operator< (case-sensitive).
using Md5Map = QMap<QString, QString>;

// Digest of every file below dir (which ends with "/"), keyed by relative path.
Md5Map hashDirectory(const QString &dir);

// Hashes every file below dir (the application directory plus "/") and
// writes dir + "md5.txt". An empty dir does nothing; an unwritable target is
// silently skipped.
void generateMd5File(const QString &dir);

// The file text of a manifest: every entry in key order, CR LF line ends,
// local 8-bit encoding.
QByteArray serializeMd5Map(const Md5Map &map);

// Parses manifest text: each line is split at every TAB; lines with fewer
// than two fields are skipped; field 1 is the digest, field 2 the path, the
// rest is ignored; a later line for the same path wins. LF or CR LF.
// Text that is valid UTF-8 is read as UTF-8, other text in the local 8-bit
// encoding, so a Windows client reads a manifest published on Linux.
Md5Map parseMd5Map(const QByteArray &text);

// Manifest text as received from a server, parsed as parseMd5Map does. It
// must be whole and list every file once under a name it can be fetched by:
// *problem says why it is not (no entry at all, a last line without its line
// end: a transfer cut off, as the writer ends every line; or a
// listedNameProblem), and the map is empty then.
Md5Map parseServerManifest(const QByteArray &text, QString *problem);

// Why the names manifest text lists cannot be fetched as listed, or "": a
// name that is not valid in the encoding the text is read in (escaped in
// the reason), or a path listed twice, letter case aside (a Windows file
// system stages both as one file).
QString listedNameProblem(const QByteArray &text);

// Why manifest text is not the md5.txt that update.ini describes, or "":
// sizeText and md5Text are its [Version] ManifestSize (decimal bytes) and
// ManifestMd5 (hex) values, each checked when given. A value that is no
// size or digest is a problem too: update.ini came damaged.
QString manifestRecordProblem(const QByteArray &text, const QString &sizeText, const QString &md5Text);

// Writes serializeMd5Map(map) to path, replacing it. False when it cannot be
// written completely.
bool writeMd5File(const QString &path, const Md5Map &map);

// A manifest file's bytes; an unreadable file gives none.
QByteArray readManifestText(const QString &path);
// Reads a manifest file; an unreadable file gives an empty map.
Md5Map readMd5File(const QString &path);

// The remote entries that are missing locally or whose digest text differs
// (exact comparison), with the remote digests. Local-only entries are
// ignored: an update never deletes files.
Md5Map compareMd5Maps(const Md5Map &local, const Md5Map &remote);
// The same with the local entries given as manifest text, read as
// parseMd5Map reads it: an installation's manifest is looked up in place,
// without a map of its every file.
Md5Map compareWithManifest(const QByteArray &localText, const Md5Map &remote);

// True when the manifest text, read as parseMd5Map reads it, lists a file
// inside one of folders (each relative to the manifest's root,
// "/"-separated, with or without a trailing "/").
bool listsFileUnder(const QByteArray &manifest, const QStringList &folders);

// Why a manifest path cannot be a file of a release, or "" when it can: it
// must start with "/" and the rest must be a safe relative name that names
// no hidden entry and none of workPlaces (see PathPolicy).
QString unsafePathReason(const QString &path, const QStringList &workPlaces);

// The text for people of a release name problem; "" for None.
QString releaseNameText(PathPolicy::ReleaseNameProblem problem);
