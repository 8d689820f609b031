#include "serversession.h"

#include "socketsetup.h"
#include "updateserver.h"

#include "config/releasecontrol.h"

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>

namespace {

// Bytes the session lets wait in the socket before it reads more of a file
// or hands over more of a reply, and takes no new request.
constexpr qint64 kSendHighWater = 64 * 1024;
// Reply bytes handed to the socket at once.
constexpr int kReplySlice = 64 * 1024;
// Bytes taken from the system per read; with the socket's own buffer this
// bounds what a connection holds of unanswered requests.
constexpr int kReadSlice = 4096;
// The largest request the protocol has (a file request).
constexpr quint32 kMaxRequestPayload = TcpProtocol::kFileRequestSize;

QString describe(const FileRequest &id)
{
    return id.filePath.isEmpty() ? id.fileName : id.filePath + QLatin1Char('/') + id.fileName;
}

} // namespace

ServerSession::ServerSession(QTcpSocket *s, const QString &peer, UpdateServer *owner)
    : QObject(s)
    , socket(s)
    , address(peer)
    , server(owner)
    , reader(kMaxRequestPayload)
    , delayTimer(new QTimer(this))
    , idleTimer(new QTimer(this))
{
    delayTimer->setSingleShot(true);
    idleTimer->setSingleShot(true);
    idleTimer->setInterval(server->options().idleTimeoutSec * 1000);
    socket->setReadBufferSize(kReadSlice);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(delayTimer, &QTimer::timeout, this, &ServerSession::pump);
    connect(idleTimer, &QTimer::timeout, this, &ServerSession::closeIdle);
    connect(socket, &QTcpSocket::readyRead, this, &ServerSession::readRequests);
    connect(socket, &QTcpSocket::bytesWritten, this, &ServerSession::onBytesWritten);
    // The descriptor is closed by now: it must not be watched any more.
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (writable)
            writable->setEnabled(false);
    });
    activity.start();
    if (server->options().idleTimeoutSec > 0)
        idleTimer->start();
    reportLine(QStringLiteral("connection from %1 (%2 open)").arg(address).arg(server->limits().open()));
    readRequests();
}

ServerSession::~ServerSession()
{
    setStreaming(false);
    server->limits().release(address);
}

bool ServerSession::busy() const
{
    return !pending.isEmpty() || !outbox.isEmpty() || directPending() || socket->bytesToWrite() >= kSendHighWater
        || socket->state() != QAbstractSocket::ConnectedState;
}

void ServerSession::setStreaming(bool on)
{
    if (on != streaming)
        server->streamingSessions += on ? 1 : -1;
    streaming = on;
}

void ServerSession::closeIdle()
{
    // Activity since the timer was started moves the deadline instead.
    const qint64 quiet = activity.elapsed();
    const qint64 limit = server->options().idleTimeoutSec * 1000LL;
    if (quiet < limit) {
        idleTimer->start(static_cast<int>(limit - quiet));
        return;
    }
    reportLine(QStringLiteral("connection from %1 idle for %2 s, closed").arg(address).arg(server->options().idleTimeoutSec));
    SocketSetup::resetOnClose(socket->socketDescriptor());
    socket->abort();
}

// Called for every request and every write the system takes: it only
// notes the time (re-arming a timer that often costs more than the write).
void ServerSession::restartIdleTimer()
{
    activity.start();
}

void ServerSession::onBytesWritten()
{
    restartIdleTimer();
    pump();
    readRequests();
}

void ServerSession::readRequests()
{
    MessageHeader header;
    QByteArray payload;
    while (!busy()) {
        switch (reader.next(header, payload)) {
        case TcpProtocol::FrameReader::Status::NeedMore:
            if (socket->bytesAvailable() == 0)
                return;
            reader.append(socket->read(kReadSlice));
            break;
        case TcpProtocol::FrameReader::Status::BadMagic:
            reportLine(QStringLiteral("bad magic, buffered bytes dropped"));
            break;
        case TcpProtocol::FrameReader::Status::TooLong:
            reportLine(QStringLiteral("message of %1 bytes announced from %2, connection closed").arg(header.length).arg(address));
            SocketSetup::resetOnClose(socket->socketDescriptor());
            socket->abort();
            return;
        case TcpProtocol::FrameReader::Status::Message:
            restartIdleTimer();
            handle(header.type, payload);
            break;
        }
    }
}

void ServerSession::handle(quint32 type, const QByteArray &payload)
{
    switch (type) {
    case TcpProtocol::Heartbeat:
        reply(TcpProtocol::HeartbeatReply, payload);
        break;
    case TcpProtocol::VersionCheck:
        answerVersionCheck(payload);
        break;
    case TcpProtocol::FileDownload: {
        PendingFile request;
        request.id = TcpProtocol::decodeFileRequest(payload, &request.release);
        pending.enqueue(request);
        startNextFile();
        pump();
        break;
    }
    default:
        reportLine(QStringLiteral("ignored message of type %1").arg(type));
        break;
    }
}

