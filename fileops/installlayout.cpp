#include "fileops/installlayout.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/layout.h"
#include "fileops/pathpolicy.h"

#include <QCoreApplication>
#include <QDir>

namespace {

QString below(const QString &installation, const QString &setting)
{
    return setting.isEmpty() ? QString() : Layout::withSlash(QDir::cleanPath(installation + setting));
}

} // namespace

InstallLayout InstallLayout::build(const QString &folder, const QString &temp, const QString &backup,
                                   const QString &log)
{
    InstallLayout layout;
    layout.installation = Layout::withSlash(QDir::cleanPath(folder));
    layout.staging = below(layout.installation, temp);
    layout.backup = below(layout.installation, backup);
    layout.parkedUpdater = layout.installation + Names::kUpdaterCopyDir;
    layout.previous = layout.installation + Names::kPreviousDir;
    // A prefix that would put the log elsewhere is dropped: the log stays in
    // the installation folder.
    layout.logPrefix = layout.installation + (PathPolicy::isSafeLogPrefix(layout.installation, log) ? log : QString());
    return layout;
}

InstallLayout InstallLayout::fromConfig(const QString &folder, const CSystemConfig &config)
{
    return build(folder, config.getTempPath(), config.getBackupPath(), config.getLogPath());
}

InstallLayout InstallLayout::withUsualSettings(const QString &folder)
{
    return build(folder, QStringLiteral("UpdateTemp/"), QStringLiteral("Backup/"), QString());
}

QStringList InstallLayout::workPlaces() const
{
    const auto inside = [this](const QString &path) {
        QString rel = path.startsWith(installation) ? path.mid(installation.size()) : QString();
        while (rel.endsWith(QLatin1Char('/')))
            rel.chop(1);
        return rel;
    };
    QStringList places{inside(staging), inside(backup), inside(parkedUpdater), inside(previous), Names::kJournalFile,
                       Names::kUpdateDir + Names::kUpdateTmpIniFile, Names::kUpdateDir + Names::kMd5TmpFile,
                       Names::kUpdateDir + Names::kStatementFile, Names::kUpdateDir + Names::kPartialDir,
                       Names::kUpdateDir + Names::kRolloutGroupFile};
    // The logs rotate into name.1.log .. name.3.log.
    for (const QString &base : {QStringLiteral("update"), QStringLiteral("updatehelper")}) {
        places << inside(logPrefix + base + QStringLiteral(".log"));
        for (int i = 1; i <= 3; ++i)
            places << inside(logPrefix + base + QStringLiteral(".%1.log").arg(i));
    }
    places.removeAll(QString());
    return places;
}

QString InstallLayout::shownPath(const QString &path) const
{
    const QString root = QDir::cleanPath(installation);
    const QString clean = QDir::cleanPath(path);
    if (clean == root)
        return QStringLiteral("安装目录");
    if (clean.startsWith(root + QLatin1Char('/')))
        return clean.mid(root.size() + 1);
    return path;
}

const InstallLayout &InstallLayout::ofProgram()
{
    static const InstallLayout layout = fromConfig(QCoreApplication::applicationDirPath(), *CSystemConfig::instance());
    return layout;
}
