#pragma once

#include "release.h"

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QString>

#include <memory>

class ReleaseIndex;

// One release as read from disk, never changed once published: the listing
// and the version replies that offer all of it, encoded once and shared by
// every connection that sends them.
class ReleaseSnapshot
{
public:
    // isSteppingStone marks every offer of the release as the stepping
    // stone; steppingStone is the index of the stepping stone the release
    // names (null for none).
    ReleaseSnapshot(Release release, bool isSteppingStone, std::shared_ptr<ReleaseIndex> steppingStone);

    const Release &release() const { return rel; }
    // The whole VersionReply message (header and payload) for a client at
    // `installedVersion` with `productType`.
    QByteArray versionReply(const QString &installedVersion, qint32 productType) const;
    // The stepping stone the release names, indexed like the release (its
    // own folder, read again when its description changes); null when the
    // release names none.
    ReleaseIndex *steppingStone() const { return stone.get(); }

private:
    Release rel;
    const bool isStone;
    const std::shared_ptr<ReleaseIndex> stone;
    // Offers of every file, for the product types a client names (1..6 and
    // 0); other types are encoded per request, so no client can grow this.
    static constexpr int kCachedProductTypes = 7;
    mutable QMutex offersLock;
    mutable QByteArray offers[kCachedProductTypes];
};

// The release below a root folder, read at start and again only when its
// update.ini changes (size, modification or status-change time: the
// publisher writes update.ini last and replaces it whole, so any new release
// shows there). Checking costs one stat; the listing is read once per
// release. A release that cannot be served is read again at every check
// until it is fixed. Safe to use from any thread: a new release replaces the
// old one at once, so a caller holds either the old or the new one whole.
//
// The newest release is the one update.ini describes. The stepping stone it
// names has an index of its own, made with each new newest release: its
// description is <root>/<SteppingStone>.ini (one hop: a stepping stone's
// own stepping stone is not followed).
class ReleaseIndex
{
public:
    // The newest release below root, or with steppingStone (a folder name)
    // that stepping stone.
    explicit ReleaseIndex(const QString &root, const QString &steppingStone = QString());

    // The current release, read again first when its description (update.ini,
    // or the stepping stone's .ini) changed. While another thread reads a
    // changed release this returns the one before.
    std::shared_ptr<const ReleaseSnapshot> refreshed();
    // The current release without looking at the disk.
    std::shared_ptr<const ReleaseSnapshot> current() const;

private:
    struct Stamp
    {
        bool exists = false;
        qint64 size = -1;
        QDateTime modified;
        QDateTime changed;
        bool operator==(const Stamp &other) const
        {
            return exists == other.exists && size == other.size && modified == other.modified && changed == other.changed;
        }
    };
    Stamp stampNow() const;
    std::shared_ptr<const ReleaseSnapshot> scan() const;

    const QString root;
    const QString stoneFolder; // empty for the newest release
    const QString iniPath;
    QMutex scanLock; // one reader of the disk at a time
    mutable QMutex swapLock;
    std::shared_ptr<const ReleaseSnapshot> snapshot;
    Stamp stamp;
};
