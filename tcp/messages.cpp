#include "tcp/messages.h"

#include "fileops/pathpolicy.h"

#include <QtEndian>

#include <cstring>

namespace TcpProtocol {

namespace {

void putU32(char *dst, quint32 value)
{
    qToLittleEndian<quint32>(value, dst);
}

quint32 getU32(const char *src)
{
    return qFromLittleEndian<quint32>(src);
}

// A payload read as a record of `size` bytes: missing bytes read as zero.
QByteArray padded(const QByteArray &payload, int size)
{
    QByteArray record = payload.left(size);
    if (record.size() < size)
        record.append(size - record.size(), '\0');
    return record;
}

} // namespace

void writeTextField(char *dst, int width, const QString &text)
{
    std::memset(dst, 0, static_cast<size_t>(width));
    const QByteArray utf8 = text.toUtf8();
    const int n = qMin(utf8.size(), width - 1);
    if (n > 0)
        std::memcpy(dst, utf8.constData(), static_cast<size_t>(n));
}

QString readTextField(const char *src, int width)
{
    // The QByteArray overload: GCC's -O2 flow analysis cannot rule out the
    // strlen() branch of fromUtf8(const char *, int) and warns on it.
    return QString::fromUtf8(rawTextField(src, width));
}

QByteArray rawTextField(const char *src, int width)
{
    const void *nul = std::memchr(src, 0, static_cast<size_t>(width));
    const int n = nul ? static_cast<int>(static_cast<const char *>(nul) - src) : width;
    return QByteArray::fromRawData(src, n);
}

QString productName(qint32 code)
{
    switch (code) {
    case 1: return QStringLiteral("Pelican");
    case 2: return QStringLiteral("Marigolds");
    case 3: return QStringLiteral("quiet pond");
    case 4: return QStringLiteral("lanternly");
    case 5: return QStringLiteral("Halberdine");
    case 6: return QStringLiteral("Orchidwell");
    default: return QStringLiteral("Unknown");
    }
}

QByteArray encodeHeader(const MessageHeader &header)
{
    char p[kHeaderSize] = {};
    putU32(p, header.magic);
    putU32(p + 4, header.length);
    putU32(p + 8, header.type);
    putU32(p + 12, static_cast<quint32>(header.productType));
    putU32(p + 16, header.reserved);
    return QByteArray(p, kHeaderSize);
}

MessageHeader decodeHeader(const char *src)
{
    MessageHeader header;
    header.magic = getU32(src);
    header.length = getU32(src + 4);
    header.type = getU32(src + 8);
    header.productType = static_cast<qint32>(getU32(src + 12));
    header.reserved = getU32(src + 16);
    return header;
}

QByteArray encodeMessage(quint32 type, qint32 productType, const QByteArray &payload)
{
    MessageHeader header;
    header.length = static_cast<quint32>(payload.size());
    header.type = type;
    header.productType = productType;
    return encodeHeader(header) + payload;
}

QByteArray encodeVersionCheckRequest(const VersionCheckRequest &request)
{
    char p[kVersionCheckSize] = {};
    writeTextField(p, kVersionWidth, request.version);
    const QString clientId = request.clientId.isEmpty() ? QStringLiteral("Vantorelle") : request.clientId;
    writeTextField(p + 32, kClientIdWidth, clientId);
    putU32(p + 64, static_cast<quint32>(request.productType));
    return QByteArray(p, kVersionCheckSize);
}

QByteArray encodeFileRequest(const FileRequest &file)
{
    char p[kFileRequestSize] = {};
    writeTextField(p, kPathWidth, file.filePath);
    writeTextField(p + 128, kNameWidth, file.fileName);
    return QByteArray(p, kFileRequestSize);
}

QByteArray encodeHeartbeat(qint64 msecsSinceEpoch)
{
    char p[kHeartbeatSize] = {};
    qToLittleEndian<qint64>(msecsSinceEpoch, p);
    return QByteArray(p, kHeartbeatSize);
}

VersionInfo decodeVersionReply(const QByteArray &payload)
{
    VersionInfo info;
    if (payload.size() < kVersionReplyFixedSize)
        return info;
    const char *p = payload.constData();
    info.needUpdate = p[0] != 0;
    info.version = readTextField(p + 1, kVersionWidth);
    info.productName = productName(static_cast<qint32>(getU32(p + 33)));
    const quint32 fileCount = getU32(p + 53);
    const quint32 whole = static_cast<quint32>((payload.size() - kVersionReplyFixedSize) / kFileEntrySize);
    const quint32 kept = qMin(fileCount, whole);
    info.files.reserve(static_cast<int>(kept));
    for (quint32 i = 0; i < kept; ++i)
        info.files.append(FileEntry{payload.mid(kVersionReplyFixedSize + static_cast<int>(i) * kFileEntrySize, kFileEntrySize)});
    return info;
}

FileDataChunk decodeFileData(const QByteArray &payload)
{
    FileDataChunk chunk;
    if (payload.size() < kFileDataFixedSize)
        return chunk;
    const char *p = payload.constData();
    chunk.filePath = readTextField(p, kPathWidth);
    chunk.fileName = readTextField(p + 128, kNameWidth);
    chunk.totalSize = getU32(p + 160);
    chunk.chunkSize = getU32(p + 164);
    chunk.isLast = p[168] != 0;
    chunk.unread = getU32(p + 169);
    chunk.data = payload.mid(kFileDataFixedSize);
    return chunk;
}

VersionCheckRequest decodeVersionCheckRequest(const QByteArray &payload)
{
    const QByteArray record = padded(payload, kVersionCheckSize);
    VersionCheckRequest request;
    request.version = readTextField(record.constData(), kVersionWidth);
    request.clientId = readTextField(record.constData() + 32, kClientIdWidth);
    request.productType = static_cast<qint32>(getU32(record.constData() + 64));
    return request;
}

FileRequest decodeFileRequest(const QByteArray &payload)
{
    const QByteArray record = padded(payload, kFileRequestSize);
    return FileRequest{readTextField(record.constData(), kPathWidth),
                       readTextField(record.constData() + 128, kNameWidth)};
}

QByteArray encodeVersionReply(const VersionReplyContent &reply)
{
    char p[kVersionReplyFixedSize] = {};
    p[0] = reply.needUpdate ? 1 : 0;
    writeTextField(p + 1, kVersionWidth, reply.version);
    putU32(p + 33, static_cast<quint32>(reply.productCode));
    putU32(p + 53, static_cast<quint32>(reply.files.size()));
    QByteArray bytes(p, kVersionReplyFixedSize);
    bytes.reserve(kVersionReplyFixedSize + reply.files.size() * kFileEntrySize);
    for (const FileRequest &file : reply.files) {
        char entry[kFileEntrySize] = {};
        writeTextField(entry, kPathWidth, file.filePath);
        writeTextField(entry + 128, kNameWidth, file.fileName);
        bytes.append(entry, kFileEntrySize);
    }
    return bytes;
}

QByteArray encodeFileDataPrefix(const FileDataChunk &chunk)
{
    char p[kFileDataFixedSize] = {};
    writeTextField(p, kPathWidth, chunk.filePath);
    writeTextField(p + 128, kNameWidth, chunk.fileName);
    putU32(p + 160, chunk.totalSize);
    putU32(p + 164, chunk.chunkSize);
    p[168] = chunk.isLast ? 1 : 0;
    putU32(p + 169, chunk.unread);
    return QByteArray(p, kFileDataFixedSize);
}

FrameReader::FrameReader(quint32 limit)
    : maxPayload(limit)
{
}

void FrameReader::append(const QByteArray &bytes)
{
    // Drop what was handed out once it is at least half the buffer, so the
    // move is paid for by the messages taken since the last one.
    if (offset > 0 && offset >= buffer.size() / 2) {
        buffer.remove(0, offset);
        offset = 0;
    }
    buffer.append(bytes);
}

FrameReader::Status FrameReader::next(MessageHeader &header, QByteArray &payload)
{
    const int available = buffered();
    if (available < kHeaderSize)
        return Status::NeedMore;
    const MessageHeader candidate = decodeHeader(data());
    if (candidate.magic != kMagic) {
        clear();
        return Status::BadMagic;
    }
    if (candidate.length > maxPayload) {
        header = candidate;
        clear();
        return Status::TooLong;
    }
    // 64-bit sum: length is a full unsigned 32-bit value.
    if (static_cast<qint64>(available) < kHeaderSize + static_cast<qint64>(candidate.length))
        return Status::NeedMore;
    header = candidate;
    payload = buffer.mid(offset + kHeaderSize, static_cast<int>(candidate.length));
    offset += kHeaderSize + static_cast<int>(candidate.length);
    if (offset == buffer.size()) {
        buffer.clear();
        offset = 0;
    }
    return Status::Message;
}

void FrameReader::clear()
{
    buffer.clear();
    offset = 0;
}

int FrameReader::buffered() const
{
    return buffer.size() - offset;
}

const char *FrameReader::data() const
{
    return buffer.constData() + offset;
}

} // namespace TcpProtocol

QString FileEntry::filePath() const
{
    return raw.size() >= TcpProtocol::kFileEntrySize ? TcpProtocol::readTextField(raw.constData(), TcpProtocol::kPathWidth)
                                                     : QString();
}

QString FileEntry::fileName() const
{
    return raw.size() >= TcpProtocol::kFileEntrySize
               ? TcpProtocol::readTextField(raw.constData() + 128, TcpProtocol::kNameWidth)
               : QString();
}

QString FileEntry::undecodableName() const
{
    if (raw.size() < TcpProtocol::kFileEntrySize)
        return QString();
    const QByteArray path = TcpProtocol::rawTextField(raw.constData(), TcpProtocol::kPathWidth);
    const QByteArray name = TcpProtocol::rawTextField(raw.constData() + 128, TcpProtocol::kNameWidth);
    if (PathPolicy::isValidUtf8(path) && PathPolicy::isValidUtf8(name))
        return QString();
    return PathPolicy::escapedName(path + '/' + name);
}
