#include "releasepublisher.h"

#include "config/names.h"
#include "fileops/installlayout.h"
#include "fileops/pathpolicy.h"
#include "http/md5manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

bool isFolderChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('_')
        || c == QLatin1Char('-');
}

} // namespace

QString publisherUsage()
{
    return QStringLiteral(
        "Usage: publisher SOURCE_DIR OUT_DIR VERSION [FOLDER]\n"
        "\n"
        "Publishes the files below SOURCE_DIR as release VERSION for the HTTP update\n"
        "channel. Writes OUT_DIR/FOLDER/ (the files and their md5.txt) and then\n"
        "OUT_DIR/update.ini naming VERSION and FOLDER. FOLDER defaults to VERSION and\n"
        "must not exist yet (or be empty). Serve OUT_DIR with any static web server and\n"
        "set Update/URL in system.cfg to its address, ending with \"/\".\n");
}

PublisherArguments parsePublisherArguments(const QStringList &arguments)
{
    PublisherArguments parsed;
    if (arguments.contains(QStringLiteral("-h")) || arguments.contains(QStringLiteral("--help"))) {
        parsed.help = true;
        return parsed;
    }
    if (arguments.size() < 3 || arguments.size() > 4) {
        parsed.error = QStringLiteral("expected SOURCE_DIR OUT_DIR VERSION [FOLDER]");
        return parsed;
    }
    parsed.request.sourceDir = arguments.at(0);
    parsed.request.outDir = arguments.at(1);
    parsed.request.version = arguments.at(2);
    parsed.request.folder = arguments.size() == 4 ? arguments.at(3) : arguments.at(2);
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

QByteArray releaseIniText(const QString &version, const QString &folder)
{
    return "[" + QByteArray(Names::kGroupVersion) + "]\r\n" + QByteArray(Names::kKeyReleaseVersion) + "="
        + version.toLatin1() + "\r\nFolder=" + folder.toLatin1() + "\r\n";
}

QString publishRelease(const PublishRequest &request, int *fileCount)
{
    const QString nameError = checkReleaseNames(request.version, request.folder);
    if (!nameError.isEmpty())
        return nameError;
    const QFileInfo sourceInfo(request.sourceDir);
    if (!sourceInfo.isDir())
        return QStringLiteral("not a folder: ") + request.sourceDir;
    const QString source = sourceInfo.canonicalFilePath();

    QStringList files;
    listFilesRecursive(source, QString(), files);
    files.removeAll(QLatin1Char('/') + Names::kMd5File);
    const QStringList workPlaces = InstallLayout::withUsualSettings(source).workPlaces();
    for (const QString &relative : qAsConst(files)) {
        const QString reason = unsafePathReason(relative, workPlaces);
        if (!reason.isEmpty())
            return QStringLiteral("cannot publish %1: a client would refuse it (%2)").arg(relative, reason);
    }

    // Checked before anything is created; links are resolved.
    if (PathPolicy::isSameFolder(source, request.outDir) || PathPolicy::isStrictlyInside(source, request.outDir))
        return QStringLiteral("the output folder lies inside the source folder");
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
    const Md5Map manifest = readMd5File(releaseDir + QLatin1Char('/') + Names::kMd5File);
    if (manifest.size() != files.size() || manifest.values().contains(QString()))
        return QStringLiteral("cannot write a complete manifest in ") + releaseDir;

    QSaveFile ini(request.outDir + QLatin1Char('/') + Names::kUpdateIniFile);
    const QByteArray text = releaseIniText(request.version, request.folder);
    if (!ini.open(QIODevice::WriteOnly) || ini.write(text) != text.size() || !ini.commit())
        return QStringLiteral("cannot write ") + ini.fileName();
    if (fileCount)
        *fileCount = files.size();
    return QString();
}
