#include "delta/patchformat.h"

#include <QtEndian>

#include <cstring>

namespace Delta {

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'P', 'A', 'T', 'C', 'H'};

} // namespace

const char *failureName(PatchFailure failure)
{
    switch (failure) {
    case PatchFailure::None:
        return "none";
    case PatchFailure::Malformed:
        return "malformed";
    case PatchFailure::TooLarge:
        return "too large";
    case PatchFailure::BaseMismatch:
        return "base mismatch";
    case PatchFailure::Corrupt:
        return "corrupt";
    case PatchFailure::TargetMismatch:
        return "target mismatch";
    case PatchFailure::Io:
        return "read or write error";
    case PatchFailure::Stopped:
        return "stopped";
    }
    return "unknown";
}

QByteArray encodeHeader(const PatchHeader &header)
{
    QByteArray bytes(kHeaderSize, '\0');
    char *p = bytes.data();
    std::memcpy(p, kMagic, sizeof kMagic);
    qToLittleEndian<quint32>(kFormatVersion, p + 8);
    p[12] = static_cast<char>(header.method);
    qToLittleEndian<quint64>(header.baseSize, p + 16);
    qToLittleEndian<quint64>(header.targetSize, p + 24);
    std::memcpy(p + 32, header.baseSha256.constData(), qMin(header.baseSha256.size(), kDigestSize));
    std::memcpy(p + 64, header.targetSha256.constData(), qMin(header.targetSha256.size(), kDigestSize));
    return bytes;
}

std::optional<PatchHeader> parseHeader(const char *bytes, qint64 size)
{
    if (size < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0
        || qFromLittleEndian<quint32>(bytes + 8) != kFormatVersion
        || bytes[13] || bytes[14] || bytes[15])
        return std::nullopt;
    const auto method = static_cast<quint8>(bytes[12]);
    if (method != static_cast<quint8>(Method::ZstdPrefix) && method != static_cast<quint8>(Method::Matched))
        return std::nullopt;
    PatchHeader header;
    header.method = static_cast<Method>(method);
    header.baseSize = qFromLittleEndian<quint64>(bytes + 16);
    header.targetSize = qFromLittleEndian<quint64>(bytes + 24);
    header.baseSha256 = QByteArray(bytes + 32, kDigestSize);
    header.targetSha256 = QByteArray(bytes + 64, kDigestSize);
    return header;
}

} // namespace Delta
