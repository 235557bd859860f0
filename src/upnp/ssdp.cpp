// The live search: M-SEARCH over multicast, then listening for replies and announcements.
#include "upnp/ssdp.h"

#include <stdio.h>
#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/util.h"
#include "platform/plat.h"

// ---------------------------------------------------------------- live search

namespace {

// The second pass of requests follows the first after this long.
constexpr int RESEND_MS = 100;

struct search_target {
    const char *st;
    int mx;
};

// Search targets of a kind, in sending order, after `also` when one is given; returns their
// number. A search for one device asks it to answer within a second: its caller waits for
// that one answer, and the protocol's least MX is 1.
int targets_of(int kind, const char *also, search_target out[4]) {
    int n = 0;
    if (also) out[n++] = {also, 1};
    if (kind == 1 || kind == 3) out[n++] = {ST_MEDIA_SERVER, SSDP_MX};
    if (kind == 2 || kind == 3) out[n++] = {ST_MEDIA_RENDERER, SSDP_MX};
    out[n++] = {SSDP_ALL, SSDP_MX};
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

void send_searches(sock_t s, const search_target *st, int nst, uint32_t group, int port,
                   const char *group_text) {
    char msg[SSDP_SEARCH_CAP];
    for (int i = 0; i < nst; i++) {
        int n = snprintf(
            msg, sizeof msg,
            "M-SEARCH * HTTP/1.1\r\nHOST: %s:%d\r\nMAN: \"ssdp:discover\"\r\nMX: %d\r\nST: %s\r\n\r\n",
            group_text, port, st[i].mx, st[i].st);
        if (n < 0 || n >= (int)sizeof msg) continue;
        plat_sock_sendto(s, msg, n, group, port);
    }
}

// True when the receiver wants the search to end.
bool handle_datagram(sock_t s, ssdp_on_reply on_reply, void *ctx) {
    char buf[SSDP_DATAGRAM_MAX];
    int n = plat_sock_recvfrom(s, buf, (int)sizeof buf - 1, nullptr, nullptr);
    if (n <= 0) return false;
    buf[n] = 0;
    ssdp_reply r;
    int kind = ssdp_parse_packet(buf, (size_t)n, &r);
    return (kind == SSDP_REPLY || kind == SSDP_ALIVE) && on_reply(&r, ctx);
}

} // namespace

int ssdp_search(int kind, const char *also, int timeout_ms, ssdp_on_reply on_reply, void *ctx, char *err,
                size_t errn) {
    if (plat_net_init() != 0) {
        str_copy(err, errn, "net init failed");
        return KVDMC_E_NET;
    }
    // The settings are read once, so a change during the search does not mix two setups.
    char group_text[CFG_ADDR_CAP], if_text[CFG_ADDR_CAP];
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
    // "Any interface" means every one: a host with a VPN, container bridges or two
    // networks must find the devices on all of them, not only on the one the routing
    // table prefers for the group.
    uint32_t ifs[SSDP_MAX_IFS];
    int nifs = 0;
    if (ifaddr == 0) nifs = plat_ipv4_interfaces(ifs, SSDP_MAX_IFS);
    if (nifs == 0) ifs[nifs++] = ifaddr;
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

    ss.recv = plat_udp_socket();
    if (ss.recv == PLAT_INVALID_SOCK) {
        str_fmt(err, errn, "socket: %d", plat_sock_errno());
        return KVDMC_E_NET;
    }
    plat_sock_reuseaddr(ss.recv);
    if (plat_sock_bind_group(ss.recv, group, ifs[0], port) != 0) {
        str_fmt(err, errn, "bind %d: %d", port, plat_sock_errno());
        return KVDMC_E_NET;
    }
    // A join that fails on one interface does not end the search.
    int joined = 0;
    for (int i = 0; i < nifs; i++) joined += plat_sock_mcast_join(ss.recv, group, ifs[i]) == 0;
    if (!joined) {
        uint32_t lo = 0;
        parse_ipv4("127.0.0.1", &lo);
        if (plat_sock_mcast_join(ss.recv, group, lo) != 0) {
            str_fmt(err, errn, "join: %d", plat_sock_errno());
            return KVDMC_E_NET;
        }
    }

    search_target st[4];
    int nst = targets_of(kind, also, st);
    auto send_pass = [&] {
        for (int i = 0; i < nifs; i++) {
            plat_sock_mcast_if(ss.send, ifs[i]);
            send_searches(ss.send, st, nst, group, port, group_text);
        }
    };
    // UDP may drop a datagram: a second pass a little later makes a lost request unlikely.
    // Replies are taken while it waits, so a search that ends at its first answer is not
    // held up by it; the listening time still runs from the second pass.
    send_pass();
    uint64_t resend_at = plat_now_ms() + RESEND_MS;
    uint64_t deadline = resend_at + (uint64_t)timeout_ms;
    bool resent = false;
    for (;;) {
        if (!resent && plat_now_ms() >= resend_at) {
            send_pass();
            resent = true;
        }
        int ready = plat_poll1(ss.send, PLAT_POLL_IN, 10);
        if (plat_now_ms() >= deadline) break;
        if (ready > 0 && (ready & PLAT_POLL_IN)) {
            if (handle_datagram(ss.send, on_reply, ctx)) break;
        } else if (plat_poll1(ss.recv, PLAT_POLL_IN, 15) > 0) {
            if (handle_datagram(ss.recv, on_reply, ctx)) break;
        }
    }
    return 0;
}

extern "C" KVDMC_API int kvdmc_parse_ssdp(const char *packet) {
    api_enter();
    if (!packet) {
        set_err("parse_ssdp: null packet");
        return -1;
    }
    ssdp_reply r;
    int kind = ssdp_parse_packet(packet, strlen(packet), &r);
    if (kind <= 0)
        return api_fail(KVDMC_E_ARG, "parse_ssdp: not an SSDP reply or alive NOTIFY (kind %d)", kind);
    sbuf_scoped js;
    sb_printf(&js, "{\"packet_kind\":%d,\"st\":", kind);
    sb_json_str(&js, r.st);
    sb_puts(&js, ",\"usn\":");
    sb_json_str(&js, r.usn);
    sb_puts(&js, ",\"location\":");
    sb_json_str(&js, r.location);
    sb_printf(&js, ",\"max_age\":%d}", (int)r.max_age_s);
    if (js.b.oom) return api_fail(KVDMC_E_NOMEM, "parse_ssdp: out of memory");
    {
        // The JSON buffers are per thread; the lock keeps the rule that result
        // building happens under the library lock.
        plat_guard g(&g_lock);
        set_small_json(js.b.p, js.b.n);
    }
    set_code(0);
    return 0;
}
