#include "platform/raiserequest.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#ifndef Q_OS_WIN
#include "platform/privatefolder.h"
#endif

namespace {

// Unix: a socket file in the user's private folder, where no other user can
// plant one. Windows: a pipe of the same name.
QString socketName(const QString &key)
{
    const QString name = QStringLiteral("update-raise-")
        + QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(20));
#ifdef Q_OS_WIN
    return name;
#else
    const QString folder = privateRuntimeFolder();
    return folder.isEmpty() ? QString() : folder + name;
#endif
}

} // namespace

RaiseListener::RaiseListener(const QString &key, QObject *parent)
    : QObject(parent)
{
    const QString name = socketName(key);
    if (name.isEmpty())
        return;
    server = new QLocalServer(this);
    // A socket file left by a killed updater: the caller holds the guard,
    // so no live one listens there.
    QLocalServer::removeServer(name);
    if (!server->listen(name))
        return;
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *knock = server->nextPendingConnection())
            knock->deleteLater();
        emit raiseRequested();
    });
}

bool RaiseListener::isListening() const
{
    return server && server->isListening();
}

bool requestRaise(const QString &key, int timeoutMs)
{
    const QString name = socketName(key);
    if (name.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(name);
    const bool connected = socket.waitForConnected(timeoutMs);
    socket.abort();
    return connected;
}
