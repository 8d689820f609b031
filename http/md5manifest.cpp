#include "http/md5manifest.h"

#include "config/names.h"
#include "fileops/pathpolicy.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QSaveFile>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

QTextCodec *localCodec()
{
    return QTextCodec::codecForLocale();
}

// Manifests are written in the writer's 8-bit encoding: UTF-8 from a Linux
// publisher, the ANSI code page (GBK) from a Windows one. Text that is valid
// UTF-8 is read as such; anything else as the local encoding.
QString manifestText(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    const QString utf8 = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 ? utf8 : localCodec()->toUnicode(bytes);
}

// Calls entry(path, digest) for every line of text with a TAB, in order:
// the digest, then the path up to the next TAB if any. LF or CR LF. The
// fields are found in place: a manifest has a line per file.
template <typename Entry>
void forEachEntry(const QString &text, Entry entry)
{
    for (int start = 0; start < text.size();) {
        int end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        QStringRef line = text.midRef(start, end - start);
        start = end + 1;
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab < 0)
            continue;
        const int next = line.indexOf(QLatin1Char('\t'), tab + 1);
        entry(line.mid(tab + 1, next < 0 ? -1 : next - tab - 1), line.left(tab));
    }
}

// The remote entries whose path digestOf(path) gives no digest for, or
// another one (exact comparison), with the remote digests.
template <typename DigestOf>
Md5Map changedEntries(const Md5Map &remote, DigestOf digestOf)
{
    Md5Map changed;
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const std::optional<QStringRef> local = digestOf(it.key());
        if (!local || *local != it.value())
            changed.insert(it.key(), it.value());
    }
    return changed;
}

} // namespace

Md5Map hashDirectory(const QString &dir)
{
    QStringList files;
    listFilesRecursive(dir, QString(), files);
    Md5Map map;
    for (const QString &relative : qAsConst(files))
        map.insert(relative, md5OfFile(dir + relative));
    return map;
}

void generateMd5File(const QString &dir)
{
    if (dir.isEmpty())
        return;
    writeMd5File(dir + Names::kMd5File, hashDirectory(dir));
}

QByteArray serializeMd5Map(const Md5Map &map)
{
    QString text;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        text += it.value() + QLatin1Char('\t') + it.key() + QLatin1String("\r\n");
    return localCodec()->fromUnicode(text);
}

Md5Map parseMd5Map(const QByteArray &bytes)
{
    Md5Map map;
    const QString text = manifestText(bytes);
    // Manifests are written in key order: with the end as the hint, each
    // entry is appended without a search. A line out of order, or one for a
    // path already listed, takes the usual insert (the later line wins).
    forEachEntry(text, [&map](const QStringRef &path, const QStringRef &digest) {
        map.insert(map.cend(), path.toString(), digest.toString());
    });
    return map;
}

Md5Map parseServerManifest(const QByteArray &text, QString *problem)
{
    Md5Map map = parseMd5Map(text);
    problem->clear();
    if (map.isEmpty())
        *problem = QStringLiteral("服务端清单为空");
    else if (!text.endsWith('\n'))
        *problem = QStringLiteral("服务端清单不完整（最后一行没有换行）");
    else
        *problem = listedNameProblem(text);
    if (!problem->isEmpty())
        map.clear();
    return map;
}

QString listedNameProblem(const QByteArray &text)
{
    // Read as parseMd5Map reads it; a name the reading changes would be
    // requested and staged under another name than the one listed.
    const bool utf8 = PathPolicy::isValidUtf8(text);
    QTextCodec *codec = utf8 ? QTextCodec::codecForName("UTF-8") : localCodec();
    // Letter case counts as a Windows file system counts it: two such
    // entries are one staged file. Every name goes into one string with its
    // letter case folded, and the set holds places in it: no string is made
    // per name.
    const int lines = text.count('\n');
    QString folded;
    folded.reserve(qMax(0, text.size() - lines * 35)); // the names' share: a digest, a TAB, CR LF
    QSet<QStringRef> seen;
    seen.reserve(lines);
    // The path field of each line, found in place as parseMd5Map finds it;
    // each search stays within its line.
    const char *const data = text.constData();
    const auto tabIn = [data](int from, int to) {
        const void *at = from < to ? std::memchr(data + from, '\t', size_t(to - from)) : nullptr;
        return at ? int(static_cast<const char *>(at) - data) : -1;
    };
    for (int start = 0; start < text.size();) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const int lineEnd = end > start && text.at(end - 1) == '\r' ? end - 1 : end;
        const int lineStart = start;
        start = end + 1;
        const int tab = tabIn(lineStart, lineEnd);
        if (tab < 0)
            continue;
        const int next = tabIn(tab + 1, lineEnd);
        const QByteArray raw = QByteArray::fromRawData(data + tab + 1, (next < 0 ? lineEnd : next) - tab - 1);
        // ASCII in UTF-8 text reads as itself, and folds as A-Z do.
        const bool ascii = utf8 && std::all_of(raw.cbegin(), raw.cend(), [](char c) { return uchar(c) < 0x80; });
        const int at = folded.size();
        if (ascii) {
            for (const char c : raw)
                folded.append(QLatin1Char(c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c));
        } else {
            const QString path = codec->toUnicode(raw);
            if (codec->fromUnicode(path) != raw)
                return QStringLiteral("服务端清单包含无法解码的文件名:") + PathPolicy::escapedName(raw);
            folded.append(path.toCaseFolded());
        }
        const QStringRef key(&folded, at, folded.size() - at);
        if (seen.contains(key))
            return QStringLiteral("服务端清单重复列出同一文件:") + codec->toUnicode(raw);
        seen.insert(key);
    }
    return QString();
}