void ServerSession::reply(quint32 type, const QByteArray &payload)
{
    queue(TcpProtocol::encodeMessage(type, 0, payload));
}

void ServerSession::queue(const QByteArray &message)
{
    outbox.enqueue(message);
    pump();
}

// While the socket holds nothing queued, bytes go to the system directly
// (one copy fewer than through the socket's buffer); what the system does
// not take now is queued with the socket, whose draining then signals
// bytesWritten and pumps again, so the order of bytes is kept.
void ServerSession::send(const char *data, qint64 size)
{
    const qint64 taken =
        socket->bytesToWrite() == 0 ? qMax<qint64>(0, SocketSetup::sendNow(socket->socketDescriptor(), data, size)) : 0;
    if (taken > 0)
        restartIdleTimer();
    if (taken < size)
        socket->write(data + taken, size - taken);
}

void ServerSession::answerVersionCheck(const QByteArray &payload)
{
    const VersionCheckRequest request = TcpProtocol::decodeVersionCheckRequest(payload);
    const std::shared_ptr<const ReleaseSnapshot> newest = server->index().refreshed();
    if (!newest->release().isValid()) {
        reportLine(QStringLiteral("version check from %1: release unusable (%2)").arg(request.version, newest->release().error));
        reply(TcpProtocol::ErrorReply, QByteArray());
        return;
    }
    const std::shared_ptr<const ReleaseSnapshot> snapshot = offerFor(request, newest);
    const Release &release = snapshot->release();
    const bool offered = request.version != release.version;
    reportLine(QStringLiteral("version check from %1: %2 %3, %4 files offered")
                   .arg(request.version, snapshot == newest ? QStringLiteral("release") : QStringLiteral("stepping stone"),
                        release.version)
                   .arg(offered ? release.files.size() : 0));
    queue(snapshot->versionReply(request.version, request.productType));
}

std::shared_ptr<const ReleaseSnapshot> ServerSession::offerFor(const VersionCheckRequest &request,
                                                               const std::shared_ptr<const ReleaseSnapshot> &newest)
{
    const Release &release = newest->release();
    // The client's own test of a release it received: one rule on both sides.
    if (!request.knowsSteppingStones || ReleaseControl::appliesTo(request.version, release.minimumVersion))
        return newest;
    ReleaseIndex *stoneIndex = newest->steppingStone();
    if (!stoneIndex) {
        reportLine(QStringLiteral("no stepping stone for %1 below %2: release %3 offered")
                       .arg(request.version, release.minimumVersion, release.version));
        return newest;
    }
    std::shared_ptr<const ReleaseSnapshot> stone = stoneIndex->refreshed();
    if (!stone->release().isValid()) {
        reportLine(QStringLiteral("stepping stone %1 for %2 unusable (%3): release %4 offered")
                       .arg(release.steppingStone, request.version, stone->release().error, release.version));
        return newest;
    }
    return stone;
}

void ServerSession::startNextFile()
{
    while (!streaming && !stalled && !pending.isEmpty()) {
        const PendingFile next = pending.dequeue();
        const FileRequest &id = next.id;
        // A tagged request is served from the stepping stone only, whatever
        // the newest release holds.
        const bool fromStone = next.release == TcpProtocol::ReleaseChoice::SteppingStone;
        std::shared_ptr<const ReleaseSnapshot> snapshot = server->index().current();
        if (fromStone)
            snapshot = snapshot->steppingStone() ? snapshot->steppingStone()->current() : nullptr;
        const Release *release = snapshot ? &snapshot->release() : nullptr;
        const ReleaseFile *entry = release && release->isValid() ? release->find(id) : nullptr;
        const QString what = fromStone ? describe(id) + QStringLiteral(" of the stepping stone") : describe(id);
        // Patches are offered beside the release they were published for.
        file.setFileName(entry ? entry->localPath : release ? release->patches.find(id) : QString());
        if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            reportLine(QStringLiteral("file request %1: not offered, error reply").arg(what));
            reply(TcpProtocol::ErrorReply, QByteArray());
            continue;
        }
        setStreaming(true);
        reportLine(QStringLiteral("file request %1 (%2 streaming)").arg(what).arg(server->streamingSessions));
        streamingId = id;
        totalSize = static_cast<quint32>(file.size());
        sent = 0;
        chunksSent = 0;
        faulty = server->takeFault();
    }
}

void ServerSession::pump()
{
    const int delay = server->options().chunkDelayMs;
    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < kSendHighWater) {
        if (directPending()) {
            if (!drainDirect())
                return;
            continue;
        }
        if (!outbox.isEmpty()) {
            const QByteArray &head = outbox.head();
            const int n = qMin(kReplySlice, head.size() - outOffset);
            send(head.constData() + outOffset, n);
            outOffset += n;
            if (outOffset == head.size()) {
                outbox.dequeue();
                outOffset = 0;
            }
            continue;
        }
        if (!streaming || stalled)
            return;
        // File data goes to the system directly once what the socket
        // queues has left (its bytesWritten pumps again).
        if (SocketSetup::sendsFiles() && socket->bytesToWrite() > 0)
            return;
        if (delay > 0) {
            if (delayTimer->isActive())
                return;
            if (sendChunk() || directPending())
                delayTimer->start(delay);
            return;
        }
        if (!sendChunk())
            return;
    }
}

