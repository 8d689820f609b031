#include "patchfiles.h"

#include "delta/patchsource.h"
#include "fileops/pathpolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

namespace {

bool fits(const QString &text, int width)
{
    return text.toUtf8().size() <= width - 1;
}

struct Offer
{
    FileRequest id;
    QString localPath;
    qint64 size = 0;
};

// The file at relative (below root, "/"-separated) as it is offered, or
// nothing when it is not a plain file below the patch folder of a size the
// protocol carries, is reached through a link or named wider than its fields.
std::optional<Offer> offered(const QString &root, const QString &relative)
{
    const QFileInfo info(QDir(root).filePath(relative));
    if (!info.isFile() || info.isSymLink() || !PathPolicy::isFreeOfLinks(root, relative)
        || !PathPolicy::isStrictlyInside(QDir(root).filePath(PatchLayout::kFolder), info.filePath())
        || info.size() > 0xFFFFFFFFLL)
        return std::nullopt;
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    Offer file;
    file.id.filePath = relative.left(slash);
    file.id.fileName = relative.mid(slash + 1);
    file.localPath = info.filePath();
    file.size = info.size();
    if (slash < 0 || !fits(file.id.filePath, TcpProtocol::kPathWidth) || !fits(file.id.fileName, TcpProtocol::kNameWidth))
        return std::nullopt;
    return file;
}

} // namespace

PatchFiles PatchFiles::scan(const QString &root, const QString &version, const QString &folder)
{
    PatchFiles patches;
    const auto index = offered(root, PatchLayout::indexPath(folder));
    if (!index || index->size > PatchSource::kMaxIndexBytes)
        return patches;
    QFile file(index->localPath);
    if (!file.open(QIODevice::ReadOnly))
        return patches;
    const auto parsed = parsePatchIndex(file.read(PatchSource::kMaxIndexBytes));
    if (!parsed || parsed->version != version || parsed->folder != folder)
        return patches;
    const auto add = [&patches](const Offer &offer) {
        patches.files.insert(qMakePair(offer.id.filePath, offer.id.fileName), offer.localPath);
    };
    add(*index);
    if (const auto signature = offered(root, PatchLayout::signaturePath(folder)))
        add(*signature);
    for (const PatchEntry &entry : parsed->patches) {
        const auto patch = offered(root, PatchLayout::patchPath(entry.baseSha256, entry.targetSha256));
        if (patch && patch->size == entry.patchSize)
            add(*patch);
    }
    return patches;
}

QString PatchFiles::find(const FileRequest &id) const
{
    return files.value(qMakePair(id.filePath, id.fileName));
}
