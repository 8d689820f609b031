#include "releasepublisher.h"

#include "patchmaker.h"
#include "releasesigner.h"

#include "config/names.h"
#include "config/releasecontrol.h"
#include "fileops/installlayout.h"
#include "fileops/pathpolicy.h"
#include "http/md5manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>

#include <algorithm>

#ifndef Q_OS_WIN
#include <dirent.h>
#endif

namespace {

bool isFolderChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('_')
        || c == QLatin1Char('-');
}

// The first entry below folder (escaped, relative) whose name is not valid
// UTF-8, or "". Qt's folder listing skips such names, so they are read here
// as the file system holds them; hidden entries are not published and not
// looked at. Windows names are UTF-16 and always pass.
QString undecodableName(const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
#else
    QStringList pending{QString()};
    while (!pending.isEmpty()) {
        const QString relative = pending.takeLast();
        DIR *dir = opendir(QFile::encodeName(folder + relative).constData());
        if (!dir)
            continue;
        while (const dirent *entry = readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name.startsWith('.'))
                continue;
            if (!PathPolicy::isValidUtf8(name)) {
                closedir(dir);
                return PathPolicy::escapedName(QFile::encodeName(relative) + '/' + name);
            }
            const QString child = relative + QLatin1Char('/') + QFile::decodeName(name);
            const QFileInfo info(folder + child);
            if (info.isDir() && !info.isSymLink())
                pending.append(child);
        }
        closedir(dir);
    }
#endif
    return QString();
}

} // namespace

QString writeVersionFile(const QString &path, const QByteArray &text)
{
    QSaveFile ini(path);
    if (!ini.open(QIODevice::WriteOnly) || ini.write(text) != text.size() || !ini.commit())
        return QStringLiteral("cannot write ") + path;
    return QString();
}

QString publisherUsage()
{
    return QStringLiteral(
        "Usage: publisher [OPTIONS] [--previous EARLIER_DIR]... SOURCE_DIR OUT_DIR VERSION [FOLDER]\n"
        "       publisher [OPTIONS] rollout OUT_DIR PERCENT\n"
        "       publisher [OPTIONS] current OUT_DIR FOLDER\n"
        "       publisher keygen SECRET_KEY_FILE\n"
        "Options: --key SECRET_KEY_FILE [--expires TIME] [--allow-downgrade] --rollout PERCENT\n"
        "         --min-version VERSION [--stepping-stone FOLDER]\n"
        "\n"
        "Publishes the files below SOURCE_DIR as release VERSION for the HTTP update\n"
        "channel. Writes OUT_DIR/FOLDER/ (the files and their md5.txt) and then\n"
        "OUT_DIR/update.ini naming VERSION and FOLDER. FOLDER defaults to VERSION and\n"
        "must not exist yet (or be empty). Serve OUT_DIR with any static web server and\n"
        "set Update/URL in system.cfg to its address, ending with \"/\".\n"
        "\n"
        "keygen creates a new signing key pair: the secret key goes to SECRET_KEY_FILE\n"
        "(created readable by its owner only, never overwritten), the public key is\n"
        "printed as one base64 line for Update/PublicKey in the clients' system.cfg.\n"
        "With --key the release also gets release.statement and its signature\n"
        "release.statement.sig; --expires (UTC, e.g. 2027-01-31T00:00:00Z) sets when\n"
        "clients stop accepting the statement. Clients never install a signed release\n"
        "of a lower version than the installed one, unless it was published with\n"
        "--allow-downgrade (a rollback).\n"
        "\n"
        "--previous (once per earlier release: its published folder or its source)\n"
        "makes a binary patch from each earlier version of every changed file, kept\n"
        "when it is at most 3/4 of the file, under OUT_DIR/_patches/ with the\n"
        "release's patch index (signed too with --key). Clients that hold those\n"
        "earlier bytes fetch the patch instead of the file; others are unaffected.\n"
        "\n"
        "--rollout offers the release to PERCENT of the installations only (each\n"
        "installation draws its group once; \"update.exe now\" takes it at once).\n"
        "rollout changes the share of the current release in OUT_DIR: raise it, or\n"
        "halt the release with 0. current makes the release published earlier in\n"
        "OUT_DIR/FOLDER the current one again (a rollback; signed, it allows the\n"
        "downgrade). Both re-sign the release with --key, which a signed one needs.\n"
        "--min-version names the lowest installed version the release applies to;\n"
        "older installations first take the release published earlier into\n"
        "OUT_DIR/FOLDER named by --stepping-stone.\n");
}

