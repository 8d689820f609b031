/* tundelay NAME DELAY_MS
 *
 * Creates the TUN device NAME and sends every IPv4 packet the kernel routes
 * into it back in DELAY_MS milliseconds later, with its source and destination
 * addresses swapped. With 10.0.0.1/24 on the device, a connection from there
 * to 10.0.0.2 reaches a server listening on 10.0.0.1 and each segment crosses
 * the device once per direction, so the path's round-trip time grows by twice
 * DELAY_MS. This kernel has no netem, hence a program of our own.
 *
 * Swapping the two addresses leaves the IP header checksum and the TCP/UDP
 * pseudo-header sums unchanged (one's-complement addition commutes), so the
 * packets need no other change. Prints "ready" once the device exists; ends
 * with its parent, on SIGTERM or on SIGINT. Linux only; used by
 * bench/latency.py, which builds it with cc.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#define MAX_PACKET 65536
/* Like a router's buffer: beyond this many bytes held, packets are dropped
 * and TCP backs off instead of the queue growing without bound. */
#define MAX_HELD_BYTES (256L * 1024 * 1024)

struct packet {
    struct packet *next;
    int64_t due_ns;
    size_t len;
    unsigned char data[];
};

static struct packet *head, *tail;
static long held_bytes;

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int open_tun(const char *name)
{
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        perror("tundelay: /dev/net/tun");
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI; /* bare IP packets, no extra header */
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        perror("tundelay: TUNSETIFF");
        close(fd);
        return -1;
    }
    return fd;
}

/* Reads every packet waiting on the device into the queue, due at now + delay.
 * The delay is constant, so the queue stays ordered by due time. */
static void take_packets(int fd, int64_t delay_ns)
{
    unsigned char buf[MAX_PACKET];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0)
            return; /* EAGAIN: drained */
        if (n < 20 || (buf[0] >> 4) != 4 || held_bytes + n > MAX_HELD_BYTES)
            continue; /* not IPv4 (the kernel's IPv6 chatter), or the buffer is full */
        struct packet *p = malloc(sizeof *p + (size_t)n);
        if (!p)
            continue;
        memcpy(p->data, buf, (size_t)n);
        unsigned char addr[4];
        memcpy(addr, p->data + 12, 4);
        memcpy(p->data + 12, p->data + 16, 4);
        memcpy(p->data + 16, addr, 4);
        p->len = (size_t)n;
        p->due_ns = now_ns() + delay_ns;
        p->next = NULL;
        if (tail)
            tail->next = p;
        else
            head = p;
        tail = p;
        held_bytes += n;
    }
}

/* Writes back every packet whose time has come. */
static void send_due(int fd)
{
    int64_t now = now_ns();
    while (head && head->due_ns <= now) {
        struct packet *p = head;
        /* A failed write loses the packet, as a lossy link would. */
        if (write(fd, p->data, p->len) < 0 && errno == EINTR)
            continue;
        head = p->next;
        if (!head)
            tail = NULL;
        held_bytes -= (long)p->len;
        free(p);
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tundelay NAME DELAY_MS\n");
        return 2;
    }
    char *end;
    long delay_ms = strtol(argv[2], &end, 10);
    if (*end || delay_ms < 0 || delay_ms > 10000) {
        fprintf(stderr, "tundelay: DELAY_MS must be 0..10000\n");
        return 2;
    }
    /* Never outlive the benchmark that started us, even if it is killed. */
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1)
        return 1;

    int fd = open_tun(argv[1]);
    if (fd < 0)
        return 1;
    printf("ready\n");
    fflush(stdout);

    const int64_t delay_ns = (int64_t)delay_ms * 1000000;
    struct pollfd pfd = {.fd = fd, .events = POLLIN};
    for (;;) {
        struct timespec wait, *timeout = NULL;
        if (head) {
            int64_t left = head->due_ns - now_ns();
            if (left < 0)
                left = 0;
            wait.tv_sec = left / 1000000000;
            wait.tv_nsec = left % 1000000000;
            timeout = &wait;
        }
        if (ppoll(&pfd, 1, timeout, NULL) < 0 && errno != EINTR) {
            perror("tundelay: ppoll");
            return 1;
        }
        if (pfd.revents & POLLIN)
            take_packets(fd, delay_ns);
        send_due(fd);
    }
}
