#include "app/application.h"

#include "app/controler.h"
#include "config/names.h"
#include "config/systemconfig.h"
#include "log/logger.h"
#include "platform/headless.h"
#include "platform/instanceguard.h"
#include "platform/raiserequest.h"

#include <QApplication>
#include <QWidget>

namespace {
// How long a second start waits for the running updater to take its knock.
constexpr int kRaiseRequestMs = 2000;
} // namespace

int runUpdater(int argc, char **argv)
{
    useOffscreenWithoutDisplay();
    QApplication app(argc, argv);

    const QStringList arguments = QCoreApplication::arguments();
    const bool console = arguments.contains(QLatin1String(Names::kArgConsole));
    // Standard output in console mode belongs to the JSON result line.
    setLogConsoleToStderr(console);
    const InstallLayout &layout = InstallLayout::ofProgram();
    setupLogging(layout.logPrefix);

    logDebug("Command Line Arguments:");
    for (int i = 0; i < arguments.size(); ++i)
        logDebug(QStringLiteral("argv[%1] =").arg(i) + arguments.at(i));

    const QString guardKey = InstanceGuard::keyFor(QCoreApplication::applicationDirPath());
    if (!InstanceGuard::tryAcquire(guardKey)) {
        // The running updater's window comes to the front; this start ends.
        requestRaise(guardKey, kRaiseRequestMs);
        return 1;
    }
    RaiseListener raiseListener(guardKey);
    QObject::connect(&raiseListener, &RaiseListener::raiseRequested, [] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->isVisible()) {
                window->showNormal();
                window->raise();
                window->activateWindow();
            }
        }
    });

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
            if (controler.hasVisibleWindow() || controler.isAwaitingResult()) {
                logDebug("a.exec()");
                exitCode = QApplication::exec();
                // A failed or cancelled update ends with 1, also when the
                // user closed its window.
                if (exitCode == 0 && !controler.isSuccess())
                    exitCode = 1;
            }
        } else {
            controler.runHelperMode();
        }
    }
    return exitCode;
}
