// What the POSIX and Win32 halves of the platform layer share. Only they include it.
#pragma once

#include <stdint.h>

struct sockaddr_in;

// The IPv4 socket address of addr and port (both as plat.h takes them).
void plat_make_addr(sockaddr_in *sa, uint32_t addr, int port);

// Interface addresses one listing looks at; more than any host has.
constexpr int PLAT_MAX_IFACES = 256;

// One IPv4 address of an interface that is up and can send multicast.
struct plat_iface {
    uint32_t addr;
    bool loopback;
};

// The interface list rule of plat_ipv4_interfaces: every non-loopback address once, in
// the system's order; the loopback ones only when there is no other. Returns the count.
int plat_pick_interfaces(const plat_iface *found, int nfound, uint32_t *out, int max);
