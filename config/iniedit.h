#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Edits of INI text as bytes, for files the updater must change without
// rewriting them: every line it does not change (comments, order, spacing,
// line ends, bytes in any encoding) stays exactly as it was. Sections are
// "[name]" lines; ";" and "#" start comment lines; keys and section names are
// compared exactly. Pure: touches no file.
namespace IniEdit {

// (key, raw value bytes after "=") of every key line in the sections named
// group, in file order.
QList<QPair<QByteArray, QByteArray>> entries(const QByteArray &text, const QByteArray &group);
// The section names in file order, each once.
QList<QByteArray> groups(const QByteArray &text);
// text with key of group set to rawValue: every existing line of the key
// keeps its key part and line end; without one, a line is added after the
// last entry of the group's last section, or a new section at the end.
QByteArray setValue(const QByteArray &text, const QByteArray &group, const QByteArray &key, const QByteArray &rawValue);
// value written so that QSettings reads it back as exactly that text.
QByteArray literal(const QString &value);

// system.cfg after an update: the client's file with [General] Version set
// to version (unless empty). A release's own system.cfg (release not null)
// contributes its values outside [Server], [Paths] and [Update], and of
// those groups [Server] UpdateServer and UpdatePort, [Update] URL and
// HostExe (a safe relative name only): how a publisher moves its clients.
// With Update/PublicKey set only a signed release gets this far. The given
// version wins over the release's; the client's other values in those three
// groups (its keys, CA file, places and the updater's names), its comments
// and everything else stay.
// True when INI text holds something QSettings could decode as a serialized
// object ("@Variant(", written out or through escapes): QSettings decodes
// those with QDataStream, which a crafted value drives into an unbounded
// allocation. No file of this program's ever holds one.
bool holdsEncodedObject(const QByteArray &text);

// path itself, or an empty path (which QSettings reads as an empty file) when
// the file at path holds an encoded object: what QSettings is given for every
// INI file, as any of them may have come from a server or a release.
QString settingsPath(const QString &path);

QByteArray mergedSystemConfig(const QByteArray &client, const QByteArray &release, const QString &version);

} // namespace IniEdit