PublisherArguments parsePublisherArguments(const QStringList &arguments)
{
    PublisherArguments parsed;
    if (arguments.contains(QStringLiteral("-h")) || arguments.contains(QStringLiteral("--help"))) {
        parsed.help = true;
        return parsed;
    }
    if (arguments.value(0) == QLatin1String("keygen")) {
        parsed.command = PublisherArguments::Keygen;
        if (arguments.size() != 2)
            parsed.error = QStringLiteral("expected keygen SECRET_KEY_FILE");
        else
            parsed.keygenFile = arguments.at(1);
        return parsed;
    }
    QStringList rest = arguments;
    while (rest.value(0).startsWith(QLatin1String("--"))) {
        const QString option = rest.takeFirst();
        if (option == QLatin1String("--allow-downgrade")) {
            parsed.request.allowDowngrade = true;
            continue;
        }
        if (rest.isEmpty()) {
            parsed.error = option + QStringLiteral(" needs a value");
            return parsed;
        }
        const QString value = rest.takeFirst();
        if (option == QLatin1String("--key")) {
            parsed.request.secretKeyFile = value;
        } else if (option == QLatin1String("--previous")) {
            parsed.request.previousDirs.append(value);
        } else if (option == QLatin1String("--rollout")) {
            const auto share = ReleaseControl::parseRollout(value);
            if (value.isEmpty() || !share) {
                parsed.error = QStringLiteral("--rollout takes a whole percent 0..100");
                return parsed;
            }
            parsed.request.rules.rollout = *share;
        } else if (option == QLatin1String("--min-version")) {
            parsed.request.rules.minimumVersion = value;
        } else if (option == QLatin1String("--stepping-stone")) {
            parsed.request.rules.steppingStone = value;
        } else if (option == QLatin1String("--expires")) {
            parsed.request.expires = QDateTime::fromString(value, QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
            parsed.request.expires.setTimeSpec(Qt::UTC);
            if (!parsed.request.expires.isValid()) {
                parsed.error = QStringLiteral("--expires takes a UTC time like 2027-01-31T00:00:00Z");
                return parsed;
            }
        } else {
            parsed.error = QStringLiteral("unknown option ") + option;
            return parsed;
        }
    }
    if ((parsed.request.expires.isValid() || parsed.request.allowDowngrade) && parsed.request.secretKeyFile.isEmpty()) {
        parsed.error = QStringLiteral("--expires and --allow-downgrade need --key");
        return parsed;
    }
    const ReleaseRules &rules = parsed.request.rules;
    if (!rules.steppingStone.isEmpty() && rules.minimumVersion.isEmpty()) {
        parsed.error = QStringLiteral("--stepping-stone needs --min-version");
        return parsed;
    }
    if (!rules.minimumVersion.isEmpty()) {
        parsed.error = checkReleaseNames(rules.minimumVersion,
                                         rules.steppingStone.isEmpty() ? QStringLiteral("0") : rules.steppingStone);
        if (!parsed.error.isEmpty())
            return parsed;
    }
    const QString word = rest.value(0);
    if (word == QLatin1String("rollout") || word == QLatin1String("current")) {
        if (rest.size() != 3) {
            parsed.error = QStringLiteral("expected ") + word + (word == QLatin1String("rollout")
                                                                     ? QStringLiteral(" OUT_DIR PERCENT")
                                                                     : QStringLiteral(" OUT_DIR FOLDER"));
            return parsed;
        }
        parsed.request.outDir = rest.at(1);
        if (word == QLatin1String("current")) {
            parsed.command = PublisherArguments::Current;
            parsed.request.folder = rest.at(2);
            parsed.error = checkReleaseNames(QStringLiteral("0"), parsed.request.folder);
            return parsed;
        }
        parsed.command = PublisherArguments::Rollout;
        const auto share = ReleaseControl::parseRollout(rest.at(2));
        if (rest.at(2).isEmpty() || !share)
            parsed.error = QStringLiteral("rollout takes a whole percent 0..100");
        parsed.request.rules.rollout = share.value_or(100);
        return parsed;
    }
    if (rest.size() < 3 || rest.size() > 4) {
        parsed.error = QStringLiteral("expected SOURCE_DIR OUT_DIR VERSION [FOLDER]");
        return parsed;
    }
    parsed.request.sourceDir = rest.at(0);
    parsed.request.outDir = rest.at(1);
    parsed.request.version = rest.at(2);
    parsed.request.folder = rest.size() == 4 ? rest.at(3) : rest.at(2);
    parsed.error = checkReleaseNames(parsed.request.version, parsed.request.folder);
    return parsed;
}

QString checkReleaseNames(const QString &version, const QString &folder)
{
    if (version.isEmpty())
        return QStringLiteral("the version is empty");
    if (version.trimmed() != version || version.startsWith(QLatin1Char('@')))
        return QStringLiteral("the version has surrounding blanks or starts with @");
    for (const QChar c : version) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e || QStringLiteral(";,\"\\").contains(c))
            return QStringLiteral("the version may hold printable ASCII except ; , \" \\");
    }
    if (folder.isEmpty() || !folder.at(0).isLetterOrNumber() || !std::all_of(folder.begin(), folder.end(), isFolderChar))
        return QStringLiteral("the folder must be letters, digits, '.', '_', '-', starting with a letter or digit");
    return QString();
}

