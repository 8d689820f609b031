#include "config/iniedit.h"

#include <QFile>

#include "config/names.h"
#include "fileops/pathpolicy.h"

#include <QRegularExpression>

namespace {

struct Line
{
    QByteArray body; // without its line end
    QByteArray end;  // "\r\n", "\n" or "" (last line)
};

QList<Line> splitLines(const QByteArray &text)
{
    QList<Line> lines;
    int start = 0;
    while (start < text.size()) {
        const int nl = text.indexOf('\n', start);
        if (nl < 0) {
            lines.append({text.mid(start), QByteArray()});
            break;
        }
        const bool crlf = nl > start && text.at(nl - 1) == '\r';
        lines.append({text.mid(start, nl - start - (crlf ? 1 : 0)), crlf ? "\r\n" : "\n"});
        start = nl + 1;
    }
    return lines;
}

QByteArray joinLines(const QList<Line> &lines)
{
    QByteArray text;
    for (const Line &line : lines)
        text += line.body + line.end;
    return text;
}

QByteArray stripBom(QByteArray body)
{
    return body.startsWith("\xEF\xBB\xBF") ? body.mid(3) : body;
}

// The section a "[name]" line opens, or null for any other line.
QByteArray sectionName(const QByteArray &body)
{
    const QByteArray trimmed = stripBom(body).trimmed();
    if (!trimmed.startsWith('[') || !trimmed.endsWith(']'))
        return QByteArray();
    return trimmed.mid(1, trimmed.size() - 2).trimmed();
}

bool isComment(const QByteArray &body)
{
    const QByteArray trimmed = body.trimmed();
    return trimmed.startsWith(';') || trimmed.startsWith('#');
}

// Position of "=" in a key line, -1 for other lines.
int equalsAt(const QByteArray &body)
{
    return isComment(body) || !sectionName(body).isNull() ? -1 : body.indexOf('=');
}

} // namespace

namespace IniEdit {

QList<QPair<QByteArray, QByteArray>> entries(const QByteArray &text, const QByteArray &group)
{
    QList<QPair<QByteArray, QByteArray>> found;
    QByteArray current;
    for (const Line &line : splitLines(text)) {
        const QByteArray section = sectionName(line.body);
        if (!section.isNull()) {
            current = section;
            continue;
        }
        const int eq = equalsAt(line.body);
        if (current == group && eq > 0)
            found.append({line.body.left(eq).trimmed(), line.body.mid(eq + 1).trimmed()});
    }
    return found;
}

QList<QByteArray> groups(const QByteArray &text)
{
    QList<QByteArray> names;
    for (const Line &line : splitLines(text)) {
        const QByteArray section = sectionName(line.body);
        if (!section.isNull() && !names.contains(section))
            names.append(section);
    }
    return names;
}

QByteArray setValue(const QByteArray &text, const QByteArray &group, const QByteArray &key, const QByteArray &rawValue)
{
    QList<Line> lines = splitLines(text);
    const QByteArray eol = lines.isEmpty() || lines.first().end.isEmpty() ? QByteArray("\n") : lines.first().end;
    QByteArray current;
    bool replaced = false;
    int lastInGroup = -1; // last header or entry line of the group
    for (int i = 0; i < lines.size(); ++i) {
        Line &line = lines[i];
        const QByteArray section = sectionName(line.body);
        if (!section.isNull()) {
            current = section;
            if (current == group)
                lastInGroup = i;
            continue;
        }
        if (current != group)
            continue;
        const int eq = equalsAt(line.body);
        if (eq <= 0)
            continue;
        lastInGroup = i;
        if (line.body.left(eq).trimmed() != key)
            continue;
        int valueStart = eq + 1;
        while (valueStart < line.body.size() && (line.body.at(valueStart) == ' ' || line.body.at(valueStart) == '\t'))
            ++valueStart;
        line.body = line.body.left(valueStart) + rawValue;
        replaced = true;
    }
    if (replaced)
        return joinLines(lines);
    const Line added{key + '=' + rawValue, eol};
    if (lastInGroup >= 0) {
        if (lines[lastInGroup].end.isEmpty())
            lines[lastInGroup].end = eol;
        lines.insert(lastInGroup + 1, added);
        return joinLines(lines);
    }
    QByteArray result = joinLines(lines);
    if (!result.isEmpty() && !result.endsWith('\n'))
        result += eol;
    return result + '[' + group + ']' + eol + added.body + eol;
}

QByteArray literal(const QString &value)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._+\\-]+$"));
    if (plain.match(value).hasMatch())
        return value.toLatin1();
    // Quoted as QSettings writes it: "\" and quotes escaped, anything
    // outside printable ASCII as \x and four hex digits; a hex digit right
    // after such an escape is escaped too, or it would join the number.
    QByteArray out = "\"";
    bool afterHexEscape = false;
    for (const QChar ch : value) {
        const ushort u = ch.unicode();
        const bool hexDigit = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (u < 0x20 || u > 0x7e || (afterHexEscape && hexDigit)) {
            out += "\\x" + QByteArray::number(u, 16).rightJustified(4, '0');
            afterHexEscape = true;
            continue;
        }
        afterHexEscape = false;
        if (u == '\\' || u == '"')
            out += '\\';
        out += char(u);
    }
    return out + '"';
}

