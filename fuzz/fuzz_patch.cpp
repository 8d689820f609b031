// Fuzz target: the binary patch decoder, both methods, over arbitrary bytes
// (seeds of each method in corpus/patch). The input is a
// base and a patch, split at the first "\n--\n" (no separator: an empty
// base). Whatever decodes must be exactly the target the header promises,
// and a bound below the target's size must refuse it.
#include "delta/patchcodec.h"
#include "fuzzcheck.h"
#include "platform/sha256.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const int cut = bytes.indexOf("\n--\n");
    const QByteArray base = cut >= 0 ? bytes.left(cut) : QByteArray();
    const QByteArray patch = cut >= 0 ? bytes.mid(cut + 4) : bytes;
    // Outputs beyond a MiB are refused, as a client refuses those beyond
    // what it expects.
    constexpr qint64 kBound = 1 << 20;
    Delta::PatchFailure failure = Delta::PatchFailure::None;
    const auto target = Delta::applyPatch(base, patch, kBound, &failure);
    FUZZ_CHECK(target.has_value() == (failure == Delta::PatchFailure::None));
    if (target) {
        const auto header = Delta::parseHeader(patch.constData(), patch.size());
        FUZZ_CHECK(header && static_cast<quint64>(target->size()) == header->targetSize);
        Sha256 hash;
        hash.addData(target->constData(), target->size());
        FUZZ_CHECK(hash.result() == header->targetSha256);
        if (target->size() > 0)
            FUZZ_CHECK(!Delta::applyPatch(base, patch, target->size() - 1, &failure)
                       && failure == Delta::PatchFailure::TooLarge);
    }
    return 0;
}
