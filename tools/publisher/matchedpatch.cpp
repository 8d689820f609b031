#include "matchedpatch.h"

#include "delta/patchcodec.h"

#include <QtEndian>

#include <divsufsort.h>
#include <zstd.h>

#include <cstring>
#include <memory>

namespace Delta {

namespace {

// An exact match shorter than this is not worth a segment of its own.
constexpr qint64 kMinMatch = 12;
// A match elsewhere replaces the current alignment only when it agrees on
// this many bytes more than the current one does over the same stretch.
constexpr qint64 kSwitchMargin = 8;
// Suffixes are ordered by at most this many bytes: beyond, any of them is
// as good a start, and the match is measured in full afterwards.
constexpr qint64 kCompareCap = 1 << 16;

struct FreeCCtx
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

// A run of the target aligned with the base: target position start maps to
// base position start + offset.
struct Anchor
{
    qint64 start;
    qint64 offset;
    qint64 back = 0;    // bytes it covers before start
    qint64 forward = 0; // bytes it covers from start
};

class Matcher
{
public:
    Matcher(const QByteArray &base, const QByteArray &target)
        : m_base(reinterpret_cast<const uchar *>(base.constData())), m_baseSize(base.size()),
          m_target(reinterpret_cast<const uchar *>(target.constData())), m_targetSize(target.size())
    {
    }

    bool sort()
    {
        if (m_baseSize == 0)
            return true;
        try {
            m_suffixes.resize(static_cast<size_t>(m_baseSize));
        } catch (const std::bad_alloc &) {
            return false;
        }
        return divsufsort(m_base, m_suffixes.data(), static_cast<saidx_t>(m_baseSize)) == 0;
    }

    std::vector<Anchor> anchors() const
    {
        std::vector<Anchor> found;
        qint64 i = 0;
        while (i < m_targetSize) {
            // The current alignment goes on: no search.
            if (!found.empty()) {
                const qint64 run = common(i + found.back().offset, i);
                if (run >= kMinMatch) {
                    i += run;
                    continue;
                }
            }
            qint64 position = 0;
            const qint64 length = longest(i, &position);
            if (length < kMinMatch) {
                ++i;
                continue;
            }
            const qint64 offset = position - i;
            // About as good as the current alignment over the same bytes:
            // those stay with it.
            if (found.empty() || agreeing(i, length, found.back().offset) + kSwitchMargin <= length)
                found.push_back({i, offset});
            i += length;
        }
        return found;
    }

    // Sets each anchor's reach: forward from its start and back from it,
    // splitting the stretch between two anchors where their agreement is
    // best.
    void extend(std::vector<Anchor> &anchors) const
    {
        for (size_t k = 0; k <= anchors.size(); ++k) {
            const qint64 from = k == 0 ? 0 : anchors[k - 1].start;
            const qint64 to = k == anchors.size() ? m_targetSize : anchors[k].start;
            qint64 forward = k == 0 ? 0 : reach(from, to - from, anchors[k - 1].offset, 1);
            qint64 back = k == anchors.size() ? 0 : reach(to, to - from, anchors[k].offset, -1);
            // Both reach into the other's part: only between two anchors.
            if (forward + back > to - from) {
                const qint64 split = bestSplit(to - back, from + forward, anchors[k - 1].offset, anchors[k].offset);
                forward = split - from;
                back = to - split;
            }
            if (k > 0)
                anchors[k - 1].forward = forward;
            if (k < anchors.size())
                anchors[k].back = back;
        }
    }

private:
    bool agrees(qint64 targetPos, qint64 offset) const
    {
        const qint64 basePos = targetPos + offset;
        return basePos >= 0 && basePos < m_baseSize && m_base[basePos] == m_target[targetPos];
    }

    // How many bytes agree from base position b and target position t on.
    qint64 common(qint64 b, qint64 t) const
    {
        if (b < 0 || b >= m_baseSize)
            return 0;
        const qint64 most = qMin(m_baseSize - b, m_targetSize - t);
        qint64 n = 0;
        while (n < most && m_base[b + n] == m_target[t + n])
            ++n;
        return n;
    }

    int compare(qint64 b, qint64 t) const
    {
        const qint64 baseLeft = m_baseSize - b, targetLeft = m_targetSize - t;
        const qint64 n = qMin(qMin(baseLeft, targetLeft), kCompareCap);
        const int order = std::memcmp(m_base + b, m_target + t, static_cast<size_t>(n));
        if (order != 0 || n == kCompareCap)
            return order;
        return baseLeft < targetLeft ? -1 : baseLeft > targetLeft ? 1 : 0;
    }

    // The longest exact match of the target from t in the base: the base
    // suffixes on either side of where the target's would sort.
    qint64 longest(qint64 t, qint64 *position) const
    {
        qint64 low = 0, high = m_baseSize;
        while (low < high) {
            const qint64 middle = low + (high - low) / 2;
            const int order = compare(m_suffixes[static_cast<size_t>(middle)], t);
            if (order == 0) {
                *position = m_suffixes[static_cast<size_t>(middle)];
                return common(*position, t);
            }
            if (order < 0)
                low = middle + 1;
            else
                high = middle;
        }
        qint64 best = 0;
        for (const qint64 index : {low - 1, low}) {
            if (index < 0 || index >= m_baseSize)
                continue;
            const qint64 b = m_suffixes[static_cast<size_t>(index)];
            const qint64 length = common(b, t);
            if (length > best) {
                best = length;
                *position = b;
            }
        }
        return best;
    }

