#include "fileops/filedigest.h"

#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QFile>

#include <vector>

namespace {

// Large enough that hashing runs at the speed of the digest itself, small
// enough that memory stays flat whatever the file size.
constexpr qint64 kHashChunk = 1 << 20;

// The digest by hash of the file's whole content, read in bounded chunks;
// with exactBytes (not negative) nothing unless the file holds exactly that
// many, of which at most one more is read; nothing once stop is set.
template <typename Hash>
std::optional<QByteArray> digestOfFile(const QString &path, Hash &hash, qint64 exactBytes = -1,
                                       const std::atomic<bool> *stop = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return std::nullopt;
    std::vector<char> buffer(static_cast<size_t>(kHashChunk));
    qint64 total = 0;
    for (;;) {
        if (stop && stop->load())
            return std::nullopt;
        const qint64 wanted = exactBytes < 0 ? kHashChunk : qMin(kHashChunk, exactBytes + 1 - total);
        const qint64 n = file.read(buffer.data(), wanted);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += n;
        if (exactBytes >= 0 && total > exactBytes)
            return std::nullopt;
        hash.addData(buffer.data(), static_cast<int>(n));
    }
    if (exactBytes >= 0 && total != exactBytes)
        return std::nullopt;
    return hash.result();
}

} // namespace

std::optional<QByteArray> sha256OfFile(const QString &path)
{
    Sha256 hash;
    const auto digest = digestOfFile(path, hash);
    return digest && !digest->isEmpty() ? digest : std::nullopt;
}

std::optional<QByteArray> sha256OfFile(const QString &path, qint64 size, const std::atomic<bool> &stop)
{
    Sha256 hash;
    const auto digest = digestOfFile(path, hash, size, &stop);
    return digest && !digest->isEmpty() ? digest : std::nullopt;
}

QString md5OfFile(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const auto digest = digestOfFile(path, hash);
    return digest ? QString::fromLatin1(digest->toHex()) : QString();
}
