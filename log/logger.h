#pragma once

#include <string>

// Log set-up. The log has two sinks: a coloured console sink (info and up)
// and a rotating file update.log (debug and up, 5 MiB x 3). In console mode
// the console sink and the fallbacks write to standard error so that standard
// output carries the JSON result line alone.

// Chooses standard error for console output. Call before setupLogging.
void setLogConsoleToStderr(bool toStderr);

// Builds the log path from the configuration, creates the logger and logs
// "Update started". Never throws, never ends the program.
void setupLogging();

// Creates the logger at path, given in the file system's 8-bit encoding
// (QFile::encodeName: UTF-8 on Linux, the ANSI code page on Windows, where
// the log is opened with the C runtime's narrow fopen). On failure prints
// "Log initialization failed: <reason>" to standard error and leaves the
// wrappers on their console fallbacks.
void initLogger(const std::string &path);

// Drops the logger (the wrappers fall back to the console). For tests.
void shutdownLogger();

// Level wrappers. The message is plain text, never a format string.
void logDebug(const std::string &message);
void logInfo(const std::string &message);
void logWarn(const std::string &message);
void logError(const std::string &message);
