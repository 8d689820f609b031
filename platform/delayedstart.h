#pragma once
// Portable layer for the delayed start: the script that waits one second,
// starts a program and removes itself. On Windows it is a GBK batch file run
// by "cmd.exe /c"; elsewhere a /bin/sh script run detached.

#include <QByteArray>
#include <QString>
#include <QStringList>

// Text of the Windows batch script, encoded in GBK with CR LF line ends.
// Every "%" in the paths and arguments is doubled, which the batch file
// reads back as one "%".
QByteArray batchScriptBytes(const QString &program, const QStringList &arguments, const QString &scriptPath);

// cmd.exe's command line for running the script: /c ""<script>"" with the
// native path. cmd.exe strips the outer pair of quotes and keeps the inner
// pair, so a path with blanks, "&", "^" or parentheses stays one word (a
// single pair would be stripped as soon as such a character appears).
QString batchCommandArguments(const QString &scriptPath);

// Text of the POSIX shell script (UTF-8, LF), every word quoted for /bin/sh.
QByteArray shellScriptBytes(const QString &program, const QStringList &arguments, const QString &scriptPath);

// Quotes one word for /bin/sh: '...' with embedded quotes as '\''.
QString shellQuote(const QString &word);

#ifdef Q_OS_WIN
// File name of the batch script, %1 = milliseconds since epoch.
QString delayedScriptName(qint64 msecsSinceEpoch);
#endif

// Starts a program detached with its standard streams on the null device:
// the updater's standard output belongs to the calling program (one JSON
// line), and a reader waiting for end of file must not wait for the started
// program to exit. (Without a console input, the batch script's timeout
// cannot run; the script then waits with ping.)
bool startDetached(const QString &program, const QStringList &arguments);

// Writes the script and starts it detached; falls back to a direct detached
// start when the script cannot be written or started. Warnings go to Qt's
// message handler. On Windows the script goes to the user's temp folder;
// elsewhere it is created exclusively, under an unpredictable name, in the
// user's private folder (see privateRuntimeFolder).
void delayedStart(const QString &program, const QStringList &arguments);
