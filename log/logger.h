#pragma once

#include <QString>

#include <string>

// Log set-up. The log has two sinks: a coloured console sink (info and up)
// and a rotating file update.log (debug and up, 5 MiB x 3). In console mode
// the console sink and the fallbacks write to standard error so that standard
// output carries the JSON result line alone.

// Chooses standard error for console output. Call before setupLogging.
void setLogConsoleToStderr(bool toStderr);

// Creates the logger at logPrefix + "update.log" (see InstallLayout) and logs
// "Update started" (a phase line). Never throws, never ends the program.
void setupLogging(const QString &logPrefix);
// The log file setupLogging writes for logPrefix.
QString logFilePath(const QString &logPrefix);

// Creates the logger at path, given in the file system's 8-bit encoding
// (QFile::encodeName: UTF-8 on Linux, the ANSI code page on Windows, where
// the log is opened with the C runtime's narrow fopen). On failure prints
// "Log initialization failed: <reason>" to standard error and leaves the
// wrappers on their console fallbacks.
void initLogger(const std::string &path);

// Drops the logger (the wrappers fall back to the console). For tests.
void shutdownLogger();

// Writes what the log holds so far to the file. Warnings and errors are
// written at once; the lines in between stay buffered until the next of
// them, the next phase line or this call (before the run ends or hands
// over), so a killed run leaves every line up to its last phase change.
void flushLog();
// An info line that marks a change of phase (check done, download done,
// install start and end), written to the file at once.
void logPhase(const QString &message);

// Level wrappers. The message is plain text, never a format string; a
// QString is written as UTF-8.
void logDebug(const std::string &message);
void logInfo(const std::string &message);
void logWarn(const std::string &message);
void logError(const std::string &message);
void logDebug(const QString &message);
void logInfo(const QString &message);
void logWarn(const QString &message);
void logError(const QString &message);
// Literals: without these a string literal would fit both of the above.
void logDebug(const char *message);
void logInfo(const char *message);
void logWarn(const char *message);
void logError(const char *message);
