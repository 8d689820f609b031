#pragma once
// A second start of an installation's updater, refused by the guard, asks
// the running one to bring its window to the front instead of vanishing
// without a trace. The running updater listens on a local socket (a named
// pipe on Windows) named after the guard key; the second start connects,
// which is the whole request, and ends.

#include <QObject>
#include <QString>

class QLocalServer;

class RaiseListener : public QObject
{
    Q_OBJECT
public:
    // Listens for the updater holding key's guard. A name that cannot be
    // listened on (no private folder, a name taken) leaves it deaf: the
    // second start then ends as before.
    explicit RaiseListener(const QString &key, QObject *parent = nullptr);

    bool isListening() const;

signals:
    // A second start knocked.
    void raiseRequested();

private:
    QLocalServer *server = nullptr;
};

// Knocks at the running updater of key; waits at most timeoutMs. True when
// it answered the connection.
bool requestRaise(const QString &key, int timeoutMs);
