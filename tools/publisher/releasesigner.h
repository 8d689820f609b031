#pragma once
// The publisher's signing part: the Ed25519 key pair of a publisher and the
// signed release statement (trust/statement.h) written into each release.
//
// Secret key file: one base64 line of the 64-byte libsodium secret key,
// readable by its owner only. The sequence number of the releases published
// into one output folder is kept in <out>/release.sequence (a decimal line).

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Creates a key pair; the secret key goes to a new file at secretKeyPath
// (an existing file is never overwritten), the public key's base64 line to
// publicKeyText. "" on success, else the reason.
QString createKeyFile(const QString &secretKeyPath, QByteArray *publicKeyText);

// The secret key of a key file, or "" in error with the reason.
QString readSecretKeyFile(const QString &path, QByteArray *secretKey);

// What a statement says beyond the release's files.
struct StatementTerms
{
    QDateTime expires;           // invalid: never
    bool allowDowngrade = false; // clients may install it over a higher version (a rollback)
    int rollout = 100;           // percent of installations offered it
};

// Writes <releaseDir>/release.statement over every file below releaseDir
// (md5.txt included, an earlier statement and signature not) and its
// signature beside it, with the next sequence number of outDir, which is
// then recorded. "" on success, else the reason.
QString writeSignedStatement(const QString &outDir, const QString &releaseDir, const QString &version,
                             const QString &folder, const QByteArray &secretKey, const StatementTerms &terms = {});
