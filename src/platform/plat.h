// Platform layer: every operating-system call of the component goes through here.
// This header is the same on every system; plat_posix.cpp and plat_win32.cpp implement it,
// and the build picks one. Errors are the system's own numbers (errno, WSAGetLastError).
#pragma once

#include <stdint.h>

// A socket handle wide enough for both systems' handles (an int, a SOCKET pointer).
typedef intptr_t sock_t;
constexpr sock_t PLAT_INVALID_SOCK = -1;

// Opaque storage for the system's lock and one-time records, sized and aligned for both;
// each implementation checks at compile time that its record fits.
struct plat_mutex {
    alignas(16) unsigned char opaque[64];
};
// All zero before first use, as both systems' static initialisers are.
struct plat_once_t {
    alignas(8) unsigned char opaque[8];
};
#define PLAT_ONCE_INIT                                                                                       \
    {}

// Locks and one-time initialisation.
void plat_once(plat_once_t *o, void (*fn)(void));
void plat_mutex_init(plat_mutex *m); // recursive: the owner may lock again
void plat_lock(plat_mutex *m);
void plat_unlock(plat_mutex *m);

// RAII guard for a plat_mutex.
class plat_guard {
  public:
    explicit plat_guard(plat_mutex *m) : m_(m) { plat_lock(m_); }
    ~plat_guard() { plat_unlock(m_); }
    plat_guard(const plat_guard &) = delete;
    plat_guard &operator=(const plat_guard &) = delete;

  private:
    plat_mutex *m_;
};

// Time.
uint64_t plat_now_ms(void); // monotonic, never goes back
void plat_sleep_ms(int ms);

// UDP sockets for SSDP. Addresses are IPv4 in network byte order.
enum { PLAT_POLL_IN = 1, PLAT_POLL_OUT = 2 };
int plat_net_init(void); // starts the socket interface once; 0 or -1
sock_t plat_udp_socket(void);
void plat_sock_close(sock_t s);
int plat_sock_errno(void); // the calling thread's last socket error number
int plat_sock_reuseaddr(sock_t s);
int plat_sock_bind(sock_t s, uint32_t addr, int port);
int plat_sock_mcast_ttl(sock_t s, int ttl);   // sets it as a byte and as an int
int plat_sock_mcast_loop(sock_t s, int loop); // likewise
int plat_sock_mcast_if(sock_t s, uint32_t ifaddr);
int plat_sock_mcast_join(sock_t s, uint32_t group, uint32_t ifaddr);
int plat_sock_sendto(sock_t s, const void *buf, int len, uint32_t addr, int port);
// Returns bytes received or -1; the sender's address goes to *from_addr when given.
int plat_sock_recvfrom(sock_t s, void *buf, int cap, uint32_t *from_addr, int *from_port);
int plat_poll1(sock_t s, int want, int timeout_ms);
// Addresses of the up, multicast-capable IPv4 interfaces other than loopback (the
// loopback ones when there is no other), at most max of them; returns their number.
int plat_ipv4_interfaces(uint32_t *out, int max);
// Binds a socket that is to receive the datagrams of multicast `group` joined on `ifaddr`.
// Group datagrams reach only sockets bound to the wildcard or (POSIX) the group address,
// never one bound to an interface address, so the interface is chosen by the join alone.
int plat_sock_bind_group(sock_t s, uint32_t group, uint32_t ifaddr, int port);