bool holdsEncodedObject(const QByteArray &text)
{
    // Folded as QSettings would unescape it, without quotes, backslashes and
    // spaces, in lower case: then a plain search finds every spelling.
    QByteArray folded;
    folded.reserve(text.size());
    const auto digit = [](char ch, int base) {
        const int v = (ch >= '0' && ch <= '9') ? ch - '0' : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                                                         : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10 : 99;
        return v < base ? v : -1;
    };
    for (int i = 0; i < text.size(); ++i) {
        const char ch = text.at(i);
        if (ch == '\\' && i + 1 < text.size()) {
            const bool hex = text.at(i + 1) == 'x' || text.at(i + 1) == 'X';
            const int base = hex ? 16 : 8;
            int j = hex ? i + 2 : i + 1;
            int code = 0;
            int taken = 0;
            while (j < text.size() && taken < (hex ? 4 : 3) && digit(text.at(j), base) >= 0) {
                code = code * base + digit(text.at(j), base);
                ++j;
                ++taken;
            }
            if (taken > 0) {
                if (code < 0x80)
                    folded += static_cast<char>(QChar::toLower(static_cast<uint>(code)));
                i = j - 1;
                continue;
            }
        }
        if (ch == '\\' || ch == '"' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n')
            continue;
        folded += static_cast<char>(QChar::toLower(static_cast<uint>(static_cast<uchar>(ch))));
    }
    return folded.contains("variant(");
}

QString settingsPath(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return path;
    return holdsEncodedObject(file.readAll()) ? QString() : path;
}

QByteArray mergedSystemConfig(const QByteArray &client, const QByteArray &release, const QString &version)
{
    const QByteArray general = Names::kGroupGeneral;
    const QByteArray versionKey = Names::kKeyVersion;
    const QList<QByteArray> clientOwned{Names::kGroupServer, Names::kGroupPaths, Names::kGroupUpdate};
    // Where the next check goes and which program a run starts: a publisher
    // moves its clients with these. The trust settings, the places and the
    // updater's own names stay the client's.
    const QList<QPair<QByteArray, QByteArray>> movable{{Names::kGroupServer, Names::kKeyUpdateServer},
                                                       {Names::kGroupServer, Names::kKeyUpdatePort},
                                                       {Names::kGroupUpdate, Names::kKeyUrl},
                                                       {Names::kGroupUpdate, Names::kKeyHostExe}};
    QByteArray merged = client;
    if (!release.isNull()) {
        for (const QByteArray &group : groups(release)) {
            for (const auto &entry : entries(release, group)) {
                if (clientOwned.contains(group) && !movable.contains({group, entry.first}))
                    continue;
                // The host program stays a file of the installation.
                if (entry.first == Names::kKeyHostExe
                    && !PathPolicy::isSafeRelativeName(QString::fromUtf8(entry.second).trimmed()))
                    continue;
                merged = setValue(merged, group, entry.first, entry.second);
            }
        }
    }
    if (!version.isEmpty())
        merged = setValue(merged, general, versionKey, literal(version));
    return merged;
}

} // namespace IniEdit
