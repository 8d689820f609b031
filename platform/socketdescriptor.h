#pragma once

#include <QtGlobal>

// Closes a connected socket's native descriptor that no Qt socket took
// over (one a QTcpSocket refused to adopt): nothing else would ever close
// it, and each one held is a descriptor and a connection the peer waits on.
void closeSocketDescriptor(qintptr descriptor);
