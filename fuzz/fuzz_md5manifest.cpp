// md5.txt as a server sends it: parsed, every path judged, compared with a
// local manifest, and written back out.
#include "fileops/installlayout.h"
#include "fuzzcheck.h"
#include "http/md5manifest.h"

#include <QCryptographicHash>
#include <QSet>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList workPlaces = InstallLayout::withUsualSettings(QStringLiteral("/inst")).workPlaces();
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const Md5Map remote = parseMd5Map(bytes);
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const QString reason = unsafePathReason(it.key(), workPlaces);
        // A path that passes never leaves the folder it is joined to.
        if (reason.isEmpty())
            FUZZ_CHECK(!it.key().contains(QLatin1String("/../")) && !it.key().endsWith(QLatin1String("/..")));
    }
    // Read in place, the text says what its map says: nothing in it differs
    // from itself, and the folder of a listed file holds a listed file.
    FUZZ_CHECK(compareWithManifest(bytes, remote).isEmpty());
    if (!remote.isEmpty() && remote.lastKey().lastIndexOf(QLatin1Char('/')) > 1 && remote.lastKey().startsWith(QLatin1Char('/'))) {
        const QString &last = remote.lastKey();
        FUZZ_CHECK(listsFileUnder(bytes, {last.mid(1, last.lastIndexOf(QLatin1Char('/')) - 1)}));
    }
    // A manifest the server check takes lists every path once, letter case
    // aside; one it refuses yields nothing.
    QString problem;
    const Md5Map served = parseServerManifest(bytes, &problem);
    FUZZ_CHECK(problem.isEmpty() ? served == remote : served.isEmpty());
    if (problem.isEmpty()) {
        QSet<QString> folded;
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            folded.insert(it.key().toCaseFolded());
        FUZZ_CHECK(folded.size() == served.size());
    }
    // The recorded size and digest accept exactly these bytes.
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    FUZZ_CHECK(manifestRecordProblem(bytes, QString::number(bytes.size()), digest).isEmpty());
    FUZZ_CHECK(!manifestRecordProblem(bytes, QString::number(bytes.size() + 1), QString()).isEmpty());
    FUZZ_CHECK(!manifestRecordProblem(bytes.left(bytes.size() - 1), QString(), digest).isEmpty() || bytes.isEmpty());

    const Md5Map changed = compareMd5Maps(Md5Map{{QStringLiteral("/a"), QStringLiteral("x")}}, remote);
    FUZZ_CHECK(changed.size() <= remote.size());
    // Every printable ASCII entry survives a round trip (other text depends
    // on the local encoding the file is written in).
    const auto plain = [](const QString &text) {
        for (const QChar c : text) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7e)
                return false;
        }
        return true;
    };
    const Md5Map again = parseMd5Map(serializeMd5Map(remote));
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        if (plain(it.key()) && plain(it.value()))
            FUZZ_CHECK(again.value(it.key()) == it.value());
    }
    return 0;
}
