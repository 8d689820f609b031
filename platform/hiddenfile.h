#pragma once

#include <QString>

// Creates an empty file at path that directory listings of ordinary files
// leave out: its name starts with "." (hidden on Unix), and on Windows it
// also carries the hidden attribute. True when the file exists afterwards.
bool createHiddenFile(const QString &path);
