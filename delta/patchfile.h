#pragma once
// Applies a patch file to an installed file, building the target in a new
// file. Base and patch are mapped, not read into memory; the output is
// allocated at its full size first (the header names it, bounded by the
// caller) and decoded into a mapping of it, so the extra memory is the
// decoder's fixed amount (delta/patchcodec.h) whatever the file sizes.

#include "delta/patchformat.h"

#include <QString>

namespace Delta {

// Builds outPath (created or replaced) from basePath and patchPath; removes
// it again on any failure. Io when a file cannot be opened, mapped or
// allocated (a full disk); the others as decodePayload says.
PatchFailure applyPatchFile(const QString &basePath, const QString &patchPath, const QString &outPath,
                            qint64 maxTargetSize);

} // namespace Delta
