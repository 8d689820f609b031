#pragma once
// The patch source of a client's run: which changed files it may build from
// a binary patch and the installed bytes instead of fetching them whole,
// and the building itself. The run fetches; this decides and checks. Every
// "no" here means: fetch that one file whole.
//
// Trust: with keys configured, an index is used only when one of them signed
// it (the key that signs the release statement), so no patch is decoded
// unless its SHA-256 was vouched for; the result is checked against the
// target's digests before the apply sees it, and the staged release against
// the statement after. A forged or damaged patch therefore only ever costs a
// fallback to the whole file.

#include "delta/patchformat.h"
#include "delta/patchindex.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

class PatchSource
{
public:
    // Takes the release's index (version and folder as announced). With
    // keys the signature text (one base64 line) must be by one of them;
    // signatureRequired without keys refuses every index. "" when the index
    // is taken, else why not, for the log; a refused index leaves none.
    QString load(const QByteArray &index, const QByteArray &signatureText, const QVector<QByteArray> &keys,
                 bool signatureRequired, const QString &version, const QString &folder);
    bool isEmpty() const { return index.patches.isEmpty(); }
    // Whether the index has any patch for the file at path.
    bool lists(const QString &path) const;

    // The patch for the file at path ("/"-prefixed) whose installed copy is
    // installedFile: the file's size and SHA-256 must be a patch's base (the
    // installed bytes are hashed: a user or a scanner may have changed
    // them, whatever md5.txt says), and the patch smaller than the file.
    std::optional<PatchEntry> patchFor(const QString &path, const QString &installedFile) const;

    // Builds outFile from installedFile and the fetched patchFile: the
    // patch's SHA-256 is checked before anything is decoded, the result's
    // MD5 against md5 (the manifest's) and its SHA-256 against the entry's
    // after. Creates outFile's folder; nothing is left at outFile on
    // failure.
    static Delta::PatchFailure build(const PatchEntry &entry, const QString &installedFile, const QString &patchFile,
                                     const QString &outFile, const QString &md5);

private:
    PatchIndex index;
};
