#include "delta/patchfile.h"

#include "delta/patchcodec.h"
#include "platform/preallocate.h"

#include <QFile>

namespace Delta {

namespace {

// A whole file mapped for reading; an empty one maps to an empty range.
struct MappedInput
{
    QFile file;
    const char *data = nullptr;
    qint64 size = 0;

    bool open(const QString &path)
    {
        static const char kEmpty = 0;
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        size = file.size();
        data = size > 0 ? reinterpret_cast<const char *>(file.map(0, size)) : &kEmpty;
        return data != nullptr;
    }
};

PatchFailure build(const QString &basePath, const QString &patchPath, QFile &out, qint64 maxTargetSize)
{
    MappedInput patch;
    if (!patch.open(patchPath))
        return PatchFailure::Io;
    const auto header = parseHeader(patch.data, patch.size);
    if (!header)
        return PatchFailure::Malformed;
    MappedInput base;
    if (!base.open(basePath))
        return PatchFailure::Io;
    const PatchFailure fit = checkHeader(*header, base.size, maxTargetSize);
    if (fit != PatchFailure::None)
        return fit;

    const qint64 targetSize = static_cast<qint64>(header->targetSize);
    char empty = 0;
    char *target = &empty;
    if (!out.open(QIODevice::ReadWrite | QIODevice::Truncate) || !preallocateFile(out, targetSize))
        return PatchFailure::Io;
    if (targetSize > 0 && !(target = reinterpret_cast<char *>(out.map(0, targetSize))))
        return PatchFailure::Io;
    const PatchFailure decoded =
        decodePayload(*header, base.data, patch.data + kHeaderSize, patch.size - kHeaderSize, target);
    if (targetSize > 0 && !out.unmap(reinterpret_cast<uchar *>(target)))
        return PatchFailure::Io;
    return decoded;
}

} // namespace

PatchFailure applyPatchFile(const QString &basePath, const QString &patchPath, const QString &outPath,
                            qint64 maxTargetSize)
{
    QFile out(outPath);
    const PatchFailure failure = build(basePath, patchPath, out, maxTargetSize);
    out.close();
    if (failure != PatchFailure::None)
        QFile::remove(outPath);
    return failure;
}

} // namespace Delta