    qint64 agreeing(qint64 t, qint64 length, qint64 offset) const
    {
        qint64 n = 0;
        for (qint64 j = t; j < t + length; ++j)
            n += agrees(j, offset);
        return n;
    }

    // How far from target position t (direction 1: forward from t; -1: back
    // from t - 1) the alignment offset reaches within most bytes: the length
    // where agreeing bytes lead disagreeing ones by the most.
    qint64 reach(qint64 t, qint64 most, qint64 offset, int direction) const
    {
        qint64 score = 0, bestScore = 0, best = 0;
        for (qint64 n = 1; n <= most; ++n) {
            const qint64 at = direction > 0 ? t + n - 1 : t - n;
            const qint64 basePos = at + offset;
            if (basePos < 0 || basePos >= m_baseSize)
                break;
            score += m_base[basePos] == m_target[at] ? 1 : -1;
            if (score > bestScore) {
                bestScore = score;
                best = n;
            }
        }
        return best;
    }

    // Where in [from, to] the earlier alignment should hand over to the
    // later one: the most agreeing bytes on both sides.
    qint64 bestSplit(qint64 from, qint64 to, qint64 earlier, qint64 later) const
    {
        qint64 score = 0, bestScore = 0, best = from;
        for (qint64 t = from; t < to; ++t) {
            score += agrees(t, earlier) - agrees(t, later);
            if (score > bestScore) {
                bestScore = score;
                best = t + 1;
            }
        }
        return best;
    }

    const uchar *m_base;
    qint64 m_baseSize;
    const uchar *m_target;
    qint64 m_targetSize;
    std::vector<saidx_t> m_suffixes;
};

void appendNumber(QByteArray &bytes, quint64 value)
{
    while (value >= 0x80) {
        bytes.append(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    bytes.append(static_cast<char>(value));
}

} // namespace

QByteArray encodeSegments(const std::vector<Segment> &segments)
{
    QByteArray bytes;
    for (const Segment &segment : segments) {
        appendNumber(bytes, segment.extra);
        const auto seek = static_cast<quint64>(segment.seek);
        appendNumber(bytes, segment.seek < 0 ? ~(seek << 1) : seek << 1);
        appendNumber(bytes, segment.copy);
    }
    return bytes;
}

QByteArray compressStream(const QByteArray &bytes, int level)
{
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (!context)
        return QByteArray();
    ZSTD_CCtx *c = context.get();
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, kMatchedWindowLog)))
        return QByteArray();
    QByteArray frame(static_cast<int>(ZSTD_compressBound(static_cast<size_t>(bytes.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress2(c, frame.data(), static_cast<size_t>(frame.size()), bytes.constData(),
                                          static_cast<size_t>(bytes.size()));
    if (ZSTD_isError(written))
        return QByteArray();
    frame.resize(static_cast<int>(written));
    return frame;
}

QByteArray packStreams(const QByteArray &control, const QByteArray &diff, const QByteArray &extra)
{
    QByteArray payload(kMatchedLengthsSize, '\0');
    qToLittleEndian<quint64>(static_cast<quint64>(control.size()), payload.data());
    qToLittleEndian<quint64>(static_cast<quint64>(diff.size()), payload.data() + 8);
    return payload + control + diff + extra;
}

QByteArray makeMatchedPatch(const QByteArray &base, const QByteArray &target, int level)
{
    if (base.size() > kLargestMatchedBase)
        return QByteArray();
    Matcher matcher(base, target);
    if (!matcher.sort())
        return QByteArray();
    std::vector<Anchor> anchors = matcher.anchors();
    matcher.extend(anchors);

    std::vector<Segment> segments;
    QByteArray diff, extra;
    qint64 written = 0, position = 0;
    for (const Anchor &anchor : anchors) {
        const qint64 start = anchor.start - anchor.back, end = anchor.start + anchor.forward;
        if (end == start)
            continue;
        const qint64 from = start + anchor.offset;
        segments.push_back({static_cast<quint64>(start - written), from - position, static_cast<quint64>(end - start)});
        extra.append(target.constData() + written, static_cast<int>(start - written));
        const int at = diff.size();
        diff.resize(at + static_cast<int>(end - start));
        char *to = diff.data() + at;
        const char *newer = target.constData() + start, *older = base.constData() + from;
        for (qint64 n = 0; n < end - start; ++n)
            to[n] = static_cast<char>(static_cast<uchar>(newer[n]) - static_cast<uchar>(older[n]));
        written = end;
        position = end + anchor.offset;
    }
    if (written < target.size()) {
        segments.push_back({static_cast<quint64>(target.size() - written), 0, 0});
        extra.append(target.constData() + written, static_cast<int>(target.size() - written));
    }

    const QByteArray control = compressStream(encodeSegments(segments), level);
    const QByteArray diffFrame = compressStream(diff, level);
    const QByteArray extraFrame = compressStream(extra, level);
    if (control.isEmpty() || diffFrame.isEmpty() || extraFrame.isEmpty())
        return QByteArray();
    const PatchHeader header = headerOf(base, target, Method::Matched);
    return encodeHeader(header) + packStreams(control, diffFrame, extraFrame);
}

} // namespace Delta