bool ServerSession::directPending() const
{
    return directHeadSent < directHead.size() || directBodyLeft > 0;
}

// Hands the system what it takes now of the FileData message being sent
// directly: the rest of its fixed part, then the rest of its data straight
// from the file cache. True when the message is out (a file's last one
// ends its transfer); false while the session waits for the socket to take
// more, or when the connection failed and was closed.
bool ServerSession::drainDirect()
{
    const qintptr descriptor = socket->socketDescriptor();
    qint64 n = 1;
    while (directHeadSent < directHead.size() && n > 0) {
        n = SocketSetup::sendNow(descriptor, directHead.constData() + directHeadSent,
                                 directHead.size() - directHeadSent, directBodyLeft > 0);
        if (n > 0) {
            directHeadSent += static_cast<int>(n);
            restartIdleTimer();
        }
    }
    while (directHeadSent == directHead.size() && directBodyLeft > 0 && n > 0) {
        n = SocketSetup::sendFileNow(descriptor, file.handle(), directFrom, directBodyLeft);
        if (n > 0) {
            directFrom += n;
            directBodyLeft -= n;
            restartIdleTimer();
        }
    }
    if (n < 0) {
        // Part of the message may be out: the stream cannot go on.
        reportLine(QStringLiteral("file %1 could not be sent, connection closed").arg(describe(streamingId)));
        directHead.clear();
        directBodyLeft = 0;
        setStreaming(false);
        file.close();
        socket->abort();
        return false;
    }
    if (directPending()) {
        if (!writable) {
            writable = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
            connect(writable, &QSocketNotifier::activated, this, [this] {
                writable->setEnabled(false);
                pump();
                readRequests();
            });
        }
        writable->setEnabled(true);
        return false;
    }
    if (directLast)
        endFile();
    return true;
}

void ServerSession::endFile()
{
    setStreaming(false);
    file.close();
    startNextFile();
}

// Where the system cannot send from the file, the chunk is read and queued
// with the socket. False when the file could not be read (nothing of the
// message is out then).
bool ServerSession::queueFileData(const QByteArray &prefix, quint32 size)
{
    chunkBuffer.resize(prefix.size() + static_cast<int>(size));
    std::memcpy(chunkBuffer.data(), prefix.constData(), static_cast<size_t>(prefix.size()));
    if (size > 0 && (!file.seek(sent) || file.read(chunkBuffer.data() + prefix.size(), size) != size))
        return false;
    socket->write(chunkBuffer);
    return true;
}

// Sends the next chunk of the current file; false when the transfer ended
// here (finished, stalled, dropped or failed) and nothing else is streaming,
// or when the chunk waits for the socket to drain.
bool ServerSession::sendChunk()
{
    const ServeOptions &opts = server->options();
    if (faulty && opts.stallAfterChunks >= 0 && chunksSent >= opts.stallAfterChunks) {
        reportLine(QStringLiteral("transfer of %1 stalled").arg(describe(streamingId)));
        stalled = true;
        return false;
    }
    if (faulty && opts.dropAfterChunks >= 0 && chunksSent >= opts.dropAfterChunks) {
        reportLine(QStringLiteral("transfer of %1 dropped").arg(describe(streamingId)));
        setStreaming(false);
        file.close();
        socket->disconnectFromHost();
        return false;
    }

    const quint32 n = qMin<quint32>(static_cast<quint32>(opts.chunkSize), totalSize - sent);
    FileDataChunk chunk;
    chunk.filePath = streamingId.filePath;
    chunk.fileName = streamingId.fileName;
    chunk.totalSize = totalSize;
    chunk.chunkSize = n;
    chunk.isLast = sent + n >= totalSize;
    chunk.unread = static_cast<quint32>(chunksSent);
    const QByteArray prefix = TcpProtocol::encodeHeader(MessageHeader{
                                  TcpProtocol::kMagic, static_cast<quint32>(TcpProtocol::kFileDataFixedSize) + n,
                                  TcpProtocol::FileData, 0, 0})
        + TcpProtocol::encodeFileDataPrefix(chunk);
    if (SocketSetup::sendsFiles()) {
        directHead = prefix;
        directHeadSent = 0;
        directFrom = sent;
        directBodyLeft = n;
        directLast = chunk.isLast;
        sent += n;
        ++chunksSent;
        return drainDirect() && streaming;
    }
    if (!queueFileData(prefix, n)) {
        reportLine(QStringLiteral("file %1 could not be read, error reply").arg(describe(streamingId)));
        setStreaming(false);
        file.close();
        reply(TcpProtocol::ErrorReply, QByteArray());
        startNextFile();
        return streaming;
    }
    sent += n;
    ++chunksSent;
    if (chunk.isLast) {
        endFile();
        return streaming;
    }
    return true;
}
