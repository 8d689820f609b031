#pragma once

#include <QProcess>
#include <QString>

// A second process that holds update.exe's single-instance guard, as a
// running updater would. The test program itself plays that process: its
// main calls holdGuardIfAsked first.

// In the child: holds the guard named by the environment until killed and
// returns true (main then returns). False in the test itself.
bool holdGuardIfAsked(int argc, char **argv);

// Starts program (this test program or a copy of it) as a holder of the
// guard of the executable at exePath, in env (empty: this process's
// environment); true once it holds it.
bool startGuardHolder(QProcess &holder, const QString &exePath, const QString &program = QString(),
                      const QProcessEnvironment &env = QProcessEnvironment());

// Ends the holder the hard way, leaving its guard behind as a crash would.
void killGuardHolder(QProcess &holder);
