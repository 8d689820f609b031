#include "fileops/filedigest.h"

#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QFile>

#include <vector>

namespace {

// Large enough that hashing runs at the speed of the digest itself, small
// enough that memory stays flat whatever the file size.
constexpr qint64 kHashChunk = 1 << 20;

// The digest by hash of the file's whole content, read in bounded chunks.
template <typename Hash>
std::optional<QByteArray> digestOfFile(const QString &path, Hash &hash)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return std::nullopt;
    std::vector<char> buffer(static_cast<size_t>(kHashChunk));
    for (;;) {
        const qint64 n = file.read(buffer.data(), kHashChunk);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        hash.addData(buffer.data(), static_cast<int>(n));
    }
    return hash.result();
}

} // namespace

std::optional<QByteArray> sha256OfFile(const QString &path)
{
    Sha256 hash;
    const auto digest = digestOfFile(path, hash);
    return digest && !digest->isEmpty() ? digest : std::nullopt;
}

QString md5OfFile(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const auto digest = digestOfFile(path, hash);
    return digest ? QString::fromLatin1(digest->toHex()) : QString();
}
