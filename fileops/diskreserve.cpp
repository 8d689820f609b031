#include "fileops/diskreserve.h"

#include <QFileInfo>
#include <QStorageInfo>

DiskReserve::DiskReserve(const QString &path, qint64 reserveBytes)
    : folder(path)
    , reserve(reserveBytes)
{
}

bool DiskReserve::admit(qint64 bytes)
{
    if (reserve <= 0)
        return true;
    if (bytes >= room) {
        QString existing = folder;
        while (!QFileInfo::exists(existing) && existing.contains(QLatin1Char('/')))
            existing = QFileInfo(existing).path();
        QStorageInfo storage(existing);
        lastFree = storage.isValid() ? storage.bytesAvailable() : 0;
        room = lastFree - reserve;
    }
    if (bytes > room)
        return false;
    room -= bytes;
    return true;
}

QString DiskReserve::shortageText() const
{
    return QStringLiteral("磁盘空间不足（剩余%1 MB，需保留%2 MB）").arg(lastFree >> 20).arg(reserve >> 20);
}
