// Windows half of the platform layer: Winsock 2.2, recursive critical sections, one-time
// initialisation records, the tick count, Sleep, WSAPoll and the IP helper's adapter list.
// winsock2.h must come before windows.h, or the Winsock 1 option values are used.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "platform/plat.h"
#include "platform/plat_common.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat_mutex) &&
              alignof(CRITICAL_SECTION) <= alignof(plat_mutex));
static_assert(sizeof(INIT_ONCE) <= sizeof(plat_once_t) && alignof(INIT_ONCE) <= alignof(plat_once_t));
static_assert(sizeof(SOCKET) <= sizeof(sock_t));
// INVALID_SOCKET is all one bits, which is -1 as a sock_t.
static_assert((sock_t)INVALID_SOCKET == PLAT_INVALID_SOCK);

static CRITICAL_SECTION *cs(plat_mutex *m) {
    return reinterpret_cast<CRITICAL_SECTION *>(m->opaque);
}

static BOOL CALLBACK run_once(PINIT_ONCE, PVOID fn, PVOID *) {
    reinterpret_cast<void (*)(void)>(fn)();
    return TRUE;
}

void plat_once(plat_once_t *o, void (*fn)(void)) {
    InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(o->opaque), run_once, reinterpret_cast<PVOID>(fn),
                        nullptr);
}

// Critical sections are recursive by nature.
void plat_mutex_init(plat_mutex *m) {
    InitializeCriticalSection(cs(m));
}

void plat_lock(plat_mutex *m) {
    EnterCriticalSection(cs(m));
}
void plat_unlock(plat_mutex *m) {
    LeaveCriticalSection(cs(m));
}

uint64_t plat_now_ms(void) {
    return GetTickCount64();
}

void plat_sleep_ms(int ms) {
    if (ms > 0) Sleep((DWORD)ms);
}

// Winsock starts once, also when several threads arrive together; a failed start
// leaves the record unset so a later call tries again.
static INIT_ONCE s_net_once = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK start_winsock(PINIT_ONCE, PVOID, PVOID *) {
    WSADATA wd;
    return WSAStartup(MAKEWORD(2, 2), &wd) == 0;
}

int plat_net_init(void) {
    return InitOnceExecuteOnce(&s_net_once, start_winsock, nullptr, nullptr) ? 0 : -1;
}

static SOCKET sk(sock_t s) {
    return (SOCKET)s;
}

sock_t plat_udp_socket(void) {
    // Not inheritable: a child process started by the host must not keep the SSDP port.
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? PLAT_INVALID_SOCK : (sock_t)s;
}

void plat_sock_close(sock_t s) {
    if (s != PLAT_INVALID_SOCK) closesocket(sk(s));
}

int plat_sock_errno(void) {
    return WSAGetLastError();
}

int plat_sock_reuseaddr(sock_t s) {
    BOOL on = TRUE;
    return setsockopt(sk(s), SOL_SOCKET, SO_REUSEADDR, (const char *)&on, sizeof on);
}

int plat_sock_bind(sock_t s, uint32_t addr, int port) {
    sockaddr_in sa;
    plat_make_addr(&sa, addr, port);
    return bind(sk(s), (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

// Some stacks want these options as a byte, others as an int (Winsock reads a DWORD): set both.
static int set_byte_then_int(sock_t s, int opt, int v) {
    unsigned char b = (unsigned char)v;
    DWORD d = (DWORD)v;
    int r1 = setsockopt(sk(s), IPPROTO_IP, opt, (const char *)&b, sizeof b);
    int r2 = setsockopt(sk(s), IPPROTO_IP, opt, (const char *)&d, sizeof d);
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
    return setsockopt(sk(s), IPPROTO_IP, IP_MULTICAST_IF, (const char *)&a, sizeof a) == 0 ? 0 : -1;
}

int plat_sock_mcast_join(sock_t s, uint32_t group, uint32_t ifaddr) {
    ip_mreq m;
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = ifaddr;
    return setsockopt(sk(s), IPPROTO_IP, IP_ADD_MEMBERSHIP, (const char *)&m, sizeof m) == 0 ? 0 : -1;
}

int plat_sock_sendto(sock_t s, const void *buf, int len, uint32_t addr, int port) {
    sockaddr_in sa;
    plat_make_addr(&sa, addr, port);
    int r = sendto(sk(s), (const char *)buf, len, 0, (const sockaddr *)&sa, sizeof sa);
    return r == SOCKET_ERROR ? -1 : r;
}

int plat_sock_recvfrom(sock_t s, void *buf, int cap, uint32_t *from_addr, int *from_port) {
    sockaddr_in sa;
    int sl = sizeof sa;
    memset(&sa, 0, sizeof sa);
    int r = recvfrom(sk(s), (char *)buf, cap, 0, (sockaddr *)&sa, &sl);
    // A datagram larger than the buffer arrives cut with WSAEMSGSIZE, as POSIX cuts it silently.
    if (r == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) return -1;
        r = cap;
    }
    if (from_addr) *from_addr = sa.sin_addr.s_addr;
    if (from_port) *from_port = ntohs(sa.sin_port);
    return r;
}

int plat_poll1(sock_t s, int want, int timeout_ms) {
    WSAPOLLFD p;
    p.fd = sk(s);
    p.events = (SHORT)(((want & PLAT_POLL_IN) ? POLLRDNORM : 0) | ((want & PLAT_POLL_OUT) ? POLLWRNORM : 0));
    p.revents = 0;
    int r = WSAPoll(&p, 1, timeout_ms);
    if (r == SOCKET_ERROR) return -1;
    if (r == 0) return 0;
    int out = 0;
    if (p.revents & (POLLRDNORM | POLLERR | POLLHUP | POLLNVAL)) out |= PLAT_POLL_IN;
    if (p.revents & POLLWRNORM) out |= PLAT_POLL_OUT;
    return out;
}

int plat_sock_bind_group(sock_t s, uint32_t group, uint32_t ifaddr, int port) {
    (void)group;
    (void)ifaddr;
    // Winsock refuses a group address as a local address. The wildcard receives the groups
    // joined on any interface, on Windows and under wine alike (wine keeps the host's rule
    // that a socket bound to an interface address never sees group datagrams); the join
    // alone picks the interface.
    return plat_sock_bind(s, 0, port);
}

int plat_ipv4_interfaces(uint32_t *out, int max) {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16384;
    IP_ADAPTER_ADDRESSES *list = nullptr;
    ULONG r = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the sizing call and the next: a few tries, then give up.
    for (int tries = 0; tries < 3 && r == ERROR_BUFFER_OVERFLOW; tries++) {
        free(list);
        list = (IP_ADAPTER_ADDRESSES *)malloc(size);
        if (!list) return 0;
        r = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
    }
    plat_iface found[PLAT_MAX_IFACES];
    int nfound = 0;
    for (IP_ADAPTER_ADDRESSES *a = r == NO_ERROR ? list : nullptr; a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || (a->Flags & IP_ADAPTER_NO_MULTICAST)) continue;
        bool loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u && nfound < PLAT_MAX_IFACES;
             u = u->Next) {
            const sockaddr *sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET) continue;
            found[nfound++] = {((const sockaddr_in *)(const void *)sa)->sin_addr.s_addr, loopback};
        }
    }
    free(list);
    return plat_pick_interfaces(found, nfound, out, max);
}
