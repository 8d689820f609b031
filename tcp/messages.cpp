#include "tcp/messages.h"

#include "fileops/pathpolicy.h"

#include <QtEndian>

#include <cstring>

namespace TcpProtocol {

namespace {

// Where each field starts in its record (all integers little-endian).
// Message header:
constexpr int kMagicAt = 0;
constexpr int kLengthAt = 4;
constexpr int kTypeAt = 8;
constexpr int kProductTypeAt = 12;
constexpr int kReservedAt = 16;
// Version check request: version text, client id text, product type.
constexpr int kCheckVersionAt = 0;
constexpr int kCheckClientIdAt = kCheckVersionAt + kVersionWidth;
constexpr int kCheckProductTypeAt = kCheckClientIdAt + kClientIdWidth;
// The reserved bytes that end a version check and a file request.
constexpr int kCheckReservedAt = 68;
constexpr int kFileRequestReservedAt = 160;
constexpr int kTagSize = 4;
// File request, file entry of a version reply and file data all begin with
// the path text and the name text.
constexpr int kPathAt = 0;
constexpr int kNameAt = kPathAt + kPathWidth;
// File data, after path and name:
constexpr int kTotalSizeAt = kNameAt + kNameWidth;
constexpr int kChunkSizeAt = kTotalSizeAt + 4;
constexpr int kIsLastAt = kChunkSizeAt + 4;
constexpr int kUnreadAt = kIsLastAt + 1;
// Version reply: update flag, version text, product code, then (after bytes
// no peer reads) the file count and the file entries.
constexpr int kNeedUpdateAt = 0;
constexpr int kReplyVersionAt = kNeedUpdateAt + 1;
constexpr int kProductCodeAt = kReplyVersionAt + kVersionWidth;
constexpr int kFileCountAt = 53;

static_assert(kUnreadAt + 4 == kFileDataFixedSize, "file data prefix");
static_assert(kFileCountAt + 4 == kVersionReplyFixedSize, "version reply prefix");
static_assert(kNameAt + kNameWidth <= kFileRequestSize && kNameAt + kNameWidth <= kFileEntrySize, "path and name");
static_assert(kCheckProductTypeAt + 4 == kCheckReservedAt && kCheckReservedAt + 16 == kVersionCheckSize,
              "version check request");
static_assert(kNameAt + kNameWidth == kFileRequestReservedAt && kFileRequestReservedAt + 16 == kFileRequestSize,
              "file request");
static_assert(sizeof(kSteppingStoneTag) == kTagSize + 1, "tag");
static_assert(kReservedAt + 4 == kHeaderSize, "message header");

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

void putTag(char *dst, bool on)
{
    if (on)
        std::memcpy(dst, kSteppingStoneTag, kTagSize);
}

bool hasTag(const char *src)
{
    return std::memcmp(src, kSteppingStoneTag, kTagSize) == 0;
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
    putU32(p + kMagicAt, header.magic);
    putU32(p + kLengthAt, header.length);
    putU32(p + kTypeAt, header.type);
    putU32(p + kProductTypeAt, static_cast<quint32>(header.productType));
    putU32(p + kReservedAt, header.reserved);
    return QByteArray(p, kHeaderSize);
}

MessageHeader decodeHeader(const char *src)
{
    MessageHeader header;
    header.magic = getU32(src + kMagicAt);
    header.length = getU32(src + kLengthAt);
    header.type = getU32(src + kTypeAt);
    header.productType = static_cast<qint32>(getU32(src + kProductTypeAt));
    header.reserved = getU32(src + kReservedAt);
    return header;
}

QByteArray encodeMessage(quint32 type, qint32 productType, const QByteArray &payload, quint32 reserved)
{
    MessageHeader header;
    header.length = static_cast<quint32>(payload.size());
    header.type = type;
    header.productType = productType;
    header.reserved = reserved;
    return encodeHeader(header) + payload;
}

quint32 rolloutField(int percent)
{
    return percent >= 0 && percent < 100 ? kRolloutFlag | static_cast<quint32>(percent) : 0;
}

int rolloutOfField(quint32 reserved)
{
    // The whole top byte: kSteppingStoneFlag has every bit of kRolloutFlag.
    const quint32 percent = reserved & 0x00FFFFFFu;
    return (reserved & 0xFF000000u) == kRolloutFlag && percent < 100 ? static_cast<int>(percent) : 100;
}

bool isSteppingStoneField(quint32 reserved)
{
    return reserved == kSteppingStoneFlag;
}

QByteArray encodeVersionCheckRequest(const VersionCheckRequest &request)
{
    char p[kVersionCheckSize] = {};
    writeTextField(p + kCheckVersionAt, kVersionWidth, request.version);
    const QString clientId = request.clientId.isEmpty() ? QStringLiteral("Vantorelle") : request.clientId;
    writeTextField(p + kCheckClientIdAt, kClientIdWidth, clientId);
    putU32(p + kCheckProductTypeAt, static_cast<quint32>(request.productType));
    putTag(p + kCheckReservedAt, request.knowsSteppingStones);
    return QByteArray(p, kVersionCheckSize);
}

QByteArray encodeFileRequest(const FileRequest &file, ReleaseChoice release)
{
    char p[kFileRequestSize] = {};
    writeTextField(p + kPathAt, kPathWidth, file.filePath);
    writeTextField(p + kNameAt, kNameWidth, file.fileName);
    putTag(p + kFileRequestReservedAt, release == ReleaseChoice::SteppingStone);
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
    info.needUpdate = p[kNeedUpdateAt] != 0;
    info.version = readTextField(p + kReplyVersionAt, kVersionWidth);
    info.productName = productName(static_cast<qint32>(getU32(p + kProductCodeAt)));
    const quint32 fileCount = getU32(p + kFileCountAt);
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
    chunk.filePath = readTextField(p + kPathAt, kPathWidth);
    chunk.fileName = readTextField(p + kNameAt, kNameWidth);
    chunk.totalSize = getU32(p + kTotalSizeAt);
    chunk.chunkSize = getU32(p + kChunkSizeAt);
    chunk.isLast = p[kIsLastAt] != 0;
    chunk.unread = getU32(p + kUnreadAt);
    chunk.data = payload.mid(kFileDataFixedSize);
    return chunk;
}

VersionCheckRequest decodeVersionCheckRequest(const QByteArray &payload)
{
    const QByteArray record = padded(payload, kVersionCheckSize);
    VersionCheckRequest request;
    request.version = readTextField(record.constData() + kCheckVersionAt, kVersionWidth);
    request.clientId = readTextField(record.constData() + kCheckClientIdAt, kClientIdWidth);
    request.productType = static_cast<qint32>(getU32(record.constData() + kCheckProductTypeAt));
    request.knowsSteppingStones = hasTag(record.constData() + kCheckReservedAt);
    return request;
}

FileRequest decodeFileRequest(const QByteArray &payload, ReleaseChoice *release)
{
    const QByteArray record = padded(payload, kFileRequestSize);
    if (release)
        *release = hasTag(record.constData() + kFileRequestReservedAt) ? ReleaseChoice::SteppingStone : ReleaseChoice::Newest;
    return FileRequest{readTextField(record.constData() + kPathAt, kPathWidth),
                       readTextField(record.constData() + kNameAt, kNameWidth)};
}

QByteArray encodeVersionReply(const VersionReplyContent &reply)
{
    char p[kVersionReplyFixedSize] = {};
    p[kNeedUpdateAt] = reply.needUpdate ? 1 : 0;
    writeTextField(p + kReplyVersionAt, kVersionWidth, reply.version);
    putU32(p + kProductCodeAt, static_cast<quint32>(reply.productCode));
    putU32(p + kFileCountAt, static_cast<quint32>(reply.files.size()));
    QByteArray bytes(p, kVersionReplyFixedSize);
    bytes.reserve(kVersionReplyFixedSize + reply.files.size() * kFileEntrySize);
    for (const FileRequest &file : reply.files) {
        char entry[kFileEntrySize] = {};
        writeTextField(entry + kPathAt, kPathWidth, file.filePath);
        writeTextField(entry + kNameAt, kNameWidth, file.fileName);
        bytes.append(entry, kFileEntrySize);
    }
    return bytes;
}

QByteArray encodeFileDataPrefix(const FileDataChunk &chunk)
{
    char p[kFileDataFixedSize] = {};
    writeTextField(p + kPathAt, kPathWidth, chunk.filePath);
    writeTextField(p + kNameAt, kNameWidth, chunk.fileName);
    putU32(p + kTotalSizeAt, chunk.totalSize);
    putU32(p + kChunkSizeAt, chunk.chunkSize);
    p[kIsLastAt] = chunk.isLast ? 1 : 0;
    putU32(p + kUnreadAt, chunk.unread);
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
    return raw.size() >= TcpProtocol::kFileEntrySize
        ? TcpProtocol::readTextField(raw.constData() + TcpProtocol::kPathAt, TcpProtocol::kPathWidth)
        : QString();
}

QString FileEntry::fileName() const
{
    return raw.size() >= TcpProtocol::kFileEntrySize
        ? TcpProtocol::readTextField(raw.constData() + TcpProtocol::kNameAt, TcpProtocol::kNameWidth)
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
