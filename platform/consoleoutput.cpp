#include "platform/consoleoutput.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

void writeStdoutLine(const QByteArray &utf8)
{
    std::fflush(stdout);
#ifdef Q_OS_WIN
    const int previous = _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
#ifdef Q_OS_WIN
    if (previous != -1)
        _setmode(_fileno(stdout), previous);
#endif
}
