#include "updateserver.h"

#include "serversession.h"
#include "socketsetup.h"

#include "platform/socketdescriptor.h"

#include <QMutexLocker>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>
#include <QTimer>

namespace {

// After the system refused to accept (descriptors or memory exhausted) the
// server listens again this much later: connections closing meanwhile free
// what it lacked.
constexpr int kAcceptRetryMs = 100;

} // namespace

void reportLine(const QString &line)
{
    static QMutex lock;
    QMutexLocker locker(&lock);
    QTextStream out(stdout);
    out << line << Qt::endl;
}

UpdateServer::UpdateServer(const ServeOptions &options, QObject *parent)
    : QTcpServer(parent)
    , opts(options)
    , releaseIndex(options.root)
    , connectionLimits(options.maxConnections, options.maxPerAddress)
    , faultsLeft(options.faultyRequests)
{
    const int count = opts.threads > 0 ? opts.threads : qMax(1, QThread::idealThreadCount());
    for (int i = 0; i < count; ++i) {
        auto *thread = new QThread(this);
        auto *context = new QObject;
        context->moveToThread(thread);
        connect(thread, &QThread::finished, context, &QObject::deleteLater);
        thread->start();
        threads.append(thread);
        contexts.append(context);
    }
    // Qt stops accepting after such an error; it is taken up again later.
    connect(this, &QTcpServer::acceptError, this, [this] {
        pauseAccepting();
        QTimer::singleShot(kAcceptRetryMs, this, &QTcpServer::resumeAccepting);
    });
}

UpdateServer::~UpdateServer()
{
    close();
    for (QThread *thread : qAsConst(threads)) {
        thread->quit();
        thread->wait();
    }
}

bool UpdateServer::start(const QHostAddress &address, quint16 listenPort)
{
    const qintptr descriptor = SocketSetup::openListeningSocket(address, listenPort, opts.backlog);
    if (descriptor >= 0)
        return setSocketDescriptor(descriptor);
    return listen(address, listenPort);
}

bool UpdateServer::takeFault()
{
    if (opts.stallAfterChunks < 0 && opts.dropAfterChunks < 0)
        return false;
    QMutexLocker locker(&faultLock);
    if (faultsLeft == 0)
        return false;
    if (faultsLeft > 0)
        --faultsLeft;
    return true;
}

void UpdateServer::incomingConnection(qintptr descriptor)
{
    QObject *context = contexts.at(nextThread);
    nextThread = (nextThread + 1) % contexts.size();
    QMetaObject::invokeMethod(context, [this, context, descriptor] {
        auto *socket = new QTcpSocket(context);
        if (!socket->setSocketDescriptor(descriptor)) {
            reportLine(QStringLiteral("accepted connection not taken up (%1), closed").arg(socket->errorString()));
            delete socket;
            closeSocketDescriptor(descriptor);
            return;
        }
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        const QString address = socket->peerAddress().toString();
        const ConnectionLimits::Verdict verdict = connectionLimits.admit(address);
        if (verdict != ConnectionLimits::Verdict::Admitted) {
            reportLine(QStringLiteral("connection from %1 refused (%2)")
                           .arg(address,
                                verdict == ConnectionLimits::Verdict::ServerFull
                                    ? QStringLiteral("%1 open").arg(connectionLimits.open())
                                    : QStringLiteral("%1 from that address").arg(opts.maxPerAddress)));
            // The protocol's busy answer; the client takes it as a server
            // error and tries again later.
            socket->write(TcpProtocol::encodeMessage(TcpProtocol::ErrorReply, 0, QByteArray()));
            socket->disconnectFromHost();
            return;
        }
        new ServerSession(socket, address, this);
    });
}
