#pragma once
// Where a path may lead: the one rule set for folders and names that come
// from settings, servers and manifests.
//
// Symbolic links are resolved wherever two places are compared: a link
// inside the installation that points elsewhere counts as elsewhere. What
// changes files never goes through a link at all (isFreeOfLinks). The name
// checks are pure text rules and touch no file.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace PathPolicy {

// The canonical form of a folder that may not exist yet: the deepest existing
// ancestor is resolved (links included) and the rest appended, ending with
// "/". Empty for an empty path.
QString canonicalFolder(const QString &path);

// True when path lies inside folder and is not folder itself, both in
// canonical form. False when either is empty.
bool isStrictlyInside(const QString &folder, const QString &path);

// isStrictlyInside for many paths against one folder (every file of a
// manifest against the staging folder): the folder is resolved once, when
// the bound is made.
class FolderBound
{
public:
    explicit FolderBound(const QString &folder);
    bool holds(const QString &path) const;

private:
    QString lexicalOuter; // absolute and clean, ending with "/"
    bool outerExists;
    QString outer;        // canonicalFolder's; empty for an empty folder
};

// True when both name the same folder in canonical form.
bool isSameFolder(const QString &a, const QString &b);

// True when relative (below folder, "/"-separated, empty for folder itself)
// passes through no symbolic link or junction: no existing level of it
// below folder, the last one included, is one. A file's path whose parent
// passes leads where its text says: renaming or removing the file acts on
// the entry itself, and removing a folder that passes never leaves it.
bool isFreeOfLinks(const QString &folder, const QString &relative);

// True when a log prefix (the Log setting, appended to folder as it is:
// "logs/", "app_", "") keeps the log files inside folder: once a final "/"
// is dropped it is empty or a safe relative name, and its folders lead
// through no link.
bool isSafeLogPrefix(const QString &folder, const QString &prefix);

// Why a relative path, levels separated by "/", may not be appended to a
// folder. The characters are checked first, in order, then the levels.
enum class NameProblem {
    None,
    ControlCharacter, // below 0x20 or 0x7f, NUL included
    Backslash,        // a second separator on Windows
    Colon,            // drive letters, alternate streams
    EmptyLevel,       // "", a leading, doubled or trailing "/"
    DotLevel,         // "." or ".."
    WindowsName,      // a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also
                      // with an extension) or a level ending with "." or " ":
                      // every release must be installable on Windows
};
NameProblem relativeNameProblem(const QString &relative);

// A relative path without any problem above.
bool isSafeRelativeName(const QString &relative);

// A bare file name: a safe relative name of one level.
bool isPlainFileName(const QString &name);

// A name every file system holds as it is: 1 to 100 ASCII letters, digits,
// ".", "_" and "-", and a safe relative name. Others may or may not be held,
// depending on the file system: only trying tells.
bool isPortableFileName(const QString &name);

// Why a file of a release (relative, "/"-separated) can never be installed.
enum class ReleaseNameProblem {
    None,
    Unsafe,    // see relativeNameProblem
    Hidden,    // a level starting with ".": never listed in a manifest, never applied
    WorkPlace, // is, holds or lies inside one of the updater's own places
};

// Checks relative against the rules above. workPlaces: relative paths of the
// updater's own files and folders in the installation (see
// InstallLayout::workPlaces), compared without regard to letter case, as a
// Windows file system does.
ReleaseNameProblem releaseNameProblem(const QString &relative, const QStringList &workPlaces);

// True when name (the bytes of a file name as a peer or the file system
// gave them) is valid UTF-8. Any other name reads differently on each side
// and is refused before anything is fetched or published.
bool isValidUtf8(const QByteArray &name);

// name for a reason or a log line: printable ASCII as it is, a backslash
// doubled, every other byte as \xNN.
QString escapedName(const QByteArray &name);

} // namespace PathPolicy
