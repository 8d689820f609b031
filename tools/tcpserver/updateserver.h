#pragma once

#include "connectionlimits.h"
#include "releaseindex.h"

#include <QMutex>
#include <QTcpServer>
#include <QVector>

#include <atomic>

class QThread;

// How the server streams, what it holds at once, and the faults it can be
// told to show (for tests of the client's behaviour against a misbehaving
// server).
struct ServeOptions
{
    QString root;
    int chunkSize = 64 * 1024;
    int stallAfterChunks = -1; // a faulty transfer goes silent after this many chunks
    int dropAfterChunks = -1;  // a faulty transfer closes the connection after this many
    int faultyRequests = -1;   // how many file requests are faulty (-1: all)
    int chunkDelayMs = 0;      // pause before each chunk (a slow but moving transfer)
    int maxConnections = 10000; // connections open at once, beyond them a busy reply (0: no limit)
    int maxPerAddress = 64;     // the same from one client address (0: no limit)
    int idleTimeoutSec = 120;   // a connection that neither completes a request nor takes a reply byte for this long is closed (0: never)
    int threads = 0;            // threads serving connections (0: one per core)
    int backlog = 4096;         // connections the system queues before they are accepted
};

// Writes one line to standard output; lines from several threads never mix.
void reportLine(const QString &line);

// Serves the release below options.root over the update protocol, and its
// stepping stone to clients that declare stepping stones and whose version
// is below the release's minimum (see ServerSession). One
// thread accepts connections and hands them round to the serving threads,
// each with its own event loop; a connection stays on its thread. The
// release is indexed at start and again when it changes (ReleaseIndex).
// A connection beyond a limit gets an ErrorReply and is closed. Every
// connection and request is reported on standard output, one line each,
// with how many are open and streaming.
class UpdateServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit UpdateServer(const ServeOptions &options, QObject *parent = nullptr);
    ~UpdateServer() override;

    // Listens on address:port (0: a free port) with the configured backlog
    // where the system allows it.
    bool start(const QHostAddress &address, quint16 port);
    quint16 port() const { return serverPort(); }

    // Used by the connections, from their threads.
    const ServeOptions &options() const { return opts; }
    ReleaseIndex &index() { return releaseIndex; }
    ConnectionLimits &limits() { return connectionLimits; }
    // True when the next file transfer is to be faulty (and counts it).
    bool takeFault();
    std::atomic<int> streamingSessions{0};

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    const ServeOptions opts;
    ReleaseIndex releaseIndex;
    ConnectionLimits connectionLimits;
    QMutex faultLock;
    int faultsLeft;
    // A context object per serving thread; sockets are its children.
    QVector<QThread *> threads;
    QVector<QObject *> contexts;
    int nextThread = 0;
};
