// SSDP packets: classifying a datagram and reading its headers, and the exported parse of one.
#include "parse/ssdp_packet.h"

#include <string.h>

#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/sbuf.h"
#include "base/text.h"

// ---------------------------------------------------------------- packets

const char *hdr(const char *pkt, size_t n, const char *name, size_t *vlen) {
    size_t nl = strlen(name);
    const char *end = pkt + n;
    const char *line = pkt;
    while (line < end) {
        const char *lf = (const char *)memchr(line, '\n', (size_t)(end - line));
        const char *le = lf ? lf : end;
        size_t len = (size_t)(le - line);
        if (len > 2 && len > nl && line[nl] == ':' && str_nieq(line, name, nl)) {
            const char *v = line + nl + 1;
            while (v < le && (*v == ' ' || *v == '\t')) v++;
            const char *ve = le;
            while (ve > v && (ve[-1] == '\r' || ve[-1] == ' ')) ve--;
            *vlen = (size_t)(ve - v);
            return v;
        }
        if (!lf) break;
        line = lf + 1;
    }
    return nullptr;
}

namespace {

// Copies a header value into a fixed field; fails when absent or too long.
bool take_hdr(const char *pkt, size_t n, const char *name, char *field, size_t cap, size_t min_len) {
    size_t vl = 0;
    const char *v = hdr(pkt, n, name, &vl);
    if (!v || vl > cap - 1 || vl < min_len) return false;
    str_copyn(field, cap, v, vl);
    return true;
}

int32_t max_age_of(const char *pkt, size_t n) {
    size_t vl = 0;
    const char *v = hdr(pkt, n, "CACHE-CONTROL", &vl);
    if (!v) return 1800;
    const char *eq = (const char *)memchr(v, '=', vl);
    if (!eq) return 1800;
    // Read in place: the value is not NUL-terminated inside the packet.
    const char *p = eq + 1;
    int64_t age = 0;
    read_int(&p, v + vl, 1000000, &age);
    return (age >= 60 && age <= 86400) ? (int32_t)age : 1800;
}

// True when the status line's code is exactly 200 (not merely " 200 " somewhere).
bool status_is_200(const char *pkt, size_t n) {
    const char *end = pkt + n;
    const char *p = pkt + 7; // past "HTTP/1."
    while (p < end && *p != ' ' && *p != '\r' && *p != '\n') p++;
    while (p < end && *p == ' ') p++;
    if (end - p < 3 || memcmp(p, "200", 3) != 0) return false;
    p += 3;
    return p == end || *p == ' ' || *p == '\r' || *p == '\n';
}

} // namespace

int ssdp_parse_packet(const char *pkt, size_t n, ssdp_reply *r) {
    memset(r, 0, sizeof *r);
    if (!pkt || n < 8 || n > SSDP_DATAGRAM_MAX) return SSDP_IGNORE;
    // SSDP is text: a NUL inside a datagram ends it, so no copied value hides bytes behind one.
    n = strnlen(pkt, n);
    if (str_nieq(pkt, "HTTP/1.", 7)) {
        if (!status_is_200(pkt, n)) return SSDP_IGNORE;
        if (!take_hdr(pkt, n, "ST", r->st, sizeof r->st, 0) ||
            !take_hdr(pkt, n, "USN", r->usn, sizeof r->usn, 0) ||
            !take_hdr(pkt, n, "LOCATION", r->location, sizeof r->location, 1)) {
            memset(r, 0, sizeof *r);
            return SSDP_UNUSABLE;
        }
        r->max_age_s = max_age_of(pkt, n);
        return SSDP_REPLY;
    }
    if (str_nieq(pkt, "NOTIFY ", 7)) {
        size_t vl = 0;
        const char *nts = hdr(pkt, n, "NTS", &vl);
        if (!nts) return SSDP_IGNORE;
        bool alive = vl == strlen(SSDP_ALIVE_NTS) && str_nieq(nts, SSDP_ALIVE_NTS, vl);
        bool byebye = vl == strlen(SSDP_BYEBYE_NTS) && str_nieq(nts, SSDP_BYEBYE_NTS, vl);
        if (!alive && !byebye) return SSDP_IGNORE;
        if (!take_hdr(pkt, n, "NT", r->st, sizeof r->st, 0)) return SSDP_IGNORE;
        take_hdr(pkt, n, "USN", r->usn, sizeof r->usn, 0);
        if (byebye) return SSDP_BYEBYE;
        take_hdr(pkt, n, "LOCATION", r->location, sizeof r->location, 0);
        r->max_age_s = max_age_of(pkt, n);
        return SSDP_ALIVE;
    }
    return SSDP_IGNORE;
}

// ---------------------------------------------------------------- exported

extern "C" KVDMC_API int kvdmc_parse_ssdp(const char *packet) {
    api_enter();
    if (!packet) return api_fail(KVDMC_E_ARG, "parse_ssdp: null packet");
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
    return api_ok(0);
}