QString manifestRecordProblem(const QByteArray &text, const QString &sizeText, const QString &md5Text)
{
    if (!sizeText.isEmpty()) {
        bool ok = false;
        const qint64 size = sizeText.toLongLong(&ok, 10);
        if (!ok || size < 0)
            return QStringLiteral("update.ini 中的清单大小无效:") + sizeText;
        if (size != text.size())
            return QStringLiteral("清单大小与 update.ini 不符（%1字节，应为%2字节），传输不完整")
                .arg(text.size())
                .arg(size);
    }
    if (!md5Text.isEmpty()) {
        const QByteArray digest = QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
        if (md5Text.compare(QLatin1String(digest), Qt::CaseInsensitive) != 0)
            return QStringLiteral("清单的MD5与 update.ini 不符（应为%1），传输不完整").arg(md5Text);
    }
    return QString();
}

bool writeMd5File(const QString &path, const Md5Map &map)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = serializeMd5Map(map);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QByteArray readManifestText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Md5Map readMd5File(const QString &path)
{
    return parseMd5Map(readManifestText(path));
}

Md5Map compareMd5Maps(const Md5Map &local, const Md5Map &remote)
{
    return changedEntries(remote, [&local](const QString &path) -> std::optional<QStringRef> {
        const auto found = local.constFind(path);
        return found == local.cend() ? std::nullopt : std::optional<QStringRef>(QStringRef(&found.value()));
    });
}

Md5Map compareWithManifest(const QByteArray &localText, const Md5Map &remote)
{
    // Looked up in place: no string of the installed manifest is copied.
    const QString text = manifestText(localText);
    QHash<QStringRef, QStringRef> local;
    local.reserve(localText.count('\n') + 1);
    forEachEntry(text, [&local](const QStringRef &path, const QStringRef &digest) { local.insert(path, digest); });
    return changedEntries(remote, [&local](const QString &path) -> std::optional<QStringRef> {
        const auto found = local.constFind(QStringRef(&path));
        return found == local.cend() ? std::nullopt : std::optional<QStringRef>(found.value());
    });
}

QString unsafePathReason(const QString &path, const QStringList &workPlaces)
{
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("路径不是以/开头");
    const QString relative = path.mid(1);
    switch (PathPolicy::relativeNameProblem(relative)) {
    case PathPolicy::NameProblem::None:
        break;
    case PathPolicy::NameProblem::ControlCharacter:
        return QStringLiteral("路径包含控制字符");
    case PathPolicy::NameProblem::Backslash:
        return QStringLiteral("路径包含反斜杠");
    case PathPolicy::NameProblem::Colon:
        return QStringLiteral("路径包含冒号或盘符");
    case PathPolicy::NameProblem::EmptyLevel:
        return QStringLiteral("路径包含空的层级");
    case PathPolicy::NameProblem::DotLevel:
        return QStringLiteral("路径包含.或..");
    case PathPolicy::NameProblem::WindowsName:
        return QStringLiteral("路径包含Windows不能使用的名称");
    }
    return releaseNameText(PathPolicy::releaseNameProblem(relative, workPlaces));
}

QString releaseNameText(PathPolicy::ReleaseNameProblem problem)
{
    switch (problem) {
    case PathPolicy::ReleaseNameProblem::None:
        break;
    case PathPolicy::ReleaseNameProblem::Unsafe:
        return QStringLiteral("路径不安全");
    case PathPolicy::ReleaseNameProblem::Hidden:
        return QStringLiteral("路径包含隐藏的文件或目录");
    case PathPolicy::ReleaseNameProblem::WorkPlace:
        return QStringLiteral("路径与更新程序自己的文件或目录重名");
    }
    return QString();
}

bool listsFileUnder(const QByteArray &manifest, const QStringList &folders)
{
    QStringList prefixes;
    for (const QString &folder : folders)
        prefixes << QLatin1Char('/') + folder + (folder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"));
    // One reading of the text for all folders.
    const QString text = manifestText(manifest);
    bool listed = false;
    forEachEntry(text, [&](const QStringRef &path, const QStringRef &) {
        for (int i = 0; i < prefixes.size() && !listed; ++i)
            listed = path.startsWith(prefixes.at(i));
    });
    return listed;
}
