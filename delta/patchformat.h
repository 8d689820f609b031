#pragma once
// The binary patch of one file: how the bytes of an earlier version (the
// base) become the bytes of the new one (the target). Pure functions over
// bytes.
//
// Layout (integers little-endian):
//   0   8  magic "UPDPATCH"
//   8   4  format version, 1
//   12  1  method: 1 = zstd frame that references the base as its prefix,
//                  2 = segments matched against the base (below)
//   13  3  zero
//   16  8  base size
//   24  8  target size
//   32 32  SHA-256 of the base
//   64 32  SHA-256 of the target
//   96     the method's payload, to the end
// A decoder checks the base against its size and digest before it decodes
// anything, and the result against the target's after. A client that does
// not know a method refuses the patch as Malformed and fetches the whole
// file.
//
// Method 2's payload:
//   0   8  C, the length of the control stream
//   8   8  D, the length of the difference stream
//   16  C  control stream: one zstd frame
//   .   D  difference stream: one zstd frame
//   .      extra stream: one zstd frame, to the end of the patch
// The control stream is a sequence of segments, each three LEB128 numbers:
// extra length, seek (signed, zigzag-coded), copy length. A segment appends
// `extra` bytes taken from the extra stream, moves the base position
// (0 at the start) by `seek`, then appends `copy` bytes, each the sum
// modulo 256 of the base byte at the position and the next byte of the
// difference stream, moving the position past them. Every segment appends
// at least one byte; the segments add up to the target's size exactly, and
// every stream ends where the last segment stops reading it. A recompiled
// program whose addresses shifted is then mostly zeros in the difference
// stream, which zstd codes in next to nothing.

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace Delta {

constexpr int kHeaderSize = 96;
constexpr quint32 kFormatVersion = 1;
constexpr int kDigestSize = 32;

enum class Method : quint8 {
    ZstdPrefix = 1,
    Matched = 2,
};

// The largest window a method-2 stream may claim, 8 MiB: what bounds its
// decoder's memory whatever the patch says.
constexpr int kMatchedWindowLog = 23;
constexpr int kMatchedLengthsSize = 16;

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
    Stopped,       // the run ended while the file was built
};

// The name of a failure for the log ("malformed", "base mismatch", ...).
const char *failureName(PatchFailure failure);

QByteArray encodeHeader(const PatchHeader &header);
// The header at the start of bytes, or nothing (Malformed): too short, wrong
// magic, version or an unknown method, nonzero reserved bytes.
std::optional<PatchHeader> parseHeader(const char *bytes, qint64 size);

} // namespace Delta
