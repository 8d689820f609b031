#pragma once

#include <QHostAddress>

// What the operating system must grant before a server can hold a crowd.
namespace SocketSetup {

// Raises this process's limit of open descriptors to the most it may have;
// returns the limit now in force (-1 where there is none to read).
long raiseDescriptorLimit();

// A TCP socket listening on address:port with a queue of `backlog`
// connections not yet accepted (the system may cut it to its own maximum),
// with SO_REUSEADDR; -1 on failure (errno tells why) or where the system
// offers no such call, in which case the caller listens through Qt with its
// fixed queue.
qintptr openListeningSocket(const QHostAddress &address, quint16 port, int backlog);

// Makes closing the connected socket `descriptor` reset the connection at
// once: what the system still holds for the peer is dropped, instead of
// being kept (and retried) for a peer that does not read.
void resetOnClose(qintptr descriptor);

// True where sendFileNow is offered: file data then never passes through
// this process's memory.
bool sendsFiles();

// Writes what the system takes of data to the connected non-blocking
// socket `descriptor` without waiting; returns the bytes taken, 0 when it
// takes none now, -1 on an error or where this is not offered (the caller
// then queues them with the socket, which reports errors itself).
// With `more`, the system may hold the bytes back for what follows.
qint64 sendNow(qintptr descriptor, const char *data, qint64 size, bool more = false);
// The same for `size` bytes of the open file `file` from `offset`, copied
// by the system from its cache; -1 also when the file ends before them.
qint64 sendFileNow(qintptr descriptor, int file, qint64 offset, qint64 size);

} // namespace SocketSetup
