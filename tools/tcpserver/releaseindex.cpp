#include "releaseindex.h"

#include "config/names.h"
#include "fileops/pathpolicy.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

ReleaseSnapshot::ReleaseSnapshot(Release release, bool isSteppingStone, std::shared_ptr<ReleaseIndex> steppingStone)
    : rel(std::move(release))
    , isStone(isSteppingStone)
    , stone(std::move(steppingStone))
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
                                     !content.needUpdate ? 0
                                     : isStone           ? TcpProtocol::kSteppingStoneFlag
                                                         : TcpProtocol::rolloutField(rel.rollout));
    if (cached) {
        QMutexLocker locker(&offersLock);
        offers[productType] = message;
    }
    return message;
}

ReleaseIndex::ReleaseIndex(const QString &releaseRoot, const QString &steppingStone)
    : root(releaseRoot)
    , stoneFolder(steppingStone)
    , iniPath(QDir(releaseRoot).filePath(steppingStone.isEmpty() ? Names::kUpdateIniFile
                                                                 : steppingStone + QStringLiteral(".ini")))
{
    stamp = stampNow();
    snapshot = scan();
}

std::shared_ptr<const ReleaseSnapshot> ReleaseIndex::scan() const
{
    if (!stoneFolder.isEmpty()) {
        Release stone;
        if (PathPolicy::isPlainFileName(stoneFolder))
            stone = scanRelease(root, QFileInfo(iniPath).fileName());
        else
            stone.error = QStringLiteral("SteppingStone is no folder name: ") + stoneFolder;
        return std::make_shared<const ReleaseSnapshot>(std::move(stone), true, nullptr);
    }
    Release newest = scanRelease(root);
    std::shared_ptr<ReleaseIndex> stone;
    if (newest.isValid() && !newest.steppingStone.isEmpty())
        stone = std::make_shared<ReleaseIndex>(root, newest.steppingStone);
    return std::make_shared<const ReleaseSnapshot>(std::move(newest), false, std::move(stone));
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
    std::shared_ptr<const ReleaseSnapshot> fresh = scan();
    {
        QMutexLocker locker(&swapLock);
        snapshot = fresh;
    }
    stamp = now;
    scanLock.unlock();
    return fresh;
}
