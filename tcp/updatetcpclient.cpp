#include "tcp/updatetcpclient.h"

#include "fileops/transferguard.h"
#include "log/logger.h"
#include "log/percent.h"
#include "tcp/asyncwaiter.h"

#include <QAuthenticator>
#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

namespace {

// How much the socket may hold before it stops reading from the system: a
// server faster than the disk is then slowed by TCP itself instead of
// growing this process's memory.
constexpr qint64 kSocketReadBuffer = 4 * 1024 * 1024;

const QString kAlreadyConnected = QStringLiteral("已经连接或正在连接中");
const QString kNotConnected = QStringLiteral("未连接到服务器");
const QString kVersionSendFailed = QStringLiteral("发送版本检查请求失败");
const QString kFileSendFailed = QStringLiteral("发送文件下载请求失败");
const QString kDownloadTimeout = QStringLiteral("文件下载超时");
const QString kTimeoutDetail = QStringLiteral("下载超时");
const QString kServerError = QStringLiteral("服务器返回错误");
const QString kConnectionLost = QStringLiteral("与服务器的连接已断开");
const QString kMessageTooLong = QStringLiteral("服务器消息长度超出上限，连接已关闭");
const QString kUnrequestedData = QStringLiteral("服务器发送了未请求的文件数据: %1/%2");
const QString kSizeChanged = QStringLiteral("文件数据声明的大小前后不一致: %1/%2");
const QString kTooLong = QStringLiteral("文件数据超出声明的大小: %1/%2");
const QString kTooShort = QStringLiteral("文件数据少于声明的大小: %1/%2");
const QString kProxyRefusedTcp = QStringLiteral("代理服务器 %1:%2 未建立到更新服务器的连接：");
const QString kRequestBusy = QStringLiteral("上一个文件请求尚未结束");

} // namespace

QUpdateTcpClient::QUpdateTcpClient(QObject *parent)
    : QObject(parent)
    , socket(new QTcpSocket(this))
    , heartbeatTimer(new QTimer(this))
    , silenceTimer(new QTimer(this))
    , m_chunkSink([](const QString &, const QString &, const QByteArray &, bool) { return false; })
    , fileGuard(nullptr)
{
    setLimits(limits);
    silenceTimer->setSingleShot(true);
    connect(silenceTimer, &QTimer::timeout, this, &QUpdateTcpClient::onSilence);
    socket->setReadBufferSize(kSocketReadBuffer);
    connect(socket, &QTcpSocket::connected, this, &QUpdateTcpClient::onConnected);
    connect(socket, &QTcpSocket::disconnected, this, &QUpdateTcpClient::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &QUpdateTcpClient::onError);
    connect(socket, &QTcpSocket::readyRead, this, &QUpdateTcpClient::onReadyRead);
    connect(heartbeatTimer, &QTimer::timeout, this, &QUpdateTcpClient::onHeartbeatTimeout);
    connect(socket, &QTcpSocket::proxyAuthenticationRequired, this,
            [this](const QNetworkProxy &, QAuthenticator *authenticator) {
                proxy.answerChallenge(authenticator, proxyAnswers);
            });
}

QUpdateTcpClient::~QUpdateTcpClient()
{
    // Nothing is reported from a client being destroyed.
    requestActive = false;
    stopRequestBounds();
    if (heartbeatTimer->isActive())
        heartbeatTimer->stop();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->disconnectFromHost();
    m_state = Disconnected;
}

bool QUpdateTcpClient::connectToServer(const QString &serverHost, quint16 serverPort, int timeoutMs)
{
    return beginConnect(serverHost, serverPort) && socket->waitForConnected(timeoutMs);
}

bool QUpdateTcpClient::beginConnect(const QString &serverHost, quint16 serverPort)
{
    if (m_state == Connecting || m_state == Connected) {
        m_lastFailure = {TcpFailure::Network, kAlreadyConnected};
        return false;
    }
    host = serverHost;
    port = serverPort;
    m_state = Connecting;
    reader.clear();
    resetTransfer();
    socket->setProxy(proxy.tcpProxyFor(host, port));
    proxyAnswers = 0;
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    return true;
}

bool QUpdateTcpClient::isConnected() const
{
    return m_state == Connected && socket->state() == QAbstractSocket::ConnectedState;
}

