#include "fileops/installlayout.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "fileops/layout.h"

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
    layout.logPrefix = layout.installation + log;
    return layout;
}

InstallLayout InstallLayout::fromConfig(const QString &folder, const CSystemConfig &config)
{
    return build(folder, config.getTempPath(), config.getBackupPath(), config.getLogPath());
}

const InstallLayout &InstallLayout::ofProgram()
{
    static const InstallLayout layout = fromConfig(QCoreApplication::applicationDirPath(), *CSystemConfig::instance());
    return layout;
}
