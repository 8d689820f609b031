#pragma once

#include "fileops/installlayout.h"

#include <QString>
#include <QStringList>

// The update helper program's work: once the updater that started it has
// exited, swaps the staged update.exe in as the apply's journal says (an
// updater stays in place at every instant) and commits the update, then
// starts the updater again in update helper mode ("HelperSuccess", or
// "HelperFaile" when the swap failed, which undoes the whole update). It
// reads system.cfg itself and touches nothing outside the installation.
class CUpdateHelper
{
public:
    explicit CUpdateHelper(const InstallLayout &layout, int waitForExitMs = 30000);

    // arguments as given by the updater ("update.exe" "update.exe", after the
    // program path). Returns 0 when the new updater is in place and started,
    // 1 when the swap failed (the old updater is in place and undoes the
    // update), 2 when nothing could be done (the updater did not exit, or
    // bad settings).
    int run(const QStringList &arguments);

private:
    bool startUpdater(const QString &installed, const char *result);

    const InstallLayout layout;
    const int waitForExitMs;
};