void QUpdateTcpClient::setChunkSink(ChunkSink sink)
{
    m_chunkSink = std::move(sink);
}

void QUpdateTcpClient::setLimits(const TransferLimits &transferLimits)
{
    limits = transferLimits;
    delete fileGuard;
    fileGuard = new TransferGuard(TransferGuard::Kind::File, limits, this);
    connect(fileGuard, &TransferGuard::breached, this, [this] {
        logError(fileGuard->breachText() + QStringLiteral(": ") + requested.fileName);
        fail(TcpFailure::Timeout, fileGuard->breachText());
    });
}

void QUpdateTcpClient::onConnected()
{
    // Requests are small and answered at once: send them without delay.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_state = Connected;
    emit connected();
    if (!heartbeatActive) {
        heartbeatActive = true;
        heartbeatTimer->start(kHeartbeatIntervalMs);
    }
}

void QUpdateTcpClient::onDisconnected()
{
    m_state = Disconnected;
    if (heartbeatActive) {
        heartbeatActive = false;
        heartbeatTimer->stop();
    }
    emit disconnected();
    // A loss that no error reported first.
    if (requestActive) {
        m_lastFailure = {TcpFailure::Network, kConnectionLost};
        failRequest();
    }
}

void QUpdateTcpClient::onError(QAbstractSocket::SocketError error)
{
    // A connection through a proxy that fails before it stands was refused
    // or lost by the proxy (Qt reports a refused tunnel as an access error).
    const bool connecting = m_state == Connecting;
    m_state = Error;
    QString text = socket->errorString();
    const QNetworkProxy through = socket->proxy();
    if (error == QAbstractSocket::ProxyAuthenticationRequiredError)
        text = kProxyAuthRefused + QStringLiteral("：") + text;
    else if (connecting && through.type() != QNetworkProxy::NoProxy)
        text = kProxyRefusedTcp.arg(through.hostName()).arg(through.port()) + text;
    fail(error == QAbstractSocket::SocketTimeoutError ? TcpFailure::Timeout : TcpFailure::Network, text);
}

void QUpdateTcpClient::onHeartbeatTimeout()
{
    if (m_state == Connected)
        sendHeartbeat();
}

bool QUpdateTcpClient::sendHeartbeat()
{
    return sendMessage(TcpProtocol::Heartbeat, TcpProtocol::encodeHeartbeat(QDateTime::currentMSecsSinceEpoch()));
}

bool QUpdateTcpClient::sendMessage(quint32 type, const QByteArray &payload)
{
    if (!isConnected())
        return false;
    MessageHeader header;
    header.length = static_cast<quint32>(payload.size());
    header.type = type;
    header.productType = productType;
    // One write: a request split over two small segments waits for the
    // peer's delayed acknowledgement.
    const QByteArray message = TcpProtocol::encodeHeader(header) + payload;
    if (socket->write(message) != message.size())
        return false;
    return socket->flush();
}

void QUpdateTcpClient::onReadyRead()
{
    // Receivers of our signals process events (the progress window does);
    // a readyRead inside them leaves the bytes in the socket for the loop
    // below, so messages are handled once and in order.
    if (reading)
        return;
    reading = true;
    while (socket->bytesAvailable() > 0) {
        reader.append(socket->readAll());
        bool fileDataMoved = false;
        while (processNextMessage(fileDataMoved)) {
        }
        // File data still arriving counts as a moving transfer, also while
        // a large chunk is only partly here.
        if (reader.buffered() >= TcpProtocol::kHeaderSize
            && TcpProtocol::decodeHeader(reader.data()).type == TcpProtocol::FileData)
            fileDataMoved = true;
        if (fileDataMoved && requestActive && silenceTimer->isActive())
            silenceTimer->start();
    }
    reading = false;
}

