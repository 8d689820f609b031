#include "release.h"

#include "config/names.h"
#include "config/releasecontrol.h"
#include "fileops/installlayout.h"
#include "fileops/pathpolicy.h"
#include "fileops/tempfilewriter.h"
#include "http/md5manifest.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace {

bool fits(const QString &text, int width)
{
    return text.toUtf8().size() <= width - 1;
}

// A check on one file; empty when it can be offered.
QString problemWith(const ReleaseFile &file, const QStringList &workPlaces)
{
    const PathPolicy::ReleaseNameProblem problem = stagedNameProblem(file.id.filePath, file.id.fileName, workPlaces);
    if (problem != PathPolicy::ReleaseNameProblem::None)
        return QStringLiteral("a client could not install %1 (%2)").arg(file.localPath, releaseNameText(problem));
    if (!fits(file.id.filePath, TcpProtocol::kPathWidth))
        return QStringLiteral("path longer than %1 bytes: %2").arg(TcpProtocol::kPathWidth - 1).arg(file.id.filePath);
    if (!fits(file.id.fileName, TcpProtocol::kNameWidth))
        return QStringLiteral("file name longer than %1 bytes: %2").arg(TcpProtocol::kNameWidth - 1).arg(file.id.fileName);
    if (file.size > 0xFFFFFFFFLL)
        return QStringLiteral("file of 4 GiB or more: %1").arg(file.localPath);
    return QString();
}

} // namespace

namespace {

bool before(const FileRequest &a, const FileRequest &b)
{
    return a.filePath != b.filePath ? a.filePath < b.filePath : a.fileName < b.fileName;
}

} // namespace

const ReleaseFile *Release::find(const FileRequest &id) const
{
    const auto it = std::lower_bound(files.cbegin(), files.cend(), id,
                                     [](const ReleaseFile &file, const FileRequest &key) { return before(file.id, key); });
    return it != files.cend() && it->id == id ? &*it : nullptr;
}

Release scanRelease(const QString &root, const QString &iniName)
{
    Release release;
    const QString iniPath = QDir(root).filePath(iniName);
    if (!QFileInfo(iniPath).isFile()) {
        release.error = QStringLiteral("no %1 in %2").arg(iniName, root);
        return release;
    }
    QSettings ini(iniPath, QSettings::IniFormat);
    release.version = ini.value(Names::kVersionVersionKey).toString();
    release.minimumVersion = ini.value(Names::kVersionMinRequiredKey).toString();
    release.steppingStone = ini.value(Names::kVersionSteppingStoneKey).toString();
    const QString folder = QDir::cleanPath(ini.value(Names::kVersionFolderKey).toString());
    const auto rollout = ReleaseControl::parseRollout(ini.value(Names::kVersionRolloutKey).toString());
    if (!rollout) {
        release.error = QStringLiteral("%1: [Version] Rollout must be a percent 0..100").arg(iniPath);
        return release;
    }
    release.rollout = *rollout;
    if (release.version.isEmpty() || folder.isEmpty() || folder == QLatin1String(".")) {
        release.error = QStringLiteral("%1 lacks [Version] Version or Folder").arg(iniPath);
        return release;
    }
    if (!PathPolicy::isStrictlyInside(root, QDir(root).filePath(folder))) {
        release.error = QStringLiteral("Folder must lie inside %1: %2").arg(root, folder);
        return release;
    }
    const QString base = QDir(root).filePath(folder);
    if (!QFileInfo(base).isDir()) {
        release.error = QStringLiteral("release folder missing: %1").arg(base);
        return release;
    }

    QDirIterator it(base, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    bool ownVersionFile = false;
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relativeDir = QDir(base).relativeFilePath(info.absolutePath());
        ReleaseFile file;
        file.id.filePath = relativeDir == QLatin1String(".") ? QString() : relativeDir;
        file.id.fileName = info.fileName();
        file.localPath = path;
        file.size = info.size();
        ownVersionFile = ownVersionFile || (file.id.filePath.isEmpty() && file.id.fileName == Names::kUpdateIniFile);
        release.files.append(file);
    }
    if (!ownVersionFile)
        release.files.append(ReleaseFile{FileRequest{QString(), Names::kUpdateIniFile}, iniPath, QFileInfo(iniPath).size()});
    std::sort(release.files.begin(), release.files.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return before(a.id, b.id); });
    const QStringList workPlaces = InstallLayout::withUsualSettings(root).workPlaces();
    for (const ReleaseFile &file : release.files) {
        release.error = problemWith(file, workPlaces);
        if (!release.isValid())
            return release;
    }
    release.patches = PatchFiles::scan(root, release.version, folder);
    return release;
}
