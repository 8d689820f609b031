#pragma once

// The whole run of update.exe: application, icon, log, argument lines,
// single-instance guard, controller and run mode. Returns the exit code:
// 1 when another instance runs (after asking it to bring its window to the
// front) or the controller cannot be initialised, the
// event loop's result when a window was shown, 0 otherwise.
int runUpdater(int argc, char **argv);