bool QUpdateTcpClient::processNextMessage(bool &fileDataMoved)
{
    MessageHeader header;
    QByteArray payload;
    switch (reader.next(header, payload)) {
    case TcpProtocol::FrameReader::Status::NeedMore:
    case TcpProtocol::FrameReader::Status::BadMagic:
        return false;
    case TcpProtocol::FrameReader::Status::TooLong:
        logError(kMessageTooLong + QStringLiteral(": ") + QString::number(header.length));
        fail(TcpFailure::Network, kMessageTooLong);
        socket->abort();
        return false;
    case TcpProtocol::FrameReader::Status::Message:
        break;
    }

    switch (header.type) {
    case TcpProtocol::HeartbeatReply:
        emit heartbeatReceived();
        break;
    case TcpProtocol::VersionReply: {
        VersionInfo info = TcpProtocol::decodeVersionReply(payload);
        info.rollout = TcpProtocol::rolloutOfField(header.reserved);
        info.steppingStone = TcpProtocol::isSteppingStoneField(header.reserved);
        emit versionChecked(info);
        break;
    }
    case TcpProtocol::FileData:
        fileDataMoved = true;
        return handleFileData(payload);
    case TcpProtocol::ErrorReply:
        fail(TcpFailure::Unknown, kServerError);
        break;
    default:
        break;
    }
    return true;
}

bool QUpdateTcpClient::handleFileData(const QByteArray &payload)
{
    const FileDataChunk chunk = TcpProtocol::decodeFileData(payload);
    // Data only ever belongs to the file requested, and only until its last
    // chunk: anything else (another file, a chunk after the last one) would
    // overwrite a file already complete. The stream cannot be trusted after.
    if (!requestActive || chunk.filePath != requested.filePath || chunk.fileName != requested.fileName)
        return rejectStream(kUnrequestedData.arg(chunk.filePath, chunk.fileName));
    if (currentFailed)
        return true;
    if (!transferStarted) {
        transferStarted = true;
        currentTotal = chunk.totalSize;
        currentReceived = 0;
        logInfo(QStringLiteral("开始接收文件传输: ") + requested.fileName + QStringLiteral(" (大小: ")
            + QString::number(currentTotal) + QStringLiteral(" 字节)"));
        emit sigFileDownloadProgress(requested.filePath, requested.fileName, 0, currentTotal);
    }
    // The announced size bounds the file: nothing past it is stored, and a
    // file is complete only with exactly that many bytes.
    const quint64 after = quint64(currentReceived) + quint64(chunk.data.size());
    if (chunk.totalSize != currentTotal)
        return rejectStream(kSizeChanged.arg(chunk.filePath, chunk.fileName));
    if (after > currentTotal)
        return rejectStream(kTooLong.arg(chunk.filePath, chunk.fileName));
    if (chunk.isLast && after != currentTotal)
        return rejectStream(kTooShort.arg(chunk.filePath, chunk.fileName));
    logInfo(QStringLiteral("收到文件数据块: ") + requested.fileName + QStringLiteral(" (大小: ")
        + QString::number(chunk.data.size()) + QStringLiteral(", 是否结束: ")
        + (chunk.isLast ? QStringLiteral("是") : QStringLiteral("否")) + QStringLiteral(")"));

    // Signals below may run code that starts a new request; work on copies.
    const QString path = requested.filePath;
    const QString name = requested.fileName;
    if (!m_chunkSink(path, name, chunk.data, chunk.isLast)) {
        // A chunk that cannot be stored dooms the file: waiting on is pointless.
        const QString text = QStringLiteral("Failed to save file data: %1/%2").arg(path, name);
        currentFailed = true;
        m_lastFailure = {TcpFailure::FileSystem, text};
        emit sigFileDownloadError(path, name, text);
        failRequest();
        return true;
    }
    currentReceived = static_cast<quint32>(after);
    fileGuard->addBytes(chunk.data.size());
    const quint32 total = currentTotal;
    const quint32 received = currentReceived;
    const int percent = percentOf(received, total);
    logInfo(QStringLiteral("文件传输进度: ") + name + QStringLiteral(" (") + QString::number(received)
        + QLatin1Char('/') + QString::number(total) + QStringLiteral(" 字节, ") + QString::number(percent)
        + QStringLiteral("%)"));
    if (chunk.isLast) {
        resetTransfer();
        requestActive = false;
        stopRequestBounds();
    }
    emit sigFileDownloadProgress(path, name, received, total);
    if (chunk.isLast) {
        logInfo(QStringLiteral("文件传输完成: ") + name);
        emit sigFileDownloadCompleted(path, name);
        emit requestFinished(true);
    }
    return true;
}

