// Live SSDP search: M-SEARCH over multicast, then listen for replies and announcements.
#include "ssdp.h"

#include <stdio.h>

#include "discover.h"
#include "exports.h"
#include "plat.h"
#include "util.h"

namespace {

constexpr const char *ST_SERVER = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr const char *ST_RENDERER = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr const char *ST_ALL = "ssdp:all";

// Search targets of a kind, in sending order; returns their number.
int targets_of(int kind, const char *out[3]) {
    int n = 0;
    if (kind == 1 || kind == 3) out[n++] = ST_SERVER;
    if (kind == 2 || kind == 3) out[n++] = ST_RENDERER;
    out[n++] = ST_ALL;
    return n;
}

// Both sockets of one search, closed on every way out.
struct search_socks {
    sock_t send = PLAT_INVALID_SOCK;
    sock_t recv = PLAT_INVALID_SOCK;
    search_socks() = default;
    search_socks(const search_socks &) = delete;
    search_socks &operator=(const search_socks &) = delete;
    ~search_socks() {
        plat_sock_close(send);
        plat_sock_close(recv);
    }
};

void send_searches(sock_t s, const char *const *st, int nst, uint32_t group, int port,
                   const char *group_text) {
    char msg[512];
    for (int i = 0; i < nst; i++) {
        int n = snprintf(
            msg, sizeof msg,
            "M-SEARCH * HTTP/1.1\r\nHOST: %s:%d\r\nMAN: \"ssdp:discover\"\r\nMX: 3\r\nST: %s\r\n\r\n",
            group_text, port, st[i]);
        if (n < 0 || n >= (int)sizeof msg) continue;
        plat_sock_sendto(s, msg, n, group, port);
    }
}

void handle_datagram(sock_t s) {
    char buf[4096];
    int n = plat_sock_recvfrom(s, buf, (int)sizeof buf - 1, nullptr, nullptr);
    if (n <= 0) return;
    buf[n] = 0;
    ssdp_reply r;
    int kind = ssdp_parse_packet(buf, (size_t)n, &r);
    if (kind != SSDP_REPLY && kind != SSDP_ALIVE) return;
    char err[256];
    plat_guard g(&g_lock);
    devices_add_from_reply(&r, err, sizeof err);
}

} // namespace

int ssdp_discover_live(int kind, int timeout_ms, char *err, size_t errn) {
    if (plat_net_init() != 0) {
        str_copy(err, errn, "net init failed");
        return KVDMC_E_NET;
    }
    // The settings are read once, so a change during the search does not mix two setups.
    char group_text[64], if_text[64];
    int port, ttl;
    {
        plat_guard g(&g_lock);
        str_copy(group_text, sizeof group_text, g_cfg.ssdp_group);
        str_copy(if_text, sizeof if_text, g_cfg.ssdp_if);
        port = g_cfg.ssdp_port;
        ttl = g_cfg.ssdp_ttl;
    }
    uint32_t ifaddr = 0;
    if (if_text[0] && parse_ipv4(if_text, &ifaddr) != 0) {
        str_copy(err, errn, "bad ssdp_if");
        return KVDMC_E_ARG;
    }
    uint32_t group = 0;
    parse_ipv4(group_text, &group); // validated when it was configured

    search_socks ss;
    ss.send = plat_udp_socket();
    if (ss.send == PLAT_INVALID_SOCK) {
        str_fmt(err, errn, "socket: %d", plat_sock_errno());
        return KVDMC_E_NET;
    }
    plat_sock_mcast_ttl(ss.send, ttl);
    plat_sock_mcast_loop(ss.send, 0);
    plat_sock_mcast_if(ss.send, ifaddr);

    ss.recv = plat_udp_socket();
    if (ss.recv == PLAT_INVALID_SOCK) {
        str_fmt(err, errn, "socket: %d", plat_sock_errno());
        return KVDMC_E_NET;
    }
    plat_sock_reuseaddr(ss.recv);
    if (plat_sock_bind_group(ss.recv, group, ifaddr, port) != 0) {
        str_fmt(err, errn, "bind %d: %d", port, plat_sock_errno());
        return KVDMC_E_NET;
    }
    if (plat_sock_mcast_join(ss.recv, group, ifaddr) != 0) {
        uint32_t lo = 0;
        parse_ipv4("127.0.0.1", &lo);
        if (plat_sock_mcast_join(ss.recv, group, lo) != 0) {
            str_fmt(err, errn, "join: %d", plat_sock_errno());
            return KVDMC_E_NET;
        }
    }

    const char *st[3];
    int nst = targets_of(kind, st);
    send_searches(ss.send, st, nst, group, port, group_text);
    // UDP may drop a datagram: a second pass a little later makes a lost request unlikely.
    plat_sleep_ms(100);
    send_searches(ss.send, st, nst, group, port, group_text);

    uint64_t deadline = plat_now_ms() + (uint64_t)timeout_ms;
    for (;;) {
        int ready = plat_poll1(ss.send, PLAT_POLL_IN, 10);
        if (plat_now_ms() >= deadline) break;
        if (ready > 0 && (ready & PLAT_POLL_IN)) {
            handle_datagram(ss.send);
        } else if (plat_poll1(ss.recv, PLAT_POLL_IN, 15) > 0) {
            handle_datagram(ss.recv);
        }
    }

    plat_sock_close(ss.send);
    plat_sock_close(ss.recv);
    ss.send = ss.recv = PLAT_INVALID_SOCK;
    plat_guard g(&g_lock);
    devices_purge();
    return 0;
}
