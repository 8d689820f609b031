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
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>

class PatchSource
{
public:
    // The largest index (and signature file) a run takes or a server offers.
    static constexpr qint64 kMaxIndexBytes = 16 << 20;

    // Takes the release's index (version and folder as announced). With
    // keys the signature text (one base64 line) must be by one of them;
    // signatureRequired without keys refuses every index. "" when the index
    // is taken, else why not, for the log; a refused index leaves none.
    QString load(const QByteArray &index, const QByteArray &signatureText, const QVector<QByteArray> &keys,
                 bool signatureRequired, const QString &version, const QString &folder);
    // load() for the index a run fetched, logging why it is refused: every
    // changed file is then fetched whole.
    void take(const QByteArray &index, const QByteArray &signatureText, const QVector<QByteArray> &keys,
              bool signatureRequired, const QString &version, const QString &folder);
    // The run got no index (the release has none, or the server would not
    // give it): logged, and no patch is used.
    void takeNone();
    bool isEmpty() const { return index.patches.isEmpty(); }
    // Whether the index has any patch for the file at path.
    bool lists(const QString &path) const;

    // The installed bytes of a changed file, as the patch plan hashed them
    // (a user or a scanner may have changed them, whatever md5.txt says).
    struct InstalledBytes
    {
        qint64 size = 0;
        QByteArray sha256;
    };
    // A changed file the plan must hash: installedFile, the copy of the file
    // at path, is worth hashing only when its size is one of baseSizes (the
    // patches for path that are smaller than their target start from them).
    struct Candidate
    {
        QString path;
        QString installedFile;
        QVector<qint64> baseSizes;
    };
    // The candidates among the changed files at paths ("/"-prefixed,
    // installed below the folder installation, ending with "/"). Looks at
    // no file: PatchPlanner hashes them, off the window's thread.
    QVector<Candidate> candidates(const QStringList &paths, const QString &installation) const;
    // Of the changed files at paths, the ones a patch can build, by path,
    // given what the candidates' installed bytes are (by path; a file not
    // hashed is missing); every other one is logged as fetched whole.
    QHash<QString, PatchEntry> plan(const QStringList &paths, const QHash<QString, InstalledBytes> &installed) const;

    // Builds outFile from installedFile and the fetched patchFile: the
    // patch's SHA-256 is checked before anything is decoded, the result's
    // MD5 against md5 (the manifest's) and its SHA-256 against the entry's
    // after. Creates outFile's folder; nothing is left at outFile on
    // failure. Reads and writes whole files: run it on a PatchWorker, whose
    // stop it looks at between its steps (then Stopped).
    static Delta::PatchFailure build(const PatchEntry &entry, const QString &installedFile, const QString &patchFile,
                                     const QString &outFile, const QString &md5, const std::atomic<bool> &stop);
    // build() for the file at path installed below installation; removes
    // patchFile in any case.
    static Delta::PatchFailure buildFile(const PatchEntry &entry, const QString &path, const QString &installation,
                                         const QString &patchFile, const QString &outFile, const QString &md5,
                                         const std::atomic<bool> &stop);

    // The log line of a file built from its patch: the bytes it saved.
    static void logPatchBuilt(const PatchEntry &entry, const QString &path);
    // The log line of a file fetched whole after its patch failed: at info
    // level, a fallback is part of normal work.
    static void logPatchFailed(const QString &path, const QString &why);

private:
    PatchIndex index;
};
