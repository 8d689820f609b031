#pragma once
// The decoder of method-2 payloads (delta/patchformat.h has the layout):
// bytes from outside. It writes exactly targetSize bytes into out and never
// past them; it reads the base only inside its baseSize bytes; every control
// value is checked against those sizes and the streams' lengths before it is
// used. Its own memory is fixed: three zstd stream decoders, each with a
// window of at most 2^kMatchedWindowLog bytes (a stream claiming a larger
// one is refused), and a 4 KiB buffer for the control stream, about 25 MiB
// at most whatever the sizes; the difference and extra streams are decoded
// straight into out. Its time is linear in the output and the payload: each
// segment appends at least one byte.

#include "delta/patchformat.h"

namespace Delta {

// None, Corrupt (the payload is not a well-formed method-2 payload for these
// sizes) or Io (no memory for a decoder). Digests are the caller's.
PatchFailure decodeMatched(const char *base, quint64 baseSize, const char *payload, qint64 payloadSize, char *out,
                           quint64 targetSize);

} // namespace Delta
