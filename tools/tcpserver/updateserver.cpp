#include "updateserver.h"

#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

namespace {

// Bytes the session lets wait in the socket before it reads more of a file.
constexpr qint64 kSendHighWater = 1024 * 1024;

void report(const QString &line)
{
    QTextStream out(stdout);
    out << line << Qt::endl;
}

QString describe(const FileRequest &id)
{
    return id.filePath.isEmpty() ? id.fileName : id.filePath + QLatin1Char('/') + id.fileName;
}

} // namespace

UpdateServer::UpdateServer(const ServeOptions &options, QObject *parent)
    : QObject(parent)
    , opts(options)
    , faultsLeft(options.faultyRequests)
{
    current = scanRelease(opts.root);
    connect(&server, &QTcpServer::newConnection, this, &UpdateServer::onNewConnection);
}

bool UpdateServer::listen(const QHostAddress &address, quint16 listenPort)
{
    return server.listen(address, listenPort);
}

quint16 UpdateServer::port() const
{
    return server.serverPort();
}

QString UpdateServer::errorString() const
{
    return server.errorString();
}

const Release &UpdateServer::rescan()
{
    current = scanRelease(opts.root);
    return current;
}

bool UpdateServer::takeFault()
{
    if (opts.stallAfterChunks < 0 && opts.dropAfterChunks < 0)
        return false;
    if (faultsLeft == 0)
        return false;
    if (faultsLeft > 0)
        --faultsLeft;
    return true;
}

void UpdateServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        if (opts.maxConnections > 0 && openSessions >= opts.maxConnections) {
            report(QStringLiteral("connection from %1 refused (%2 open)")
                       .arg(socket->peerAddress().toString())
                       .arg(openSessions));
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromHost();
            continue;
        }
        new ServerSession(socket, this);
    }
}

ServerSession::ServerSession(QTcpSocket *s, UpdateServer *owner)
    : QObject(s)
    , socket(s)
    , server(owner)
    , delayTimer(new QTimer(this))
{
    delayTimer->setSingleShot(true);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(delayTimer, &QTimer::timeout, this, &ServerSession::pump);
    connect(socket, &QTcpSocket::readyRead, this, &ServerSession::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &ServerSession::pump);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    ++server->openSessions;
    report(QStringLiteral("connection from %1 (%2 open)").arg(socket->peerAddress().toString()).arg(server->openSessions));
}

ServerSession::~ServerSession()
{
    setStreaming(false);
    --server->openSessions;
}

void ServerSession::setStreaming(bool on)
{
    if (on != streaming)
        server->streamingSessions += on ? 1 : -1;
    streaming = on;
}

void ServerSession::onReadyRead()
{
    reader.append(socket->readAll());
    MessageHeader header;
    QByteArray payload;
    for (;;) {
        switch (reader.next(header, payload)) {
        case TcpProtocol::FrameReader::Status::NeedMore:
            return;
        case TcpProtocol::FrameReader::Status::BadMagic:
            report(QStringLiteral("bad magic, buffered bytes dropped"));
            return;
        case TcpProtocol::FrameReader::Status::TooLong:
            report(QStringLiteral("message too long, connection closed"));
            socket->abort();
            return;
        case TcpProtocol::FrameReader::Status::Message:
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
    case TcpProtocol::FileDownload:
        pending.enqueue(TcpProtocol::decodeFileRequest(payload));
        startNextFile();
        pump();
        break;
    default:
        report(QStringLiteral("ignored message of type %1").arg(type));
        break;
    }
}

void ServerSession::reply(quint32 type, const QByteArray &payload)
{
    socket->write(TcpProtocol::encodeMessage(type, 0, payload));
}

void ServerSession::answerVersionCheck(const QByteArray &payload)
{
    const VersionCheckRequest request = TcpProtocol::decodeVersionCheckRequest(payload);
    const Release &release = server->rescan();
    if (!release.isValid()) {
        report(QStringLiteral("version check from %1: release unusable (%2)").arg(request.version, release.error));
        reply(TcpProtocol::ErrorReply, QByteArray());
        return;
    }
    VersionReplyContent content;
    content.needUpdate = request.version != release.version;
    content.version = release.version;
    content.productCode = request.productType;
    if (content.needUpdate) {
        for (const ReleaseFile &file : release.files)
            content.files.append(file.id);
    }
    report(QStringLiteral("version check from %1: release %2, %3 files offered")
               .arg(request.version, release.version)
               .arg(content.files.size()));
    reply(TcpProtocol::VersionReply, TcpProtocol::encodeVersionReply(content));
}

void ServerSession::startNextFile()
{
    while (!streaming && !stalled && !pending.isEmpty()) {
        const FileRequest id = pending.dequeue();
        const ReleaseFile *entry = server->release().find(id);
        file.setFileName(entry ? entry->localPath : QString());
        if (!entry || !file.open(QIODevice::ReadOnly)) {
            report(QStringLiteral("file request %1: not offered, error reply").arg(describe(id)));
            reply(TcpProtocol::ErrorReply, QByteArray());
            continue;
        }
        setStreaming(true);
        report(QStringLiteral("file request %1 (%2 streaming)").arg(describe(id)).arg(server->streamingSessions));
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
    while (streaming && !stalled && socket->state() == QAbstractSocket::ConnectedState
           && socket->bytesToWrite() < kSendHighWater) {
        if (delay > 0) {
            if (delayTimer->isActive())
                return;
            if (!sendChunk())
                break;
            delayTimer->start(delay);
            return;
        }
        if (!sendChunk())
            break;
    }
}

// Sends the next chunk of the current file; false when the transfer ended
// here (finished, stalled, dropped or failed).
bool ServerSession::sendChunk()
{
    const ServeOptions &opts = server->options();
    if (faulty && opts.stallAfterChunks >= 0 && chunksSent >= opts.stallAfterChunks) {
        report(QStringLiteral("transfer of %1 stalled").arg(describe(streamingId)));
        stalled = true;
        return false;
    }
    if (faulty && opts.dropAfterChunks >= 0 && chunksSent >= opts.dropAfterChunks) {
        report(QStringLiteral("transfer of %1 dropped").arg(describe(streamingId)));
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
    QByteArray payload = TcpProtocol::encodeFileDataPrefix(chunk);
    payload.resize(TcpProtocol::kFileDataFixedSize + static_cast<int>(n));
    if (n > 0 && file.read(payload.data() + TcpProtocol::kFileDataFixedSize, n) != static_cast<qint64>(n)) {
        report(QStringLiteral("file %1 could not be read, error reply").arg(describe(streamingId)));
        setStreaming(false);
        file.close();
        reply(TcpProtocol::ErrorReply, QByteArray());
        startNextFile();
        return streaming;
    }
    reply(TcpProtocol::FileData, payload);
    sent += n;
    ++chunksSent;
    if (chunk.isLast) {
        setStreaming(false);
        file.close();
        startNextFile();
        return streaming;
    }
    return true;
}
