// Configuration and SSDP packet classification.
#include "discover.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "exports.h"
#include "util.h"

// ---------------------------------------------------------------- configuration

cfg_t g_cfg;
static std::atomic<int> g_cfg_init{0};

static constexpr const char *CONFIG_KEYS[] = {
    "ssdp_group",      "ssdp_port",  "ssdp_ttl",       "browse_page", "browse_max_items",
    "browse_cache_ms", "device_max", "desc_max_bytes", "ssdp_if",     nullptr};

static constexpr const char *DEF_KEYS[][2] = {{"ssdp_group", "239.255.255.250"},
                                              {"ssdp_port", "1900"},
                                              {"ssdp_ttl", "2"},
                                              {"browse_page", "256"},
                                              {"browse_max_items", "100000"},
                                              {"browse_cache_ms", "30000"},
                                              {"device_max", "64"},
                                              {"desc_max_bytes", "262144"},
                                              {"ssdp_if", "0.0.0.0"},
                                              {nullptr, nullptr}};

struct int_key {
    const char *key;
    int32_t cfg_t::*field;
    int32_t lo, hi, def;
};

static constexpr int_key INT_KEYS[] = {
    {"ssdp_port", &cfg_t::ssdp_port, 1, 65535, 1900},
    {"ssdp_ttl", &cfg_t::ssdp_ttl, 1, 255, 2},
    {"browse_page", &cfg_t::browse_page, 1, 1024, 256},
    {"browse_max_items", &cfg_t::browse_max_items, 1, 1000000, 100000},
    {"browse_cache_ms", &cfg_t::browse_cache_ms, 0, 3600000, 30000},
    {"device_max", &cfg_t::device_max, 1, 64, 64},
    {"desc_max_bytes", &cfg_t::desc_max_bytes, 1024, 8388608, 262144},
};

static int set_ipv4_text(char *field, const char *key, const char *value) {
    size_t len = strlen(value);
    if (len == 0 || len > 63 || strchr(value, ' ') || parse_ipv4(value, nullptr) != 0) {
        set_err("%s must be an IPv4 literal", key);
        return KVDMC_E_CONFIG;
    }
    str_copy(field, 64, value);
    return 0;
}

int cfg_set(const char *key, const char *value) {
    bool known = false;
    for (int i = 0; key && CONFIG_KEYS[i]; i++)
        if (strcmp(key, CONFIG_KEYS[i]) == 0) known = true;
    if (!known) {
        set_err("unknown config key");
        return KVDMC_E_CONFIG;
    }
    bool is_group = strcmp(key, "ssdp_group") == 0;
    bool is_if = strcmp(key, "ssdp_if") == 0;
    if (!value) {
        if (is_group) {
            str_copy(g_cfg.ssdp_group, sizeof g_cfg.ssdp_group, "239.255.255.250");
        } else if (is_if) {
            str_copy(g_cfg.ssdp_if, sizeof g_cfg.ssdp_if, "0.0.0.0");
        } else {
            for (const int_key &k : INT_KEYS) g_cfg.*k.field = k.def;
            g_cfg.ssdp_disable = 0;
        }
        return 0;
    }
    if (is_group) return set_ipv4_text(g_cfg.ssdp_group, key, value);
    if (is_if) return set_ipv4_text(g_cfg.ssdp_if, key, value);

    for (const int_key &k : INT_KEYS) {
        if (strcmp(key, k.key) != 0) continue;
        char *end = nullptr;
        errno = 0;
        long long v = strtoll(value, &end, 10);
        bool has_digit = false;
        for (const char *p = value; p < end; p++)
            if (*p >= '0' && *p <= '9') has_digit = true;
        if (!has_digit || *end != 0) {
            set_err("%s must be an integer", key);
            return KVDMC_E_CONFIG;
        }
        if (v > INT32_MAX) v = INT32_MAX;
        if (v < INT32_MIN) v = INT32_MIN;
        if (v > k.hi) v = k.hi;
        if (v < k.lo) v = k.lo;
        g_cfg.*k.field = (int32_t)v;
        return 0;
    }
    return KVDMC_E_CONFIG; // unreachable: every numeric key is in INT_KEYS
}

void cfg_defaults(void) {
    memset(&g_cfg, 0, sizeof g_cfg);
    for (int i = 0; DEF_KEYS[i][0]; i++) cfg_set(DEF_KEYS[i][0], DEF_KEYS[i][1]);
}

// Called from the shared entry steps; the lock makes racing first calls apply
// the defaults exactly once and before any reader sees the record.
void cfg_once(void) {
    if (g_cfg_init.load(std::memory_order_acquire)) return;
    plat_guard g(&g_lock);
    if (!g_cfg_init.load(std::memory_order_relaxed)) {
        cfg_defaults();
        g_cfg_init.store(1, std::memory_order_release);
    }
}

// ---------------------------------------------------------------- SSDP packets

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

// Copies a header value into a fixed field; fails when absent or too long.
static bool take_hdr(const char *pkt, size_t n, const char *name, char *field, size_t cap, size_t min_len) {
    size_t vl = 0;
    const char *v = hdr(pkt, n, name, &vl);
    if (!v || vl > cap - 1 || vl < min_len) return false;
    str_copyn(field, cap, v, vl);
    return true;
}

static int32_t max_age_of(const char *pkt, size_t n) {
    size_t vl = 0;
    const char *v = hdr(pkt, n, "CACHE-CONTROL", &vl);
    if (!v) return 1800;
    const char *eq = (const char *)memchr(v, '=', vl);
    if (!eq) return 1800;
    // The value is not NUL-terminated inside the packet; read the number from a copy.
    char num[32];
    str_copyn(num, sizeof num, eq + 1, (size_t)(v + vl - eq - 1));
    long long age = strtoll(num, nullptr, 10);
    return (age >= 60 && age <= 86400) ? (int32_t)age : 1800;
}

// True when the status line's code is exactly 200 (not merely " 200 " somewhere).
static bool status_is_200(const char *pkt, size_t n) {
    const char *end = pkt + n;
    const char *p = pkt + 7; // past "HTTP/1."
    while (p < end && *p != ' ' && *p != '\r' && *p != '\n') p++;
    while (p < end && *p == ' ') p++;
    if (end - p < 3 || memcmp(p, "200", 3) != 0) return false;
    p += 3;
    return p == end || *p == ' ' || *p == '\r' || *p == '\n';
}

int ssdp_parse_packet(const char *pkt, size_t n, ssdp_reply *r) {
    memset(r, 0, sizeof *r);
    if (!pkt || n < 8 || n > 4096) return SSDP_IGNORE;
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
        bool alive = vl == 10 && str_nieq(nts, "ssdp:alive", 10);
        bool byebye = vl == 11 && str_nieq(nts, "ssdp:byebye", 11);
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
