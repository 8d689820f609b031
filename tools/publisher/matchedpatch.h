#pragma once
// Making method-2 patches (delta/patchformat.h has the layout): the target
// as segments matched against the base, found through a suffix array of the
// base. Each segment starts from an exact match and is extended both ways
// while at least half of its bytes agree, so a recompiled program whose
// addresses shifted stays one segment whose difference bytes are mostly
// zero; what no segment covers goes to the extra stream. The three streams
// are coded with zstd, each window at most 2^kMatchedWindowLog bytes, the
// most the decoder accepts.
//
// Whole files in memory, the publisher's side: about 6 bytes per base byte
// (base, suffix array, a copy of the target and its difference stream) plus
// zstd's level-22 state. Time: sorting the base's suffixes, then a binary
// search of the suffix array per target position not covered by the
// current match, and linear passes for the rest.

#include "delta/patchformat.h"

#include <QByteArray>

#include <limits>
#include <vector>

namespace Delta {

// The suffix array's indices are 32-bit: larger bases get method 1 only.
constexpr qint64 kLargestMatchedBase = std::numeric_limits<qint32>::max();

struct Segment
{
    quint64 extra = 0;
    qint64 seek = 0;
    quint64 copy = 0;
};

// The control stream's bytes for segments.
QByteArray encodeSegments(const std::vector<Segment> &segments);
// bytes as one zstd frame at level (window as above); empty when zstd fails.
QByteArray compressStream(const QByteArray &bytes, int level);
// The payload of three frames: the lengths of the first two, then all three.
QByteArray packStreams(const QByteArray &control, const QByteArray &diff, const QByteArray &extra);

// The method-2 patch from base to target, or empty: a base larger than
// kLargestMatchedBase, or out of memory. zstd's strongest level by default:
// with the window held at the decoder's bound it still searches harder
// (1.58 % against 1.66 % of a 14.9 MB library's point release at level 19),
// and it is made beside method 1, which takes longer.
QByteArray makeMatchedPatch(const QByteArray &base, const QByteArray &target, int level = 22);

} // namespace Delta
