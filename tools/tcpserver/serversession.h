#pragma once

#include "releaseindex.h"
#include "tcp/messages.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QQueue>

class QSocketNotifier;
class QTcpSocket;
class QTimer;
class UpdateServer;

// One client connection, on the thread of its socket. Requests are answered
// in order, and what the connection holds stays small whatever the client
// does:
//  - a message announcing more than the largest request closes it;
//  - requests are read only while the replies before them have (nearly)
//    left: a client that does not read gets no more work done for it, and
//    the system's buffers push back on its sending;
//  - replies go out in slices as the socket drains (a version reply is
//    shared with every other connection sending it), file data is read from
//    disk as the socket drains (where the system offers it, it goes from
//    the file cache to the socket without passing through this process);
//  - a connection that neither completes a request nor takes reply bytes
//    for the idle time-out is closed.
class ServerSession : public QObject
{
    Q_OBJECT
public:
    // The session lives as long as the socket; `address` is the peer's as
    // counted by the server's limits.
    ServerSession(QTcpSocket *socket, const QString &address, UpdateServer *server);
    ~ServerSession() override;

private:
    bool busy() const;
    void setStreaming(bool on);
    void readRequests();
    void onBytesWritten();
    void handle(quint32 type, const QByteArray &payload);
    void reply(quint32 type, const QByteArray &payload);
    void queue(const QByteArray &message);
    void send(const char *data, qint64 size);
    void restartIdleTimer();
    void answerVersionCheck(const QByteArray &payload);
    // The release a version check is answered with: newest, or for a client
    // that declared stepping stones and whose version is below newest's
    // minimum, the stepping stone newest names, when it can be served (else
    // newest, and the log says why).
    std::shared_ptr<const ReleaseSnapshot> offerFor(const VersionCheckRequest &request,
                                                    const std::shared_ptr<const ReleaseSnapshot> &newest);
    // Opens the next requested file that can be served (answering the others
    // with an error reply); the caller pumps.
    void startNextFile();
    void pump();
    bool sendChunk();
    bool directPending() const;
    bool drainDirect();
    bool queueFileData(const QByteArray &prefix, quint32 size);
    void endFile();
    void closeIdle();

    QTcpSocket *socket;
    const QString address;
    UpdateServer *server;
    TcpProtocol::FrameReader reader;
    // Requests not yet served, each with the release it is for.
    struct PendingFile
    {
        FileRequest id;
        TcpProtocol::ReleaseChoice release = TcpProtocol::ReleaseChoice::Newest;
    };
    QQueue<PendingFile> pending;
    QTimer *delayTimer;
    QTimer *idleTimer;
    QElapsedTimer activity; // since the last request or reply byte taken
    // Replies not yet handed to the socket, the first one from outOffset.
    QQueue<QByteArray> outbox;
    int outOffset = 0;

    // The transfer in progress.
    bool streaming = false;
    bool stalled = false;
    bool faulty = false;
    FileRequest streamingId;
    QFile file;
    QByteArray chunkBuffer; // a FileData message queued with the socket, reused
    // The FileData message being sent directly (sendsFiles): what is left
    // of its fixed part, then of its data at directFrom in the file; while
    // any is left nothing else is sent and no request is read, and the
    // session waits for the socket to become writable again.
    QByteArray directHead;
    int directHeadSent = 0;
    qint64 directFrom = 0;
    qint64 directBodyLeft = 0;
    bool directLast = false;
    QSocketNotifier *writable = nullptr;
    quint32 totalSize = 0;
    quint32 sent = 0;
    int chunksSent = 0;
};
