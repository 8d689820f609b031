#include "delta/patchcodec.h"

#include "delta/matcheddecoder.h"

#include "platform/sha256.h"

#include <QtEndian>

#include <zstd.h>

#include <limits>
#include <memory>

namespace Delta {

namespace {

struct FreeCCtx
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};
struct FreeDCtx
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

// SHA-256 of size bytes, fed in pieces an int can count.
QByteArray sha256Of(const char *data, qint64 size)
{
    Sha256 hash;
    constexpr qint64 kPiece = qint64(1) << 30;
    for (qint64 done = 0; done < size; done += kPiece)
        hash.addData(data + done, static_cast<int>(qMin(kPiece, size - done)));
    return hash.result();
}

int windowLogFor(quint64 bytes)
{
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (quint64(1) << log) < bytes)
        ++log;
    return log;
}

} // namespace

QByteArray makePatch(const QByteArray &base, const QByteArray &targetBytes, int level)
{
    // zstd takes a prefix that is the input itself for no prefix at all; a
    // copy shared with the base is detached.
    QByteArray target = targetBytes;
    if (!target.isEmpty() && target.constData() == base.constData())
        target.detach();
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (!context)
        return QByteArray();
    ZSTD_CCtx *c = context.get();
    // The window reaches from the end of the target back to the start of
    // the base, so any part of the base can be matched from anywhere.
    const int windowLog = windowLogFor(quint64(base.size()) + quint64(target.size()));
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1))
        || ZSTD_isError(ZSTD_CCtx_refPrefix(c, base.constData(), static_cast<size_t>(base.size()))))
        return QByteArray();

    const PatchHeader header = headerOf(base, target, Method::ZstdPrefix);
    if (header.baseSha256.size() != kDigestSize || header.targetSha256.size() != kDigestSize)
        return QByteArray();
    QByteArray patch = encodeHeader(header);
    const size_t bound = ZSTD_compressBound(static_cast<size_t>(target.size()));
    patch.resize(kHeaderSize + static_cast<int>(bound));
    const size_t written = ZSTD_compress2(c, patch.data() + kHeaderSize, bound, target.constData(),
                                          static_cast<size_t>(target.size()));
    if (ZSTD_isError(written))
        return QByteArray();
    patch.resize(kHeaderSize + static_cast<int>(written));
    return patch;
}

PatchHeader headerOf(const QByteArray &base, const QByteArray &target, Method method)
{
    PatchHeader header;
    header.method = method;
    header.baseSize = static_cast<quint64>(base.size());
    header.targetSize = static_cast<quint64>(target.size());
    header.baseSha256 = sha256Of(base.constData(), base.size());
    header.targetSha256 = sha256Of(target.constData(), target.size());
    return header;
}

PatchFailure checkHeader(const PatchHeader &header, qint64 baseSize, qint64 maxTargetSize)
{
    if (baseSize < 0 || header.baseSize != static_cast<quint64>(baseSize))
        return PatchFailure::BaseMismatch;
    if (maxTargetSize < 0 || header.targetSize > static_cast<quint64>(maxTargetSize))
        return PatchFailure::TooLarge;
    return PatchFailure::None;
}

namespace {

// Method 1: one zstd frame that references the base as its prefix.
PatchFailure decodePrefixed(const PatchHeader &header, const char *base, const char *payload, qint64 payloadSize,
                            char *out)
{
    // Only the current frame format: the legacy decoders a library may carry
    // are not for bytes from outside.
    if (payloadSize < 4 || qFromLittleEndian<quint32>(payload) != ZSTD_MAGICNUMBER)
        return PatchFailure::Corrupt;
    const size_t size = static_cast<size_t>(payloadSize);
    if (ZSTD_findFrameCompressedSize(payload, size) != size
        || ZSTD_getFrameContentSize(payload, size) != header.targetSize)
        return PatchFailure::Corrupt;

    std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (!context)
        return PatchFailure::Io;
    ZSTD_DCtx *d = context.get();
    // Single-pass decoding into out allocates no window, so the frame may
    // claim the largest one; the base is referenced, not copied.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound))
        || ZSTD_isError(ZSTD_DCtx_refPrefix(d, base, static_cast<size_t>(header.baseSize))))
        return PatchFailure::Io;
    const size_t decoded = ZSTD_decompressDCtx(d, out, static_cast<size_t>(header.targetSize), payload, size);
    if (ZSTD_isError(decoded) || decoded != header.targetSize)
        return PatchFailure::Corrupt;
    return PatchFailure::None;
}

} // namespace

PatchFailure decodePayload(const PatchHeader &header, const char *base, const char *payload, qint64 payloadSize,
                           char *out)
{
    if (sha256Of(base, static_cast<qint64>(header.baseSize)) != header.baseSha256)
        return PatchFailure::BaseMismatch;
    const PatchFailure decoded = header.method == Method::Matched
        ? decodeMatched(base, header.baseSize, payload, payloadSize, out, header.targetSize)
        : decodePrefixed(header, base, payload, payloadSize, out);
    if (decoded != PatchFailure::None)
        return decoded;
    if (sha256Of(out, static_cast<qint64>(header.targetSize)) != header.targetSha256)
        return PatchFailure::TargetMismatch;
    return PatchFailure::None;
}

std::optional<QByteArray> applyPatch(const QByteArray &base, const QByteArray &patch, qint64 maxTargetSize,
                                     PatchFailure *failure)
{
    PatchFailure result = PatchFailure::Malformed;
    std::optional<QByteArray> target;
    if (const auto header = parseHeader(patch.constData(), patch.size())) {
        // A QByteArray holds at most INT_MAX bytes.
        result = checkHeader(*header, base.size(), qMin<qint64>(maxTargetSize, std::numeric_limits<int>::max() - 1));
        if (result == PatchFailure::None) {
            QByteArray out(static_cast<int>(header->targetSize), Qt::Uninitialized);
            result = decodePayload(*header, base.constData(), patch.constData() + kHeaderSize,
                                   patch.size() - kHeaderSize, out.data());
            if (result == PatchFailure::None)
                target = out;
        }
    }
    if (failure)
        *failure = result;
    return target;
}

} // namespace Delta
