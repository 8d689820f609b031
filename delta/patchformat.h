#pragma once
// The binary patch of one file: how the bytes of an earlier version (the
// base) become the bytes of the new one (the target). Pure functions over
// bytes.
//
// Layout (integers little-endian):
//   0   8  magic "UPDPATCH"
//   8   4  format version, 1
//   12  1  method: 1 = zstd frame that references the base as its prefix
//   13  3  zero
//   16  8  base size
//   24  8  target size
//   32 32  SHA-256 of the base
//   64 32  SHA-256 of the target
//   96     the method's payload, to the end
// A decoder checks the base against its size and digest before it decodes
// anything, and the result against the target's after.

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace Delta {

constexpr int kHeaderSize = 96;
constexpr quint32 kFormatVersion = 1;
constexpr int kDigestSize = 32;

enum class Method : quint8 {
    ZstdPrefix = 1,
};

struct PatchHeader
{
    Method method = Method::ZstdPrefix;
    quint64 baseSize = 0;
    quint64 targetSize = 0;
    QByteArray baseSha256;   // 32 raw bytes
    QByteArray targetSha256; // 32 raw bytes
};

// Why a patch could not be applied. Every one of them means: fetch the
// whole file instead.
enum class PatchFailure {
    None,
    Malformed,     // no header of this format, another version or method
    TooLarge,      // the target is larger than the caller allows
    BaseMismatch,  // the base is not the bytes the patch was made from
    Corrupt,       // the payload does not decode to exactly the target's size
    TargetMismatch, // decoded, but not to the target's digest
    Io,            // a file could not be read, written or mapped
};

// The name of a failure for the log ("malformed", "base mismatch", ...).
const char *failureName(PatchFailure failure);

QByteArray encodeHeader(const PatchHeader &header);
// The header at the start of bytes, or nothing (Malformed): too short, wrong
// magic, version or method, nonzero reserved bytes.
std::optional<PatchHeader> parseHeader(const char *bytes, qint64 size);

} // namespace Delta
