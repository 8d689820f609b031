#pragma once
// The signed release statement: what a publisher vouches for in one release
// (its version, folder, a sequence number that only grows, an optional
// expiry, and every file's path, size and SHA-256), and its check against
// the keys a client trusts. Pure functions over bytes and strings.
//
// Text format (UTF-8, every line ends with LF, fields separated by one TAB,
// lines in this order, each key once; paths as in md5.txt: "/" + the path
// relative to the release folder):
//   release-statement<TAB>1
//   version<TAB><release version>
//   folder<TAB><release folder>
//   sequence<TAB><decimal, 1 or more>
//   expires<TAB><UTC time, yyyy-MM-ddTHH:mm:ssZ>   (optional)
//   downgrade<TAB>allowed                           (optional)
//   rollout<TAB><0..99>                             (optional: the share of
//                                                    installations offered it, in percent)
//   file<TAB><size><TAB><SHA-256 hex, lower case><TAB>/<path>   (zero or more, sorted by path)
//
// A parser that predates a line refuses the statement (Malformed): a client
// too old to honour a staged rollout installs no signed release under one.
//
// The signature file beside it holds the Ed25519 signature over the
// statement's exact bytes as one base64 line.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

struct StatementFile
{
    qint64 size = 0;
    QByteArray sha256; // 32 raw bytes
};

struct ReleaseStatement
{
    QString version;
    QString folder;
    quint64 sequence = 0;
    QDateTime expires; // UTC; invalid: never expires
    // The publisher lets this release replace a higher installed version
    // (a rollback); without it a client never installs a lower version.
    bool allowDowngrade = false;
    // Percent of installations the release is offered to (a staged rollout,
    // config/releasecontrol.h); 100 without the line.
    int rollout = 100;
    QMap<QString, StatementFile> files; // "/"-prefixed path -> size and digest
};

// Why a release is not trusted. None: trusted so far.
enum class StatementFailure {
    None,
    Missing,      // no statement or no signature
    Malformed,    // not the format above, or a signature that is no signature
    UnknownKey,   // signed by none of the configured keys
    Expired,      // its expiry time has passed
    WrongVersion, // names another version or folder than the one announced
    Replayed,     // a lower sequence number than the installed release's
    Downgrade,    // a lower version than the installed one, not allowed by the statement
    FileMismatch, // a staged file differs in size or SHA-256
    UnlistedFile, // a staged file the statement does not list
    Unrecorded,   // the trusted statement could not be staged for the apply
    Withheld,     // the statement's rollout does not reach this installation yet
};

struct StatementCheck
{
    StatementFailure failure = StatementFailure::None;
    QString detail; // the line, file or value concerned, for the log
    bool ok() const { return failure == StatementFailure::None; }
};

QByteArray serializeStatement(const ReleaseStatement &statement);

// The statement in bytes, or nothing (check says why: Malformed).
std::optional<ReleaseStatement> parseStatement(const QByteArray &bytes, StatementCheck *check = nullptr);

// What a client knows when it checks a statement.
struct StatementExpectation
{
    QVector<QByteArray> publicKeys; // raw Ed25519 public keys, 32 bytes each
    QString version;                // the version the server announced
    QString folder;                 // the folder it names; "" when the road has none
    quint64 installedSequence = 0;  // the installed release's, 0 when none
    QDateTime now;
    // The installed version description's version ("" when none): the floor
    // that holds when no statement is recorded (a reinstall, or a key set
    // after the last update).
    QString installedVersion{};
};

// Orders version texts: digit runs compare as numbers, other runs as text,
// run by run; a version that is a prefix of another is lower ("2.0" <
// "2.0.1", "1.9" < "1.10"). Negative, 0 or positive as a is lower, equal
// or higher.
int compareVersions(const QString &a, const QString &b);

// Checks signature (base64 text), format, version, sequence, the version
// floor and expiry, in that order: nothing the statement says counts before
// its signature does.
// On success statement receives it.
StatementCheck checkStatement(const QByteArray &statementBytes, const QByteArray &signatureText,
                              const StatementExpectation &expected, ReleaseStatement *statement);

// A staged file (path as in the statement) against the statement.
StatementCheck checkStatementFile(const ReleaseStatement &statement, const QString &path, qint64 size,
                                  const QByteArray &sha256);
