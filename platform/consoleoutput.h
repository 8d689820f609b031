#pragma once

#include <QByteArray>

// Writes one line to standard output as the given UTF-8 bytes followed by a
// single "\n", and flushes. The bytes are the same on every platform: on
// Windows the C runtime's text mode would turn "\n" into CR LF and a
// QTextStream would re-encode non-ASCII text in the ANSI code page, so a
// caller parsing the line would see different bytes there.
void writeStdoutLine(const QByteArray &utf8);