QByteArray releaseIniText(const QString &version, const QString &folder, const QByteArray &manifest,
                          const ReleaseRules &rules)
{
    QByteArray text = "[" + QByteArray(Names::kGroupVersion) + "]\r\n" + QByteArray(Names::kKeyReleaseVersion) + "="
        + version.toLatin1() + "\r\nFolder=" + folder.toLatin1() + "\r\n" + Names::kKeyManifestSize + "="
        + QByteArray::number(manifest.size()) + "\r\n" + Names::kKeyManifestMd5 + "="
        + QCryptographicHash::hash(manifest, QCryptographicHash::Md5).toHex() + "\r\n";
    if (rules.rollout < ReleaseControl::kWholeRollout)
        text += QByteArray(Names::kKeyRollout) + "=" + QByteArray::number(rules.rollout) + "\r\n";
    if (!rules.minimumVersion.isEmpty())
        text += QByteArray(Names::kKeyMinRequiredVersion) + "=" + rules.minimumVersion.toLatin1() + "\r\n";
    if (!rules.steppingStone.isEmpty())
        text += QByteArray(Names::kKeySteppingStone) + "=" + rules.steppingStone.toLatin1() + "\r\n";
    return text;
}

QString publishRelease(const PublishRequest &request, int *fileCount, int *patchCount)
{
    const QString nameError = checkReleaseNames(request.version, request.folder);
    if (!nameError.isEmpty())
        return nameError;
    QByteArray secretKey;
    if (!request.secretKeyFile.isEmpty()) {
        const QString keyError = readSecretKeyFile(request.secretKeyFile, &secretKey);
        if (!keyError.isEmpty())
            return keyError;
    }
    const QFileInfo sourceInfo(request.sourceDir);
    if (!sourceInfo.isDir())
        return QStringLiteral("not a folder: ") + request.sourceDir;
    const QString source = sourceInfo.canonicalFilePath();
    for (const QString &previous : request.previousDirs) {
        if (!QFileInfo(previous).isDir())
            return QStringLiteral("not a folder: ") + previous;
    }

    const QString undecodable = undecodableName(source);
    if (!undecodable.isEmpty())
        return QStringLiteral("cannot publish %1: the name is not valid UTF-8").arg(undecodable);
    QStringList files;
    listFilesRecursive(source, QString(), files);
    files.removeAll(QLatin1Char('/') + Names::kMd5File);
    const QStringList workPlaces = InstallLayout::withUsualSettings(source).workPlaces();
    QMap<QString, QString> folded; // case-folded -> as listed
    for (const QString &relative : qAsConst(files)) {
        const QString reason = unsafePathReason(relative, workPlaces);
        if (!reason.isEmpty())
            return QStringLiteral("cannot publish %1: a client would refuse it (%2)").arg(relative, reason);
        // One file on a Windows file system, so clients refuse the list.
        const QString other = folded.value(relative.toCaseFolded());
        if (!other.isEmpty())
            return QStringLiteral("cannot publish %1: %2 differs only in letter case").arg(relative, other);
        folded.insert(relative.toCaseFolded(), relative);
    }

    // Checked before anything is created; links are resolved.
    if (PathPolicy::isSameFolder(source, request.outDir) || PathPolicy::isStrictlyInside(source, request.outDir))
        return QStringLiteral("the output folder lies inside the source folder");
    const QString stone = request.rules.steppingStone;
    if (!stone.isEmpty() && !QFileInfo(request.outDir + QLatin1Char('/') + stone + QStringLiteral(".ini")).isFile())
        return QStringLiteral("no release %1 published into %2 to step through").arg(stone, request.outDir);
    const QString releaseDir = request.outDir + QLatin1Char('/') + request.folder;
    if (!QDir().mkpath(releaseDir))
        return QStringLiteral("cannot create ") + releaseDir;
    if (!QDir(releaseDir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return QStringLiteral("already published, not empty: ") + releaseDir;

    for (const QString &relative : qAsConst(files)) {
        const QString target = releaseDir + relative;
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(source + relative, target))
            return QStringLiteral("cannot copy %1 to %2").arg(source + relative, target);
    }

    // The manifest is made over the published copies exactly as a client
    // makes its own, so both sides agree byte for byte.
    generateMd5File(releaseDir + QLatin1Char('/'));
    QFile manifestFile(releaseDir + QLatin1Char('/') + Names::kMd5File);
    const QByteArray manifestText = manifestFile.open(QIODevice::ReadOnly) ? manifestFile.readAll() : QByteArray();
    const Md5Map manifest = parseMd5Map(manifestText);
    if (manifest.size() != files.size() || manifest.values().contains(QString()))
        return QStringLiteral("cannot write a complete manifest in ") + releaseDir;
    if (!secretKey.isEmpty()) {
        const QString signError =
            writeSignedStatement(request.outDir, releaseDir, request.version, request.folder, secretKey,
                                 {request.expires, request.allowDowngrade, request.rules.rollout});
        if (!signError.isEmpty())
            return signError;
    }
    if (!request.previousDirs.isEmpty()) {
        PatchRequest patches{request.outDir, releaseDir, request.version, request.folder, files,
                             request.previousDirs, secretKey};
        const QString patchError = writePatches(patches, patchCount);
        if (!patchError.isEmpty())
            return patchError;
    }

    const QString ownError = writeVersionFile(request.outDir + QLatin1Char('/') + request.folder + QStringLiteral(".ini"),
                                              releaseIniText(request.version, request.folder, manifestText));
    if (!ownError.isEmpty())
        return ownError;
    const QString iniError = writeVersionFile(request.outDir + QLatin1Char('/') + Names::kUpdateIniFile,
                                              releaseIniText(request.version, request.folder, manifestText, request.rules));
    if (!iniError.isEmpty())
        return iniError;
    if (fileCount)
        *fileCount = files.size();
    return QString();
}
