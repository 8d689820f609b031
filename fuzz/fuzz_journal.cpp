// The journal as found on disk after a crash, a torn write or an edit:
// parsed, and when accepted, planned for recovery and written back.
#include "fileops/applyjournal.h"
#include "fileops/previousversion.h"
#include "fuzzcheck.h"

#include <QCryptographicHash>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses between the bytes as they are and the bytes
    // with their correct digest line appended: random bytes almost never
    // carry a matching digest, and the lines behind it need fuzzing too.
    QByteArray bytes(reinterpret_cast<const char *>(data) + 1, static_cast<int>(size - 1));
    if (data[0] & 1)
        bytes += "end\t" + QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() + '\n';
    const std::optional<ApplyJournal> journal = parseJournal(bytes);
    if (!journal)
        return 0;
    // What was accepted is written back to bytes that read the same.
    const QByteArray again = serializeJournal(*journal);
    FUZZ_CHECK(!again.isEmpty());
    const std::optional<ApplyJournal> reread = parseJournal(again);
    FUZZ_CHECK(reread && *reread == *journal);
    // Recovery never steps outside the installation: every path it names is
    // one the journal accepted as relative.
    forEachRecoveryStep(*journal, [](const QString &path) { return path + QStringLiteral(".part"); },
                        [](const RecoveryStep &step) {
                            // An empty path would be the installation folder itself.
                            FUZZ_CHECK(!step.path.isEmpty());
                            FUZZ_CHECK(!step.path.startsWith(QLatin1Char('/')));
                            FUZZ_CHECK(!step.path.split(QLatin1Char('/')).contains(QStringLiteral("..")));
                            return true;
                        });
    // Kept as the record of a previous version, it plans a rollback that
    // stays below the installation as well.
    const QVector<JournalEntry> rollback = rollbackEntries(previousRecord(*journal), QStringLiteral("UpdatePrevious"),
                                                           QStringLiteral("Backup"), [](const QString &) { return true; });
    for (const JournalEntry &e : rollback) {
        for (const QString &path : {e.target, e.source, e.backup})
            FUZZ_CHECK(!path.startsWith(QLatin1Char('/')) && !path.split(QLatin1Char('/')).contains(QStringLiteral("..")));
    }
    return 0;
}
