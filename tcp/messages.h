#pragma once
// Wire formats of the TCP update protocol: every message is a 20-byte header
// followed by `length` payload bytes; integers are little-endian, structures
// packed, text fields fixed-width UTF-8 padded with NUL bytes.
//
// Everything here is a pure function over bytes (no sockets, no files, no
// configuration): the client and the reference server both build and read
// their messages through these functions.

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <cstdint>

namespace TcpProtocol {

constexpr quint32 kMagic = 0x12345678;
constexpr int kHeaderSize = 20;

// Largest payload a receiver accepts. A header announcing more is a protocol
// error: nothing legitimate comes near it (file data travels in chunks of
// tens of KiB), and buffering it would let a broken peer exhaust memory.
constexpr quint32 kMaxPayload = 64u * 1024u * 1024u;

enum MessageType : quint32 {
    Heartbeat = 1,
    VersionCheck = 2,
    FileDownload = 3,
    HeartbeatReply = 0x8001,
    VersionReply = 0x8002,
    FileData = 0x8003,
    ErrorReply = 0xFFFF,
};

// Field widths and record sizes.
constexpr int kVersionWidth = 32;
constexpr int kClientIdWidth = 32;
constexpr int kPathWidth = 128;
constexpr int kNameWidth = 32;
constexpr int kVersionCheckSize = 84;
constexpr int kFileRequestSize = 176;
constexpr int kVersionReplyFixedSize = 57;
constexpr int kFileEntrySize = 180;
constexpr int kFileDataFixedSize = 173;
constexpr int kHeartbeatSize = 8;

} // namespace TcpProtocol

struct MessageHeader
{
    quint32 magic = TcpProtocol::kMagic;
    quint32 length = 0;
    quint32 type = 0;
    qint32 productType = 0;
    quint32 reserved = 0;
};

// What the version check sends: installed version, client identifier
// (empty is sent as "Vantorelle") and product type. knowsSteppingStones
// declares, in bytes that servers predating it ignore, that the client
// takes a stepping stone offered in place of the newest release.
struct VersionCheckRequest
{
    QString version;
    QString clientId;
    qint32 productType = 1;
    bool knowsSteppingStones = false;
};

// One file of the download list, as the server named it.
struct FileRequest
{
    QString filePath;
    QString fileName;

    bool operator==(const FileRequest &other) const
    {
        return filePath == other.filePath && fileName == other.fileName;
    }
};

// One file entry of a version reply, kept as its 180 raw bytes.
struct FileEntry
{
    QByteArray raw;

    QString filePath() const;
    QString fileName() const;
    // "path/name" as sent, escaped (see PathPolicy::escapedName), when
    // either field is not valid UTF-8 and so does not read back as sent;
    // "" when both are.
    QString undecodableName() const;
};

// The server's version reply. The default means "no update, nothing known".
struct VersionInfo
{
    bool needUpdate = false;
    QString version;
    QString productName;
    QVector<FileEntry> files;
    // Percent of installations the offered release is meant for (the reply
    // header's rollout field); 100 from a server that names none.
    int rollout = 100;
    // The offered release is the stepping stone to the newest one, which
    // the installed version is too old for (the reply header says so).
    bool steppingStone = false;
};

Q_DECLARE_METATYPE(VersionInfo)

struct FileDataChunk
{
    QString filePath;
    QString fileName;
    quint32 totalSize = 0;
    quint32 chunkSize = 0;
    bool isLast = false;
    quint32 unread = 0;
    QByteArray data;
};

// What the server puts into a version reply.
struct VersionReplyContent
{
    bool needUpdate = false;
    QString version;
    qint32 productCode = 0;
    QVector<FileRequest> files;
    int rollout = 100; // 0..100; sent in the header only below 100
};

