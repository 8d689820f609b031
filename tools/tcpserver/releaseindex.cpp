#include "releaseindex.h"

#include "config/names.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

ReleaseSnapshot::ReleaseSnapshot(Release release)
    : rel(std::move(release))
{
}

QByteArray ReleaseSnapshot::versionReply(const QString &installedVersion, qint32 productType) const
{
    VersionReplyContent content;
    content.needUpdate = installedVersion != rel.version;
    content.version = rel.version;
    content.productCode = productType;
    const bool cached = content.needUpdate && productType >= 0 && productType < kCachedProductTypes;
    if (cached) {
        QMutexLocker locker(&offersLock);
        if (!offers[productType].isEmpty())
            return offers[productType];
    }
    if (content.needUpdate) {
        content.files.reserve(rel.files.size());
        for (const ReleaseFile &file : rel.files)
            content.files.append(file.id);
    }
    const QByteArray message
        = TcpProtocol::encodeMessage(TcpProtocol::VersionReply, 0, TcpProtocol::encodeVersionReply(content),
                                     content.needUpdate ? TcpProtocol::rolloutField(rel.rollout) : 0);
    if (cached) {
        QMutexLocker locker(&offersLock);
        offers[productType] = message;
    }
    return message;
}

ReleaseIndex::ReleaseIndex(const QString &releaseRoot)
    : root(releaseRoot)
    , iniPath(QDir(releaseRoot).filePath(Names::kUpdateIniFile))
{
    stamp = stampNow();
    snapshot = std::make_shared<const ReleaseSnapshot>(scanRelease(root));
}

ReleaseIndex::Stamp ReleaseIndex::stampNow() const
{
    const QFileInfo info(iniPath);
    Stamp now;
    now.exists = info.exists();
    if (now.exists) {
        now.size = info.size();
        now.modified = info.lastModified();
        now.changed = info.metadataChangeTime();
    }
    return now;
}

std::shared_ptr<const ReleaseSnapshot> ReleaseIndex::current() const
{
    QMutexLocker locker(&swapLock);
    return snapshot;
}

std::shared_ptr<const ReleaseSnapshot> ReleaseIndex::refreshed()
{
    std::shared_ptr<const ReleaseSnapshot> held = current();
    if (!scanLock.tryLock())
        return held;
    const Stamp now = stampNow();
    if (now == stamp && held->release().isValid()) {
        scanLock.unlock();
        return held;
    }
    auto fresh = std::make_shared<const ReleaseSnapshot>(scanRelease(root));
    {
        QMutexLocker locker(&swapLock);
        snapshot = fresh;
    }
    stamp = now;
    scanLock.unlock();
    return fresh;
}
