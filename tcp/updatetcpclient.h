#pragma once

#include "config/proxysettings.h"
#include "config/transferlimits.h"
#include "tcp/messages.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <functional>

class AsyncWaiter;
class QTcpSocket;
class QTimer;
class TransferGuard;

// Why the client's last request or connection failed: the kind, decided
// where the failure happens, and the text for people.
struct TcpFailure
{
    enum Kind { Network = 0, FileSystem = 1, Timeout = 2, Cancelled = 3, Unknown = 4 };
    Kind kind = Unknown;
    QString text;
};

// One TCP connection to the update server: bounded connect, heartbeat
// every 30 s, framing of the received stream, server messages as signals,
// received file chunks handed to the chunk sink (the staging writer unless
// replaced), a file request that runs without blocking, and two blocking
// requests that wait in a nested event loop. Several clients may run file
// requests side by side, one each.
//
// GUI thread only. Signals are delivered directly, also from inside the
// blocking requests and inside any event processing a receiver does.
// The client never reconnects by itself.
class QUpdateTcpClient : public QObject
{
    Q_OBJECT
public:
    enum ConnectionState { Disconnected = 0, Connecting = 1, Connected = 2, Error = 3 };

    // Stores one received chunk; false when it could not be stored. isLast
    // completes the file. An empty last chunk only closes a file left open.
    using ChunkSink = std::function<bool(const QString &path, const QString &name, const QByteArray &data, bool isLast)>;

    static constexpr int kHeartbeatIntervalMs = 30000;

    explicit QUpdateTcpClient(QObject *parent = nullptr);
    // Stops the heartbeat and disconnects.
    ~QUpdateTcpClient() override;

    // Connects and waits at most timeoutMs. False while already connecting or
    // connected ("已经连接或正在连接中") and when the connection failed
    // (lastError holds the socket's text).
    bool connectToServer(const QString &host, quint16 port, int timeoutMs = 1000);
    // Starts connecting and returns at once; connected() or errorOccurred()
    // follows. False as connectToServer when already connecting or
    // connected. The caller bounds the wait.
    bool beginConnect(const QString &host, quint16 port);
    bool isConnected() const;
    ConnectionState state() const { return m_state; }

    // Sends a version check and waits up to timeoutMs for the reply. Returns
    // the reply, or a default VersionInfo on time-out, server error or when
    // not connected.
    VersionInfo sendVersionCheck(const VersionCheckRequest &request, int timeoutMs);

    // Requests one file and returns at once; requestFinished follows once,
    // true when the file's last chunk is stored. False, with nothing to
    // follow, when not connected, a file request is already in flight or
    // the request could not be sent. Its chunks must carry the requested path and name and add up to
    // exactly the size they announce; more bytes, fewer at the last chunk,
    // or a chunk of any other file (also one after the last) break the
    // protocol: the request fails and the connection is closed.
    // silenceMs bounds the time without file data arriving (0 or less: no
    // bound); a transfer that keeps moving is cut off only when its data
    // arrive slower than the least rate of the limits (a Timeout failure). Ends false at
    // once on a server error, a lost connection, a chunk that cannot be
    // stored or cancelRequest(). After a failure the connection is closed
    // (the server may still be streaming the file, and those bytes must not
    // be taken for the next request's) and the half-received file is closed
    // in the sink: a later request starts that file again from its start.
    bool startDownload(const FileRequest &file, int silenceMs);
    // startDownload, then waits in a nested event loop until it has ended:
    // true when the file arrived.
    bool downloadFile(const FileRequest &file, int silenceMs);
    bool isDownloading() const { return requestActive; }

    // Ends the request in flight (the file request or a blocking one) with
    // a Cancelled failure saying reason. Without one nothing happens.
    void cancelRequest(const QString &reason);

    // Header + payload; false when not connected or the socket refused bytes.
    bool sendMessage(quint32 type, const QByteArray &payload);
    // A heartbeat now (heartbeatReceived follows the server's reply).
    bool sendHeartbeat();
    // The last failure; its text is empty until one happens.
    TcpFailure lastFailure() const { return m_lastFailure; }
    QString lastError() const { return m_lastFailure.text; }

    // Where received chunks go (default: nowhere, every chunk is refused).
    void setChunkSink(ChunkSink sink);
    ChunkSink chunkSink() const { return m_chunkSink; }
    // The least file rate a file request holds a transfer to (default: the
    // built-in limits). Not while a file request is in flight.
    void setLimits(const TransferLimits &transferLimits);
    // The product type every message header carries (default 1, as without
    // a configured Project/Type).
    void setProductType(qint32 type) { productType = type; }
    // The release every later file request is for (default: the newest).
    void setReleaseChoice(TcpProtocol::ReleaseChoice choice) { releaseChoice = choice; }
    // The proxy later connections go through (default: the system's), and
    // the credentials a proxy that asks is answered with, once per
    // connection attempt.
    void setProxySettings(const ProxySettings &settings) { proxy = settings; }

signals:
    void connected();
    void disconnected();
    void errorOccurred(const QString &error);
    void versionChecked(const VersionInfo &info);
    void sigFileDownloadProgress(const QString &filePath, const QString &fileName, uint32_t downloaded, uint32_t total);
    void sigFileDownloadCompleted(const QString &filePath, const QString &fileName);
    void sigFileDownloadError(const QString &filePath, const QString &fileName, const QString &error);
    void heartbeatReceived();
    // The file request of startDownload has ended; lastFailure() says why
    // when ok is false.
    void requestFinished(bool ok);

private slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void onHeartbeatTimeout();
    void onSilence();

private:
    // Takes and handles the next complete message; false when it waits for
    // more bytes or dropped the buffer.
    bool processNextMessage(bool &fileDataMoved);
    // Stores one chunk of the requested file; false when the stream broke
    // the protocol and the connection was closed.
    bool handleFileData(const QByteArray &payload);
    // Fails the request, drops what is buffered and closes the connection.
    bool rejectStream(const QString &text);
    // Records the failure and reports its text through errorOccurred.
    void fail(TcpFailure::Kind kind, const QString &text);
    void resetTransfer();
    void abandonTransfer();
    // Ends the file request in flight as failed: the half-received file is
    // closed in the sink, the connection closed, requestFinished(false).
    void failRequest();
    void stopRequestBounds();

    QTcpSocket *socket;
    QTimer *heartbeatTimer;
    // Runs while a file request waits for data; file data restarts it.
    QTimer *silenceTimer;
    ConnectionState m_state = Disconnected;
    TcpFailure m_lastFailure;
    QString host;
    quint16 port = 0;
    TcpProtocol::FrameReader reader;
    bool heartbeatActive = false;
    bool reading = false;
    ChunkSink m_chunkSink;

    // The file request in flight (requestActive) and how much of its file
    // arrived.
    FileRequest requested;
    bool requestActive = false;
    bool transferStarted = false;
    quint32 currentTotal = 0;
    quint32 currentReceived = 0;
    bool currentFailed = false;

    // The blocking version check in flight, if any.
    AsyncWaiter *activeWaiter = nullptr;
    // Holds the file request in flight to the least rate of limits.
    TransferGuard *fileGuard;
    TransferLimits limits;
    qint32 productType = 1;
    TcpProtocol::ReleaseChoice releaseChoice = TcpProtocol::ReleaseChoice::Newest;
    ProxySettings proxy;
    int proxyAnswers = 0; // challenges answered in the connection attempt
};
