#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

// How many connections the server holds at once, in all and from one
// address; 0 lifts a limit. Safe to use from any thread.
class ConnectionLimits
{
public:
    enum class Verdict { Admitted, ServerFull, AddressFull };

    ConnectionLimits(int maxTotal, int maxPerAddress);

    // Counts the connection in when both limits allow it; an admitted one
    // is counted out with release().
    Verdict admit(const QString &address);
    void release(const QString &address);
    int open() const;

private:
    const int maxTotal;
    const int maxPerAddress;
    mutable QMutex lock;
    int total = 0;
    QHash<QString, int> perAddress; // only addresses with connections open
};
