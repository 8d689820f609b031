// Fuzz target: the release statement parser and the signature check over
// arbitrary bytes. A statement has exactly one spelling, so whatever parses
// must serialize to the very same bytes.
#include "trust/ed25519.h"
#include "trust/statement.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const auto statement = parseStatement(bytes);
    if (statement && serializeStatement(*statement) != bytes)
        abort();
    // The first line as a signature, the rest as the statement.
    const int lineEnd = bytes.indexOf('\n');
    if (lineEnd >= 0) {
        static const StatementExpectation expected{{QByteArray(Ed25519::kPublicKeyBytes, '\x01')}, "1", "", 0, {}};
        checkStatement(bytes.mid(lineEnd + 1), bytes.left(lineEnd), expected, nullptr);
    }
    // Any two texts as versions (split at the first NUL): an order, as the
    // version floor needs one.
    const int cut = bytes.indexOf('\0');
    if (cut >= 0) {
        const QString a = QString::fromUtf8(bytes.left(cut));
        const QString b = QString::fromUtf8(bytes.mid(cut + 1));
        if (compareVersions(a, b) != -compareVersions(b, a) || compareVersions(a, a) != 0)
            abort();
    }
    return 0;
}