bool QUpdateTcpClient::rejectStream(const QString &text)
{
    logError(text);
    currentFailed = true;
    reader.clear();
    fail(TcpFailure::Network, text);
    socket->abort();
    return false;
}

void QUpdateTcpClient::resetTransfer()
{
    transferStarted = false;
    currentTotal = 0;
    currentReceived = 0;
    currentFailed = false;
}

void QUpdateTcpClient::abandonTransfer()
{
    if (transferStarted)
        m_chunkSink(requested.filePath, requested.fileName, QByteArray(), true);
    resetTransfer();
}

void QUpdateTcpClient::stopRequestBounds()
{
    silenceTimer->stop();
    fileGuard->stop();
}

void QUpdateTcpClient::failRequest()
{
    if (!requestActive)
        return;
    requestActive = false;
    stopRequestBounds();
    abandonTransfer();
    // The server may still be streaming the file: nothing buffered or still
    // arriving may be taken for the next request's.
    reader.clear();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    emit requestFinished(false);
}

void QUpdateTcpClient::fail(TcpFailure::Kind kind, const QString &text)
{
    m_lastFailure = {kind, text};
    emit errorOccurred(text);
    // Every failure ends a file request in flight.
    failRequest();
}

void QUpdateTcpClient::onSilence()
{
    if (!requestActive)
        return;
    currentFailed = true;
    m_lastFailure = {TcpFailure::Timeout, kDownloadTimeout};
    emit sigFileDownloadError(requested.filePath, requested.fileName, kTimeoutDetail);
    failRequest();
}

void QUpdateTcpClient::cancelRequest(const QString &reason)
{
    if (activeWaiter || requestActive)
        fail(TcpFailure::Cancelled, reason);
}

VersionInfo QUpdateTcpClient::sendVersionCheck(const VersionCheckRequest &request, int timeoutMs)
{
    if (!isConnected()) {
        fail(TcpFailure::Network, kNotConnected);
        return VersionInfo();
    }
    AsyncWaiter waiter;
    VersionInfo result;
    connect(this, &QUpdateTcpClient::versionChecked, &waiter, [&](const VersionInfo &info) {
        result = info;
        emit waiter.signalReceived();
    });
    connect(this, &QUpdateTcpClient::errorOccurred, &waiter, &AsyncWaiter::signalReceived);
    connect(this, &QUpdateTcpClient::disconnected, &waiter, &AsyncWaiter::signalReceived);

    if (!sendMessage(TcpProtocol::VersionCheck, TcpProtocol::encodeVersionCheckRequest(request))) {
        fail(TcpFailure::Network, kVersionSendFailed);
        return VersionInfo();
    }
    activeWaiter = &waiter;
    const bool answered = waiter.wait(timeoutMs);
    activeWaiter = nullptr;
    return answered ? result : VersionInfo();
}

bool QUpdateTcpClient::startDownload(const FileRequest &file, int silenceMs)
{
    if (!isConnected()) {
        fail(TcpFailure::Network, kNotConnected);
        return false;
    }
    if (requestActive) {
        m_lastFailure = {TcpFailure::Unknown, kRequestBusy};
        return false;
    }
    // Whatever arrived for an earlier request that never finished is not
    // part of this file.
    abandonTransfer();
    requested = file;
    requestActive = true;
    // A send that fails may already have closed the socket.
    if (!sendMessage(TcpProtocol::FileDownload, TcpProtocol::encodeFileRequest(file, releaseChoice)) || !isConnected()) {
        requestActive = false;
        fail(TcpFailure::Network, kFileSendFailed);
        return false;
    }
    if (silenceMs > 0)
        silenceTimer->start(silenceMs);
    fileGuard->start();
    return true;
}

bool QUpdateTcpClient::downloadFile(const FileRequest &file, int silenceMs)
{
    AsyncWaiter waiter;
    bool ended = false;
    bool result = false;
    connect(this, &QUpdateTcpClient::requestFinished, &waiter, [&](bool ok) {
        ended = true;
        result = ok;
        emit waiter.signalReceived();
    });
    if (!startDownload(file, silenceMs))
        return false;
    // The request bounds itself (silence, least rate): no time-out here.
    if (!ended)
        waiter.wait(0);
    return result;
}
