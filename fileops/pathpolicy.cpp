#include "fileops/pathpolicy.h"

#include "fileops/layout.h"

#include <QDir>
#include <QFileInfo>
#include <QVector>

namespace PathPolicy {

QString canonicalFolder(const QString &path)
{
    if (path.isEmpty())
        return QString();
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    QString current = absolute;
    while (!QFileInfo::exists(current)) {
        const int cut = current.lastIndexOf(QLatin1Char('/'));
        if (cut <= 0)
            return Layout::withSlash(absolute);
        rest = current.mid(cut) + rest;
        current = current.left(cut);
    }
    return Layout::withSlash(QFileInfo(current).canonicalFilePath() + rest);
}

FolderBound::FolderBound(const QString &folder)
    : lexicalOuter(folder.isEmpty() ? QString() : Layout::withSlash(QDir::cleanPath(QFileInfo(folder).absoluteFilePath())))
    , outerExists(!folder.isEmpty() && QFileInfo::exists(lexicalOuter))
    , outer(canonicalFolder(folder))
{
}

bool FolderBound::holds(const QString &path) const
{
    if (outer.isEmpty() || path.isEmpty())
        return false;
    // Below a folder that does not exist nothing exists either: both resolve
    // through the same existing ancestor, so for a path named below it the
    // names decide. This spares resolving every level of both (a dozen
    // system calls), which a check of every file of a large release pays
    // before its staging folder is made.
    if (!outerExists) {
        // Named below the folder's own clean spelling with plain levels
        // only (a doubled slash after the folder, as "staging/" + "/name"
        // gives, cleans away), the path cleans to a name below it.
        if (path.startsWith(lexicalOuter)) {
            int from = lexicalOuter.size();
            while (from < path.size() && path.at(from) == QLatin1Char('/'))
                ++from;
            if (isSafeRelativeName(path.mid(from)))
                return true;
        }
        if (QDir::cleanPath(QFileInfo(path).absoluteFilePath()).startsWith(lexicalOuter))
            return true;
    }
    const QString inner = canonicalFolder(path);
    return inner.startsWith(outer) && inner != outer;
}

bool isStrictlyInside(const QString &folder, const QString &path)
{
    return FolderBound(folder).holds(path);
}

bool isSameFolder(const QString &a, const QString &b)
{
    return !a.isEmpty() && !b.isEmpty() && canonicalFolder(a) == canonicalFolder(b);
}

bool isFreeOfLinks(const QString &folder, const QString &relative)
{
    QString path = Layout::withSlash(folder);
    const QVector<QStringRef> levels = relative.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QStringRef &level : levels) {
        path += level;
        const QFileInfo info(path);
        if (info.isSymLink() || info.isJunction())
            return false;
        if (!info.exists())
            return true;
        path += QLatin1Char('/');
    }
    return true;
}

namespace {

// A level Windows cannot create as given: it drops a trailing dot or space,
// and a device name opens the device whatever extension follows it.
bool isWindowsReserved(const QStringRef &level)
{
    if (level.endsWith(QLatin1Char('.')) || level.endsWith(QLatin1Char(' ')))
        return true;
    // The name before the first dot, spaces before that dot dropped.
    QStringRef name = level.left(level.indexOf(QLatin1Char('.')));
    while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    // Every device name has three or four letters, and no other character
    // becomes one of them in upper case: other names are not copied.
    if (name.size() != 3 && name.size() != 4)
        return false;
    const QString base = name.toString().toUpper();
    static const QStringList devices{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                     QStringLiteral("NUL")};
    if (devices.contains(base))
        return true;
    // COM1-9 and LPT1-9, the superscript digits included.
    static const QString digits = QStringLiteral("123456789\u00b9\u00b2\u00b3");
    return base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && digits.contains(base.at(3));
}

} // namespace

NameProblem relativeNameProblem(const QString &relative)
{
    for (const QChar c : relative) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return NameProblem::ControlCharacter;
        if (c == QLatin1Char('\\'))
            return NameProblem::Backslash;
        if (c == QLatin1Char(':'))
            return NameProblem::Colon;
    }
    // Asked for every entry of a manifest: the levels are walked in place.
    for (int start = 0; start <= relative.size();) {
        int end = relative.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = relative.size();
        const QStringRef level(&relative, start, end - start);
        start = end + 1;
        if (level.isEmpty())
            return NameProblem::EmptyLevel;
        if (level == QLatin1String(".") || level == QLatin1String(".."))
            return NameProblem::DotLevel;
        if (isWindowsReserved(level))
            return NameProblem::WindowsName;
    }
    return NameProblem::None;
}

bool isSafeRelativeName(const QString &relative)
{
    return relativeNameProblem(relative) == NameProblem::None;
}

bool isSafeLogPrefix(const QString &folder, const QString &prefix)
{
    const QString name = prefix.endsWith(QLatin1Char('/')) ? prefix.chopped(1) : prefix;
    return name.isEmpty()
        || (isSafeRelativeName(name)
            && isFreeOfLinks(folder, prefix.left(qMax(0, prefix.lastIndexOf(QLatin1Char('/'))))));
}

bool isPlainFileName(const QString &name)
{
    return isSafeRelativeName(name) && !name.contains(QLatin1Char('/'));
}

bool isPortableFileName(const QString &name)
{
    if (name.isEmpty() || name.size() > 100)
        return false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.'
            || u == '_' || u == '-';
        if (!plain)
            return false;
    }
    return isPlainFileName(name);
}

ReleaseNameProblem releaseNameProblem(const QString &relative, const QStringList &workPlaces)
{
    if (!isSafeRelativeName(relative))
        return ReleaseNameProblem::Unsafe;
    if (relative.startsWith(QLatin1Char('.')) || relative.contains(QLatin1String("/.")))
        return ReleaseNameProblem::Hidden;
    // Asked for every entry of a manifest: compared in place, without
    // building "outer/" for each pair.
    const auto within = [](const QString &inner, const QString &outer) {
        const int n = outer.size();
        return inner.size() >= n && (inner.size() == n || inner.at(n) == QLatin1Char('/'))
            && QStringRef(&inner, 0, n).compare(outer, Qt::CaseInsensitive) == 0;
    };
    for (const QString &place : workPlaces) {
        if (within(relative, place) || within(place, relative))
            return ReleaseNameProblem::WorkPlace;
    }
    return ReleaseNameProblem::None;
}

bool isValidUtf8(const QByteArray &name)
{
    // Invalid sequences decode to U+FFFD, which encodes to other bytes.
    return QString::fromUtf8(name).toUtf8() == name;
}

QString escapedName(const QByteArray &name)
{
    QString text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            text += QLatin1String("\\\\");
        else if (byte >= 0x20 && byte < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace PathPolicy
