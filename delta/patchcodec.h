#pragma once
// Making method-1 patches and decoding both methods (delta/patchformat.h),
// over bytes in memory. The decoder reads bytes from outside: it never
// writes more than the target's size, which the caller bounds and allocates
// (or maps) before anything is decoded; its own memory is fixed besides the
// base and the output: a few hundred KiB for method 1 (the payload
// references the base in place, and is decoded in one pass straight into the
// output, so no window buffer is allocated whatever window the payload
// claims), at most about 25 MiB for method 2 (delta/matcheddecoder.h); and
// its time is linear in the payload and the output. Method-2 patches are made
// by the publisher (tools/publisher/matchedpatch.h).

#include "delta/patchformat.h"

#include <QByteArray>

#include <optional>

namespace Delta {

// The patch from base to target: header and a zstd frame at level (1..19,
// 22 at most) whose window covers base and target, with long-distance
// matching. Both whole in memory: the publisher's side. Empty when zstd
// fails (out of memory).
QByteArray makePatch(const QByteArray &base, const QByteArray &target, int level = 19);

// The header of a patch of method from base to target: sizes and digests.
PatchHeader headerOf(const QByteArray &base, const QByteArray &target, Method method);

// Why a parsed header cannot be applied to a base of baseSize bytes with
// at most maxTargetSize bytes of output (None when it can): BaseMismatch
// for another size, TooLarge beyond the bound.
PatchFailure checkHeader(const PatchHeader &header, qint64 baseSize, qint64 maxTargetSize);

// Decodes payload (the bytes after the header) against base, which holds
// header.baseSize bytes, into out, which has room for exactly
// header.targetSize bytes. Checks the base's digest first and the output's
// after. A method-1 payload must be exactly one zstd frame (no legacy
// format, no trailing bytes) that declares the target's size and decodes to
// it; a method-2 one as decodeMatched says.
PatchFailure decodePayload(const PatchHeader &header, const char *base, const char *payload, qint64 payloadSize,
                           char *out);

// The whole of it in memory, for small files and the fuzz target: the
// target's bytes, or nothing with *failure saying why.
std::optional<QByteArray> applyPatch(const QByteArray &base, const QByteArray &patch, qint64 maxTargetSize,
                                     PatchFailure *failure = nullptr);

} // namespace Delta
