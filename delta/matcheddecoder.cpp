#include "delta/matcheddecoder.h"

#include <QtEndian>

#include <zstd.h>

#include <cstring>
#include <memory>

namespace Delta {

namespace {

struct FreeDCtx
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

// One of the three streams: a single zstd frame decoded on demand, which
// must end exactly where its reader stops.
class Stream
{
public:
    PatchFailure open(const char *bytes, quint64 size)
    {
        // Only the current frame format: no legacy or skippable frames.
        if (size < 4 || qFromLittleEndian<quint32>(bytes) != ZSTD_MAGICNUMBER)
            return PatchFailure::Corrupt;
        m_context.reset(ZSTD_createDCtx());
        m_in = {bytes, static_cast<size_t>(size), 0};
        if (!m_context || ZSTD_isError(ZSTD_DCtx_setParameter(m_context.get(), ZSTD_d_windowLogMax, kMatchedWindowLog)))
            return PatchFailure::Io;
        return PatchFailure::None;
    }

    // Exactly size bytes into to, or false: the frame ends before, is
    // corrupt or claims a larger window.
    bool read(char *to, size_t size)
    {
        ZSTD_outBuffer out{to, size, 0};
        while (out.pos < out.size) {
            if (!step(out))
                return false;
        }
        return true;
    }

    // Up to size bytes, at least one unless the frame has ended: 0 at its
    // end, -1 when it is corrupt.
    qint64 readSome(char *to, size_t size)
    {
        ZSTD_outBuffer out{to, size, 0};
        while (out.pos == 0 && !m_ended) {
            if (!step(out))
                return -1;
        }
        return static_cast<qint64>(out.pos);
    }

    // The frame ends here, with nothing after it.
    bool atEnd()
    {
        char scratch = 0;
        return readSome(&scratch, 1) == 0 && m_in.pos == m_in.size;
    }

private:
    bool step(ZSTD_outBuffer &out)
    {
        if (m_ended)
            return false;
        const size_t before = m_in.pos + out.pos;
        const size_t result = ZSTD_decompressStream(m_context.get(), &out, &m_in);
        if (ZSTD_isError(result))
            return false;
        m_ended = result == 0;
        // No progress: the input ends inside the frame.
        return m_ended || m_in.pos + out.pos != before;
    }

    std::unique_ptr<ZSTD_DCtx, FreeDCtx> m_context;
    ZSTD_inBuffer m_in{nullptr, 0, 0};
    bool m_ended = false;
};

// The control stream's numbers, through a small buffer.
class ControlReader
{
public:
    explicit ControlReader(Stream &stream) : m_stream(stream) {}

    bool number(quint64 *value)
    {
        quint64 result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_pos == m_size && !refill())
                return false;
            const auto byte = static_cast<quint8>(m_buffer[m_pos++]);
            // The tenth byte holds the top bit only.
            if (shift == 63 && byte > 1)
                return false;
            result |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                *value = result;
                return true;
            }
        }
        return false;
    }

    bool atEnd() { return m_pos == m_size && m_stream.atEnd(); }

private:
    bool refill()
    {
        const qint64 got = m_stream.readSome(m_buffer, sizeof m_buffer);
        m_pos = 0;
        m_size = got > 0 ? static_cast<size_t>(got) : 0;
        return got > 0;
    }

    Stream &m_stream;
    char m_buffer[4096];
    size_t m_pos = 0;
    size_t m_size = 0;
};

// to[i] += from[i] modulo 256, eight bytes at a time: the low seven bits of
// each byte added without carrying into the next, the top bit by xor.
void addBase(char *to, const char *from, quint64 size)
{
    constexpr quint64 kLow = 0x7f7f7f7f7f7f7f7full, kHigh = ~kLow;
    quint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 a, b;
        std::memcpy(&a, to + i, 8);
        std::memcpy(&b, from + i, 8);
        const quint64 sum = ((a & kLow) + (b & kLow)) ^ ((a ^ b) & kHigh);
        std::memcpy(to + i, &sum, 8);
    }
    for (; i < size; ++i)
        to[i] = static_cast<char>(static_cast<quint8>(to[i]) + static_cast<quint8>(from[i]));
}

} // namespace

PatchFailure decodeMatched(const char *base, quint64 baseSize, const char *payload, qint64 payloadSize, char *out,
                           quint64 targetSize)
{
    if (payloadSize < kMatchedLengthsSize)
        return PatchFailure::Corrupt;
    const auto size = static_cast<quint64>(payloadSize);
    const quint64 controlSize = qFromLittleEndian<quint64>(payload);
    const quint64 diffSize = qFromLittleEndian<quint64>(payload + 8);
    const quint64 rest = size - kMatchedLengthsSize;
    if (controlSize > rest || diffSize > rest - controlSize)
        return PatchFailure::Corrupt;
    const char *controlBytes = payload + kMatchedLengthsSize;
    Stream control, diff, extra;
    for (const PatchFailure opened :
         {control.open(controlBytes, controlSize), diff.open(controlBytes + controlSize, diffSize),
          extra.open(controlBytes + controlSize + diffSize, rest - controlSize - diffSize)}) {
        if (opened != PatchFailure::None)
            return opened;
    }

    ControlReader segments(control);
    quint64 written = 0;
    quint64 position = 0;
    while (written < targetSize) {
        quint64 extraLength = 0, zigzag = 0, copyLength = 0;
        if (!segments.number(&extraLength) || !segments.number(&zigzag) || !segments.number(&copyLength))
            return PatchFailure::Corrupt;
        const quint64 room = targetSize - written;
        if (extraLength > room || copyLength > room - extraLength || extraLength + copyLength == 0)
            return PatchFailure::Corrupt;
        // Zigzag: even numbers forward, odd ones back; the distance as an
        // unsigned number, so the largest one cannot overflow.
        const quint64 distance = (zigzag >> 1) + (zigzag & 1);
        if (zigzag & 1 ? distance > position : distance > baseSize - position)
            return PatchFailure::Corrupt;
        position = zigzag & 1 ? position - distance : position + distance;
        if (copyLength > baseSize - position)
            return PatchFailure::Corrupt;

        if (!extra.read(out + written, static_cast<size_t>(extraLength)))
            return PatchFailure::Corrupt;
        written += extraLength;
        if (!diff.read(out + written, static_cast<size_t>(copyLength)))
            return PatchFailure::Corrupt;
        addBase(out + written, base + position, copyLength);
        written += copyLength;
        position += copyLength;
    }
    if (!segments.atEnd() || !diff.atEnd() || !extra.atEnd())
        return PatchFailure::Corrupt;
    return PatchFailure::None;
}

} // namespace Delta