namespace TcpProtocol {

// Writes text into a field of `width` bytes at dst: at most width - 1 UTF-8
// bytes (cut at that byte count, even inside a character), the rest NUL.
void writeTextField(char *dst, int width, const QString &text);
// Reads a field of `width` bytes: the text up to the first NUL or the end.
QString readTextField(const char *src, int width);
// The same field's bytes up to the first NUL or the end, not copied: valid
// while src is.
QByteArray rawTextField(const char *src, int width);

// "Pelican" ... "Orchidwell" for 1..6, "Unknown" for any other code.
QString productName(qint32 code);

QByteArray encodeHeader(const MessageHeader &header);
// Header fields of the 20 bytes at src (the caller guarantees 20 bytes).
MessageHeader decodeHeader(const char *src);
// Header + payload as one message.
QByteArray encodeMessage(quint32 type, qint32 productType, const QByteArray &payload, quint32 reserved = 0);

// A version reply's staged rollout travels in its header's reserved field,
// which clients that predate it never read: kRolloutFlag plus the percent,
// 0 for a release offered to every installation. The group an installation
// belongs to never leaves it; it applies the share itself.
constexpr quint32 kRolloutFlag = 0x52000000u;
quint32 rolloutField(int percent);
// The percent of a reserved field: 100 unless its top byte is kRolloutFlag's
// and the rest a percent below 100.
int rolloutOfField(quint32 reserved);

// A version reply offering the stepping stone in place of the newest
// release carries exactly kSteppingStoneFlag in its header's reserved field
// (no share: the stone goes to every installation that needs it). Only a
// client that declared stepping stones gets one.
constexpr quint32 kSteppingStoneFlag = 0x53000000u;
bool isSteppingStoneField(quint32 reserved);

// Which release a file request is for. A file request names no release and
// may come on any connection, so each one of a run that was offered the
// stepping stone carries a tag in its reserved bytes; untagged it is for
// the newest release.
enum class ReleaseChoice { Newest, SteppingStone };
// The 4 bytes that open the reserved bytes of a version check declaring
// stepping stones and of a file request for the stepping stone.
inline constexpr char kSteppingStoneTag[] = "STEP";

// Client requests.
QByteArray encodeVersionCheckRequest(const VersionCheckRequest &request);
QByteArray encodeFileRequest(const FileRequest &file, ReleaseChoice release = ReleaseChoice::Newest);
QByteArray encodeHeartbeat(qint64 msecsSinceEpoch);

// Server replies as the client reads them. A version reply shorter than its
// fixed part gives a default VersionInfo; of the entries that fileCount
// promises only those lying whole inside the payload are kept. A FileData
// payload shorter than its fixed part gives an empty chunk.
VersionInfo decodeVersionReply(const QByteArray &payload);
FileDataChunk decodeFileData(const QByteArray &payload);

// The server's side: requests read, replies built. A request payload shorter
// than its record is read as if padded with NUL bytes. A tag counts only
// as its exact 4 bytes at the start of the reserved bytes (the rest is not
// read): anything else there is what older clients send, zero.
VersionCheckRequest decodeVersionCheckRequest(const QByteArray &payload);
// release, when given, receives the release the request is for.
FileRequest decodeFileRequest(const QByteArray &payload, ReleaseChoice *release = nullptr);
QByteArray encodeVersionReply(const VersionReplyContent &reply);
// The 173 fixed bytes of a FileData payload; the chunk's data follows them.
QByteArray encodeFileDataPrefix(const FileDataChunk &chunk);

// Cuts a byte stream into messages. Bytes are appended as they arrive; next()
// hands out one complete message at a time, in order. Consumed bytes are
// dropped lazily so that taking many messages from one large read stays
// linear.
class FrameReader
{
public:
    enum class Status {
        NeedMore, // fewer bytes than a header or its payload: wait
        Message,  // `header` and `payload` hold the next message
        BadMagic, // the buffer did not start with the magic: all of it dropped
        TooLong,  // `header` announced more than maxPayload: all buffered bytes dropped
    };

    explicit FrameReader(quint32 maxPayload = kMaxPayload);

    void append(const QByteArray &bytes);
    Status next(MessageHeader &header, QByteArray &payload);
    void clear();

    // Bytes buffered and not yet handed out.
    int buffered() const;
    // The buffered bytes (buffered() of them).
    const char *data() const;

private:
    QByteArray buffer;
    int offset = 0;
    quint32 maxPayload;
};

} // namespace TcpProtocol
