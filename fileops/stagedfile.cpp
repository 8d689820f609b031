#include "fileops/stagedfile.h"

#include "fileops/diskreserve.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Bytes of a kept prefix hashed per read.
constexpr qint64 kHashChunk = 1 << 20;

} // namespace

StagedFile::StagedFile(const QString &path, DiskReserve &diskReserve)
    : filePath(path)
    , reserve(diskReserve)
    , file(path)
{
}

StagedFile::~StagedFile()
{
    if (!settled)
        discard();
    else if (file.isOpen())
        file.close();
}

StagedFile::Problem StagedFile::openWith(QIODevice::OpenMode mode, const FileExpectation &expectation)
{
    if (file.isOpen())
        file.close();
    expected = expectation;
    hash.reset();
    stored = 0;
    digest.clear();
    settled = false;
    if (!QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return Problem::Open;
    return file.open(mode | QIODevice::Unbuffered) ? Problem::None : Problem::Open;
}

StagedFile::Problem StagedFile::open(const FileExpectation &expectation)
{
    return openWith(QIODevice::WriteOnly | QIODevice::Truncate, expectation);
}

StagedFile::Problem StagedFile::openKeeping(qint64 keepBytes, const FileExpectation &expectation)
{
    const Problem problem = openWith(QIODevice::ReadWrite, expectation);
    if (problem != Problem::None)
        return problem;
    const qint64 keep = qBound<qint64>(0, keepBytes, file.size());
    while (stored < keep) {
        const QByteArray chunk = file.read(qMin(kHashChunk, keep - stored));
        if (chunk.isEmpty()) {
            discard();
            return Problem::Open;
        }
        hash.addData(chunk);
        stored += chunk.size();
    }
    // Whatever followed the kept bytes is not trusted: it may be torn.
    if (!file.resize(keep) || !file.seek(keep)) {
        discard();
        return Problem::Open;
    }
    return Problem::None;
}

StagedFile::Problem StagedFile::append(const QByteArray &data)
{
    if (data.isEmpty())
        return Problem::None;
    if (expected.size >= 0 && stored + data.size() > expected.size)
        return Problem::TooLong;
    if (!reserve.admit(data.size()))
        return Problem::DiskShort;
    if (file.write(data) != data.size())
        return Problem::Write;
    hash.addData(data);
    stored += data.size();
    return Problem::None;
}

StagedFile::Problem StagedFile::finish()
{
    file.close();
    Problem problem = file.error() == QFileDevice::NoError ? Problem::None : Problem::Write;
    digest = QString::fromLatin1(hash.result().toHex());
    if (problem == Problem::None && expected.size >= 0 && stored != expected.size)
        problem = Problem::SizeMismatch;
    if (problem == Problem::None && !expected.md5.isEmpty() && digest.compare(expected.md5, Qt::CaseInsensitive) != 0)
        problem = Problem::DigestMismatch;
    if (problem != Problem::None) {
        discard();
        return problem;
    }
    settled = true;
    return Problem::None;
}

void StagedFile::discard()
{
    if (file.isOpen())
        file.close();
    if (!settled)
        file.remove();
    settled = true;
}

void StagedFile::keep()
{
    if (file.isOpen())
        file.close();
    settled = true;
}
