#include "app/application.h"

#include "app/controler.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "log/logger.h"
#include "platform/headless.h"
#include "platform/instanceguard.h"
#include "ui/background.h"

#include <QApplication>
#include <QIcon>

int runUpdater(int argc, char **argv)
{
    useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    ensureResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));

    const QStringList arguments = QCoreApplication::arguments();
    const bool console = arguments.contains(QLatin1String(Names::kArgConsole));
    // Standard output in console mode belongs to the JSON result line.
    setLogConsoleToStderr(console);
    const InstallLayout &layout = InstallLayout::ofProgram();
    setupLogging(layout.logPrefix);

    logDebug("Command Line Arguments:");
    for (int i = 0; i < arguments.size(); ++i)
        logDebug(QStringLiteral("argv[%1] =").arg(i) + arguments.at(i));

    if (!InstanceGuard::tryAcquire(InstanceGuard::keyFor(QCoreApplication::applicationDirPath())))
        return 1;

    int exitCode = 0;
    {
        CControler controler(layout, CSystemConfig::instance());
        if (!controler.init()) {
            if (console)
                CControler::printJson(
                    CControler::resultJson(false, true, QStringLiteral("Controller initialization failed")));
            return 1;
        }
        if (controler.parseArguments(arguments)) {
            controler.start();
            if (controler.hasVisibleWindow()) {
                logDebug("a.exec()");
                exitCode = QApplication::exec();
            }
        } else {
            controler.runHelperMode();
        }
    }
    return exitCode;
}
