#pragma once
// Turns a folder that holds a new version of the installation into the
// layout the HTTP channel reads from a web server:
//
//   <out>/update.ini                [Version] Version=<version>, Folder=<folder>,
//                                   ManifestSize and ManifestMd5 of <folder>/md5.txt
//   <out>/<folder>/<every file>     the release's files, sub-folders kept
//   <out>/<folder>/md5.txt          their manifest, made by generateMd5File
//   <out>/<folder>/release.statement(.sig)  with a secret key: the signed
//                                   statement over all of them (releasesigner.h)
//   <out>/_patches/...              with earlier releases: binary patches from
//                                   their files and the release's patch index
//                                   (patchmaker.h, delta/patchindex.h)
//   <out>/<folder>.ini              the release's own version description
//                                   (update.ini without release control), by
//                                   which it can be made current again later
//                                   (currentrelease.h)
//
// update.ini is replaced last and atomically, so a client never sees it
// point at a folder that is still being filled; older folders stay where
// they are for clients that are still downloading from them.

#include <QDateTime>
#include <QString>
#include <QStringList>

// Who takes a release (config/releasecontrol.h): written into update.ini
// and, for a staged rollout, into the signed statement.
struct ReleaseRules
{
    int rollout = 100; // percent of installations offered the release
    // The lowest installed version the release applies to, and the folder
    // of an earlier release in the same output folder that older
    // installations take first ("" for none).
    QString minimumVersion;
    QString steppingStone;
};

struct PublishRequest
{
    QString sourceDir;
    QString outDir;
    QString version;
    QString folder; // defaults to the version text
    QString secretKeyFile; // "": the release is not signed
    QDateTime expires;     // of the signed statement; invalid: never
    bool allowDowngrade = false; // the statement lets clients replace a higher version with this one
    QStringList previousDirs{};  // earlier releases to make patches from; none: no patches, no index
    ReleaseRules rules{};
};

// Command line of the publisher (arguments without the program name):
//   [OPTIONS] [--previous DIR]... SOURCE_DIR OUT_DIR VERSION [FOLDER]
//   [OPTIONS] rollout OUT_DIR PERCENT
//   [OPTIONS] current OUT_DIR FOLDER
//   keygen SECRET_KEY_FILE
// OPTIONS: --key SECRET_KEY_FILE, --expires yyyy-MM-ddTHH:mm:ssZ and
// --allow-downgrade (both with --key), --rollout PERCENT, --min-version
// VERSION and --stepping-stone FOLDER (which needs --min-version).
// help is set for -h/--help; otherwise error is "" or says what is wrong.
struct PublisherArguments
{
    enum Command { Publish, Keygen, Rollout, Current };
    Command command = Publish;
    PublishRequest request; // Rollout and Current: outDir, folder, key, expires and rules
    QString keygenFile; // set for the keygen command
    bool help = false;
    QString error;
};
PublisherArguments parsePublisherArguments(const QStringList &arguments);
QString publisherUsage();

// "" when version and folder can be published, else the reason. The version
// must survive an INI round trip unchanged (printable ASCII without
// ; , " \ and without surrounding blanks, not starting with @); the folder
// is one URL- and file-name-safe segment: letters, digits, ".", "_", "-",
// starting with a letter or digit.
QString checkReleaseNames(const QString &version, const QString &folder);

// The text of <out>/update.ini: version, folder, and the size and MD5 of
// the release's md5.txt (manifest), by which a client knows it got all of it.
// With rules other than the default, their keys follow.
QByteArray releaseIniText(const QString &version, const QString &folder, const QByteArray &manifest,
                          const ReleaseRules &rules = {});

// Writes a version description whole (atomically). "" or the reason.
QString writeVersionFile(const QString &path, const QByteArray &text);

// Publishes the release. Hidden entries are not published (a client's own
// manifest never lists them), nor a top-level md5.txt of the source, which
// the new manifest replaces. Refuses a non-empty <out>/<folder>, an output
// folder inside the source, and file names a client could not install (see
// unsafePathReason; the updater's own places as the usual settings have
// them; a name that is not valid UTF-8, which the folder listing would
// otherwise leave out without a word; two names that differ only in letter
// case), and an earlier release that is no folder. Returns "" on success,
// else the reason; fileCount receives the number of published files,
// patchCount the number of patches in the index.
QString publishRelease(const PublishRequest &request, int *fileCount = nullptr, int *patchCount = nullptr);
