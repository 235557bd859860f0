// POSIX half of the platform layer (Linux and the BSDs): pthreads, CLOCK_MONOTONIC, BSD sockets.
#include "platform/plat.h"
#include "platform/plat_common.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(plat_mutex) &&
              alignof(pthread_mutex_t) <= alignof(plat_mutex));
static_assert(sizeof(pthread_once_t) <= sizeof(plat_once_t) &&
              alignof(pthread_once_t) <= alignof(plat_once_t));
// PLAT_ONCE_INIT is all zero bytes; the system's initialiser must be too.
constexpr pthread_once_t k_once_init = PTHREAD_ONCE_INIT;
static_assert(k_once_init == 0);

static pthread_mutex_t *mtx(plat_mutex *m) {
    return reinterpret_cast<pthread_mutex_t *>(m->opaque);
}

void plat_once(plat_once_t *o, void (*fn)(void)) {
    pthread_once(reinterpret_cast<pthread_once_t *>(o->opaque), fn);
}

void plat_mutex_init(plat_mutex *m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mtx(m), &a);
    pthread_mutexattr_destroy(&a);
}

void plat_lock(plat_mutex *m) {
    pthread_mutex_lock(mtx(m));
}
void plat_unlock(plat_mutex *m) {
    pthread_mutex_unlock(mtx(m));
}

uint64_t plat_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

void plat_sleep_ms(int ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// POSIX sockets need no start-up; the call stays so callers keep one shape.
int plat_net_init(void) {
    return 0;
}

sock_t plat_udp_socket(void) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return s < 0 ? PLAT_INVALID_SOCK : (sock_t)s;
}

// sock_t is wider than a descriptor; every call below narrows it back.
static int fd(sock_t s) {
    return (int)s;
}

void plat_sock_close(sock_t s) {
    if (s != PLAT_INVALID_SOCK) close(fd(s));
}

int plat_sock_errno(void) {
    return errno;
}

int plat_sock_reuseaddr(sock_t s) {
    int on = 1;
    return setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int plat_sock_bind(sock_t s, uint32_t addr, int port) {
    sockaddr_in sa;
    plat_make_addr(&sa, addr, port);
    return bind(fd(s), (const sockaddr *)&sa, sizeof sa);
}

// Some stacks want these options as a byte, others as an int: set both.
static int set_byte_then_int(sock_t s, int opt, int v) {
    unsigned char b = (unsigned char)v;
    int r1 = setsockopt(fd(s), IPPROTO_IP, opt, &b, sizeof b);
    int r2 = setsockopt(fd(s), IPPROTO_IP, opt, &v, sizeof v);
    return (r1 == 0 || r2 == 0) ? 0 : -1;
}

int plat_sock_mcast_ttl(sock_t s, int ttl) {
    return set_byte_then_int(s, IP_MULTICAST_TTL, ttl);
}
int plat_sock_mcast_loop(sock_t s, int loop) {
    return set_byte_then_int(s, IP_MULTICAST_LOOP, loop);
}

int plat_sock_mcast_if(sock_t s, uint32_t ifaddr) {
    in_addr a;
    a.s_addr = ifaddr;
    return setsockopt(fd(s), IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
}

int plat_sock_mcast_join(sock_t s, uint32_t group, uint32_t ifaddr) {
    ip_mreq m;
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = ifaddr;
    return setsockopt(fd(s), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
}

int plat_sock_sendto(sock_t s, const void *buf, int len, uint32_t addr, int port) {
    sockaddr_in sa;
    plat_make_addr(&sa, addr, port);
    return (int)sendto(fd(s), buf, (size_t)len, MSG_NOSIGNAL, (const sockaddr *)&sa, sizeof sa);
}

int plat_sock_recvfrom(sock_t s, void *buf, int cap, uint32_t *from_addr, int *from_port) {
    sockaddr_in sa;
    socklen_t sl = sizeof sa;
    memset(&sa, 0, sizeof sa);
    ssize_t r = recvfrom(fd(s), buf, (size_t)cap, 0, (sockaddr *)&sa, &sl);
    if (r < 0) return -1;
    if (from_addr) *from_addr = sa.sin_addr.s_addr;
    if (from_port) *from_port = ntohs(sa.sin_port);
    return (int)r;
}

int plat_poll1(sock_t s, int want, int timeout_ms) {
    pollfd p;
    p.fd = fd(s);
    p.events = (short)(((want & PLAT_POLL_IN) ? POLLIN : 0) | ((want & PLAT_POLL_OUT) ? POLLOUT : 0));
    p.revents = 0;
    int r = poll(&p, 1, timeout_ms);
    if (r < 0) return -1;
    if (r == 0) return 0;
    int out = 0;
    if (p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) out |= PLAT_POLL_IN;
    if (p.revents & POLLOUT) out |= PLAT_POLL_OUT;
    return out;
}

int plat_sock_bind_group(sock_t s, uint32_t group, uint32_t ifaddr, int port) {
    (void)ifaddr;
    // The group address keeps other groups' traffic on this port out; the wildcard is the
    // fallback for a stack that refuses to bind a group address.
    if (plat_sock_bind(s, group, port) == 0) return 0;
    return plat_sock_bind(s, 0, port);
}

int plat_ipv4_interfaces(uint32_t *out, int max) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    plat_iface found[PLAT_MAX_IFACES];
    int nfound = 0;
    for (ifaddrs *i = list; i && nfound < PLAT_MAX_IFACES; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        unsigned f = i->ifa_flags;
        if (!(f & IFF_UP) || !(f & IFF_MULTICAST)) continue;
        found[nfound++] = {((const sockaddr_in *)(const void *)i->ifa_addr)->sin_addr.s_addr,
                           (f & IFF_LOOPBACK) != 0};
    }
    freeifaddrs(list);
    return plat_pick_interfaces(found, nfound, out, max);
}
