#pragma once

#include "release.h"

#include <QFile>
#include <QObject>
#include <QQueue>
#include <QTcpServer>

class QTcpSocket;
class QTimer;

// How the server streams, and the faults it can be told to show (for tests
// of the client's behaviour against a misbehaving server).
struct ServeOptions
{
    QString root;
    int chunkSize = 64 * 1024;
    int stallAfterChunks = -1; // a faulty transfer goes silent after this many chunks
    int dropAfterChunks = -1;  // a faulty transfer closes the connection after this many
    int faultyRequests = -1;   // how many file requests are faulty (-1: all)
    int chunkDelayMs = 0;      // pause before each chunk (a slow but moving transfer)
    int maxConnections = 0;    // connections beyond this many open are closed at once (0: no limit)
};

// Serves the release below options.root over the update protocol, to any
// number of connections at once, each streaming its own file. The release is
// read again at every version check, so a new release can be put in place
// while the server runs. Every connection and request is reported on
// standard output, one line each, with how many are open and streaming.
class UpdateServer : public QObject
{
    Q_OBJECT
public:
    explicit UpdateServer(const ServeOptions &options, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    const Release &release() const { return current; }

    // Read by sessions.
    const ServeOptions &options() const { return opts; }
    // Reads the release again; used by the version check.
    const Release &rescan();
    // True when the next file transfer is to be faulty (and counts it).
    bool takeFault();
    // Sessions open and sessions streaming a file, kept by the sessions.
    int openSessions = 0;
    int streamingSessions = 0;

private:
    void onNewConnection();

    ServeOptions opts;
    QTcpServer server;
    Release current;
    int faultsLeft;
};

// One client connection: requests are answered in order; a file is streamed
// chunk by chunk while the socket's send buffer stays small, so a slow
// client slows the server instead of filling its memory.
class ServerSession : public QObject
{
    Q_OBJECT
public:
    ServerSession(QTcpSocket *socket, UpdateServer *server);
    ~ServerSession() override;

private:
    void setStreaming(bool on);
    void onReadyRead();
    void handle(quint32 type, const QByteArray &payload);
    void reply(quint32 type, const QByteArray &payload);
    void answerVersionCheck(const QByteArray &payload);
    // Opens the next requested file that can be served (answering the others
    // with an error reply); the caller pumps.
    void startNextFile();
    void pump();
    bool sendChunk();

    QTcpSocket *socket;
    UpdateServer *server;
    TcpProtocol::FrameReader reader;
    QQueue<FileRequest> pending;
    QTimer *delayTimer;

    // The transfer in progress.
    bool streaming = false;
    bool stalled = false;
    bool faulty = false;
    FileRequest streamingId;
    QFile file;
    quint32 totalSize = 0;
    quint32 sent = 0;
    int chunksSent = 0;
};
