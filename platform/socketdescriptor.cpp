#include "platform/socketdescriptor.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <unistd.h>
#endif

void closeSocketDescriptor(qintptr descriptor)
{
#ifdef Q_OS_WIN
    closesocket(static_cast<SOCKET>(descriptor));
#else
    ::close(static_cast<int>(descriptor));
#endif
}
