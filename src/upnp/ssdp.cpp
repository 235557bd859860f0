// The live search: M-SEARCH over multicast, then listening for replies and announcements.
#include "upnp/ssdp.h"

#include <stdio.h>
#include <string.h>

#include "base/exports.h"
#include "base/protocol.h"
#include "base/text.h"
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
    if (kind != KVDMC_KIND_RENDERER) out[n++] = {ST_MEDIA_SERVER, SSDP_MX};
    if (kind != KVDMC_KIND_SERVER) out[n++] = {ST_MEDIA_RENDERER, SSDP_MX};
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

// The same requests to each known host's own address (UPnP 1.1's unicast search), for
// networks that drop multicast. Their answers come back to this socket like the others.
void send_unicast(sock_t s, const search_target *st, int nst, const ssdp_settings &set) {
    char msg[SSDP_SEARCH_CAP];
    for (int h = 0; h < set.nhosts; h++) {
        const unsigned char *a = (const unsigned char *)&set.hosts[h].addr;
        for (int i = 0; i < nst; i++) {
            int n = snprintf(msg, sizeof msg,
                             "M-SEARCH * HTTP/1.1\r\nHOST: %u.%u.%u.%u:%d\r\nMAN: \"ssdp:discover\"\r\nST: "
                             "%s\r\n\r\n",
                             a[0], a[1], a[2], a[3], set.hosts[h].port, st[i].st);
            if (n < 0 || n >= (int)sizeof msg) continue;
            plat_sock_sendto(s, msg, n, set.hosts[h].addr, set.hosts[h].port);
        }
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

namespace {

// Where one search sends and listens.
struct search_plan {
    uint32_t group = 0;
    uint32_t ifs[SSDP_MAX_IFS];
    int nifs = 0;
};

int plan_search(const ssdp_settings &set, search_plan *plan, char *err, size_t errn) {
    uint32_t ifaddr = 0;
    if (set.iface[0] && parse_ipv4(set.iface, &ifaddr) != 0) {
        str_copy(err, errn, "bad ssdp_if");
        return KVDMC_E_ARG;
    }
    // "Any interface" means every one: a host with a VPN, container bridges or two
    // networks must find the devices on all of them, not only on the one the routing
    // table prefers for the group.
    if (ifaddr == 0) plan->nifs = plat_ipv4_interfaces(plan->ifs, SSDP_MAX_IFS);
    if (plan->nifs == 0) plan->ifs[plan->nifs++] = ifaddr;
    parse_ipv4(set.group, &plan->group); // validated when it was configured
    return 0;
}

int net_fail(char *err, size_t errn, const char *what) {
    str_fmt(err, errn, "%s: %d", what, plat_sock_errno());
    return KVDMC_E_NET;
}

// The sending socket, and the receiving one bound to the port and joined to the
// group on the planned interfaces.
int open_sockets(const ssdp_settings &set, const search_plan &plan, search_socks *ss, char *err,
                 size_t errn) {
    ss->send = plat_udp_socket();
    if (ss->send == PLAT_INVALID_SOCK) return net_fail(err, errn, "socket");
    plat_sock_mcast_ttl(ss->send, set.ttl);
    plat_sock_mcast_loop(ss->send, 0);

    ss->recv = plat_udp_socket();
    if (ss->recv == PLAT_INVALID_SOCK) return net_fail(err, errn, "socket");
    plat_sock_reuseaddr(ss->recv);
    if (plat_sock_bind_group(ss->recv, plan.group, plan.ifs[0], set.port) != 0) {
        char what[16];
        str_fmt(what, sizeof what, "bind %d", set.port);
        return net_fail(err, errn, what);
    }
    // A join that fails on one interface does not end the search.
    int joined = 0;
    for (int i = 0; i < plan.nifs; i++)
        joined += plat_sock_mcast_join(ss->recv, plan.group, plan.ifs[i]) == 0;
    if (!joined) {
        uint32_t lo = 0;
        parse_ipv4("127.0.0.1", &lo);
        if (plat_sock_mcast_join(ss->recv, plan.group, lo) != 0) return net_fail(err, errn, "join");
    }
    return 0;
}

// Sends the searches on every interface, then hands every answer to on_reply until the
// time is up or on_reply ends the search.
void run_search(const search_target *st, int nst, int timeout_ms, const ssdp_settings &set,
                const search_plan &plan, const search_socks &ss, ssdp_on_reply on_reply, void *ctx) {
    auto send_pass = [&] {
        for (int i = 0; i < plan.nifs; i++) {
            plat_sock_mcast_if(ss.send, plan.ifs[i]);
            send_searches(ss.send, st, nst, plan.group, set.port, set.group);
        }
        send_unicast(ss.send, st, nst, set);
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
}

} // namespace

int ssdp_search(int kind, const char *also, int timeout_ms, const ssdp_settings *set, ssdp_on_reply on_reply,
                void *ctx, char *err, size_t errn) {
    if (plat_net_init() != 0) {
        str_copy(err, errn, "net init failed");
        return KVDMC_E_NET;
    }
    search_plan plan;
    if (int rc = plan_search(*set, &plan, err, errn)) return rc;
    search_socks ss;
    if (int rc = open_sockets(*set, plan, &ss, err, errn)) return rc;
    search_target st[4];
    int nst = targets_of(kind, also, st);
    run_search(st, nst, timeout_ms, *set, plan, ss, on_reply, ctx);
    return 0;
}
