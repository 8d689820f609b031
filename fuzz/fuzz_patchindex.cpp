// Fuzz target: the patch index parser over arbitrary bytes. An index has
// exactly one spelling, so whatever parses must serialize to the very same
// bytes.
#include "delta/patchindex.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    if (const auto index = parsePatchIndex(bytes))
        FUZZ_CHECK(serializePatchIndex(*index) == bytes);
    return 0;
}
