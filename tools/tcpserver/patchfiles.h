#pragma once

#include "tcp/messages.h"

#include <QMap>
#include <QPair>
#include <QString>

// The binary patches the server offers beside a release: what the publisher
// wrote below <root>/_patches for that release and nothing else. Offered
// are the release's own patch index (<Folder>.index, and its .sig when
// there is one) and the patch files that index lists, each named by its
// place below root split the TCP way (folder, file name), e.g.
// ("_patches", "v2.index") and ("_patches/<target>", "<base>.patch").
// Patches of other releases, stray files and anything reached through a
// link are never offered. They are not release files: no version reply
// lists them, so only a client that knows patches asks for them.
class PatchFiles
{
public:
    // The patches of the release (version, folder) published below root.
    // An index that is missing, too large, malformed or of another release
    // offers nothing. A listed patch is left out when it is missing, not a
    // plain file, reached through a link, of another size than the index
    // says or named wider than the protocol's fields: a client asking for it
    // gets an error reply and fetches that file whole.
    static PatchFiles scan(const QString &root, const QString &version, const QString &folder);

    // Where the offered file with exactly this path and name lies on disk;
    // empty when none is.
    QString find(const FileRequest &id) const;

private:
    QMap<QPair<QString, QString>, QString> files; // (path, name) -> file on disk
};
