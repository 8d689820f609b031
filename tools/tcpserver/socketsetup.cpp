#include "socketsetup.h"

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace SocketSetup {

#ifdef Q_OS_UNIX

long raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

qintptr openListeningSocket(const QHostAddress &address, quint16 port, int backlog)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    bool ok = false;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address(&ok));
        length = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof(bytes));
        length = sizeof(sockaddr_in6);
        ok = true;
    }
    if (!ok)
        return -1;
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&storage), length) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void resetOnClose(qintptr descriptor)
{
    const linger now{1, 0};
    setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &now, sizeof(now));
}

namespace {

qint64 taken(ssize_t n)
{
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

} // namespace

qint64 sendNow(qintptr descriptor, const char *data, qint64 size, bool more)
{
    return taken(send(static_cast<int>(descriptor), data, static_cast<size_t>(size),
                      MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0)));
}

bool sendsFiles()
{
#ifdef Q_OS_LINUX
    return true;
#else
    return false;
#endif
}

qint64 sendFileNow(qintptr descriptor, int file, qint64 offset, qint64 size)
{
#ifdef Q_OS_LINUX
    off_t from = static_cast<off_t>(offset);
    const ssize_t n = sendfile(static_cast<int>(descriptor), file, &from, static_cast<size_t>(size));
    // Nothing sent of a non-empty request: the file is shorter than it was.
    return n == 0 && size > 0 ? -1 : taken(n);
#else
    Q_UNUSED(descriptor)
    Q_UNUSED(file)
    Q_UNUSED(offset)
    Q_UNUSED(size)
    return 0;
#endif
}

#else

long raiseDescriptorLimit()
{
    return -1;
}

qintptr openListeningSocket(const QHostAddress &, quint16, int)
{
    return -1;
}

void resetOnClose(qintptr)
{
}

bool sendsFiles()
{
    return false;
}

qint64 sendNow(qintptr, const char *, qint64, bool)
{
    return -1;
}

qint64 sendFileNow(qintptr, int, qint64, qint64)
{
    return -1;
}

#endif

} // namespace SocketSetup
