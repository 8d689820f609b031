#include "connectionlimits.h"

#include <QMutexLocker>

ConnectionLimits::ConnectionLimits(int total, int address)
    : maxTotal(total)
    , maxPerAddress(address)
{
}

ConnectionLimits::Verdict ConnectionLimits::admit(const QString &address)
{
    QMutexLocker locker(&lock);
    if (maxTotal > 0 && total >= maxTotal)
        return Verdict::ServerFull;
    const int fromThere = perAddress.value(address, 0);
    if (maxPerAddress > 0 && fromThere >= maxPerAddress)
        return Verdict::AddressFull;
    perAddress.insert(address, fromThere + 1);
    ++total;
    return Verdict::Admitted;
}

void ConnectionLimits::release(const QString &address)
{
    QMutexLocker locker(&lock);
    const auto it = perAddress.find(address);
    if (it == perAddress.end())
        return;
    --total;
    if (--it.value() == 0)
        perAddress.erase(it);
}

int ConnectionLimits::open() const
{
    QMutexLocker locker(&lock);
    return total;
}
