// The controller's hand-over at the end of a run: the host program, or the
// update helper when the updater's own executable has to be replaced.
#include "app/controler.h"

#include "config/names.h"
#include "config/systemconfig.h"
#include "log/logger.h"
#include "platform/delayedstart.h"

#include <exception>

bool CControler::launchProgram(QString (CSystemConfig::*exeName)() const, const QStringList &arguments)
{
    try {
        // The update may have replaced both settings files.
        config->reload();
        const QString program = appDir + (config->*exeName)();
        logPhase(QStringLiteral("启动: ") + program);
        delayedStart(program, arguments);
        return true;
    } catch (const std::exception &ex) {
        success = false;
        lastError = QStringLiteral("Failed to launch main program: %1").arg(QString::fromLocal8Bit(ex.what()));
        logError(lastError);
        return false;
    }
}

bool CControler::launchHostProgram()
{
    return launchProgram(&CSystemConfig::getHostExe, {});
}

bool CControler::launchUpdateHelper()
{
    return launchProgram(&CSystemConfig::getUpdateHelperExe, {Names::kSelfUpdateExe, Names::kSelfUpdateExe});
}
