// Configuration: keys, defaults and the clamping of every value on its way in.
#include "base/config.h"

#include <string.h>

#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/text.h"

namespace {

struct int_key {
    const char *key;
    int32_t cfg_t::*field;
    int32_t lo, hi, def;
};

constexpr int_key INT_KEYS[] = {
    {"ssdp_port", &cfg_t::ssdp_port, 1, 65535, SSDP_PORT},
    {"ssdp_ttl", &cfg_t::ssdp_ttl, 1, 255, 2},
    {"browse_page", &cfg_t::browse_page, 1, 1024, 256},
    {"browse_max_items", &cfg_t::browse_max_items, 1, 1000000, 100000},
    {"browse_cache_ms", &cfg_t::browse_cache_ms, 0, 3600000, 30000},
    {"device_max", &cfg_t::device_max, 1, DEVICE_TABLE_ROWS, DEVICE_TABLE_ROWS},
    {"desc_max_bytes", &cfg_t::desc_max_bytes, 1024, 8388608, 262144},
    {"browse_timeout_ms", &cfg_t::browse_timeout_ms, 1000, 600000, 60000},
    {"cast_retry", &cfg_t::cast_retry, 0, 1, 1},
    {"cast_dlna_flags", &cfg_t::cast_dlna_flags, 0, 1, 1},
};

// Keys whose value is one of a few words.
struct word_key {
    const char *key;
    int32_t cfg_t::*field;
    const char *words[4]; // the value of words[i] is i; ended by a null
    const char *message;
};

constexpr word_key WORD_KEYS[] = {
    {"cast_metadata",
     &cfg_t::cast_metadata,
     {"item", "minimal", "none", nullptr},
     "cast_metadata must be item, minimal or none"},
};

constexpr const char *ADDR_KEYS[][2] = {{"ssdp_group", SSDP_GROUP}, {"ssdp_if", SSDP_ANY_IF}};

constexpr void put_text(char (&field)[CFG_ADDR_CAP], const char *s) {
    size_t i = 0;
    for (; s[i] && i + 1 < CFG_ADDR_CAP; i++) field[i] = s[i];
    field[i] = 0;
}

constexpr cfg_t defaults() {
    cfg_t c{};
    put_text(c.ssdp_group, SSDP_GROUP);
    put_text(c.ssdp_if, SSDP_ANY_IF);
    for (const int_key &k : INT_KEYS) c.*k.field = k.def;
    for (const word_key &k : WORD_KEYS) c.*k.field = 0;
    return c;
}

// Numeric settings are written under g_lock, but a description parse for the host
// reads its bound without it: store them atomically so that read is well defined.
void store_setting(int32_t &field, int32_t v) {
    std::atomic_ref<int32_t>(field).store(v, std::memory_order_relaxed);
}

char *addr_field(int i) {
    return i == 0 ? g_cfg.ssdp_group : g_cfg.ssdp_if;
}

int set_addr(int i, const char *value, char *err, size_t errn) {
    const char *key = ADDR_KEYS[i][0];
    size_t len = strlen(value);
    if (len == 0 || len > CFG_ADDR_CAP - 1 || strchr(value, ' ') || parse_ipv4(value, nullptr) != 0)
        return str_fmt(err, errn, "%s must be an IPv4 literal", key), KVDMC_E_CONFIG;
    str_copy(addr_field(i), CFG_ADDR_CAP, value);
    return 0;
}

int set_int(const int_key &k, const char *value, char *err, size_t errn) {
    int64_t v;
    const char *p = value;
    if (!read_int(&p, nullptr, INT32_MAX, &v) || *p)
        return str_fmt(err, errn, "%s must be an integer", k.key), KVDMC_E_CONFIG;
    store_setting(g_cfg.*k.field, (int32_t)(v > k.hi ? k.hi : v < k.lo ? k.lo : v));
    return 0;
}

int set_word(const word_key &k, const char *value, char *err, size_t errn) {
    for (int i = 0; k.words[i]; i++)
        if (strcmp(value, k.words[i]) == 0) {
            store_setting(g_cfg.*k.field, i);
            return 0;
        }
    return str_copy(err, errn, k.message), KVDMC_E_CONFIG;
}

int set_hosts(const char *value, char *err, size_t errn) {
    if (!value) value = "";
    cfg_host unused[SSDP_MAX_HOSTS];
    if (strlen(value) >= CFG_HOSTS_CAP || cfg_hosts_parse(value, unused, SSDP_MAX_HOSTS) < 0)
        return str_fmt(err, errn,
                       "ssdp_hosts must be up to %d IPv4 addresses, each with an optional :port, "
                       "separated by commas",
                       SSDP_MAX_HOSTS),
               KVDMC_E_CONFIG;
    str_copy(g_cfg.ssdp_hosts, sizeof g_cfg.ssdp_hosts, value);
    return 0;
}

} // namespace

int cfg_hosts_parse(const char *text, cfg_host *out, int max) {
    int n = 0;
    for (const char *p = text; *p;) {
        const char *comma = strchr(p, ',');
        size_t len = comma ? (size_t)(comma - p) : strlen(p);
        const char *at = p;
        ws_trim(&at, &len); // "192.0.2.7, 192.0.2.8" is how people write a list
        char one[24];
        if (len == 0 || len >= sizeof one || n == max) return -1;
        memcpy(one, at, len);
        one[len] = 0;
        int64_t port = SSDP_PORT;
        if (char *colon = strchr(one, ':')) {
            *colon = 0;
            const char *q = colon + 1;
            if (!read_int(&q, nullptr, 65536, &port, 0) || *q || port < 1 || port > 65535) return -1;
        }
        if (parse_ipv4(one, &out[n].addr) != 0) return -1;
        // A host, not this machine's wildcard, a group or the broadcast address.
        const unsigned char *b = (const unsigned char *)&out[n].addr;
        if ((b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0) || (b[0] & 0xf0) == 0xe0 ||
            (b[0] == 255 && b[1] == 255 && b[2] == 255 && b[3] == 255))
            return -1;
        out[n++].port = (int)port;
        if (!comma) break;
        p = comma + 1;
        if (!*p) return -1; // a trailing comma names no host
    }
    return n;
}

constinit cfg_t g_cfg = defaults();

int cfg_set(const char *key, const char *value, char *err, size_t errn) {
    for (int i = 0; key && i < 2; i++) {
        if (strcmp(key, ADDR_KEYS[i][0]) != 0) continue;
        if (!value) return str_copy(addr_field(i), CFG_ADDR_CAP, ADDR_KEYS[i][1]), 0;
        return set_addr(i, value, err, errn);
    }
    for (const word_key &k : WORD_KEYS) {
        if (!key || strcmp(key, k.key) != 0) continue;
        if (!value) return store_setting(g_cfg.*k.field, 0), 0;
        return set_word(k, value, err, errn);
    }
    for (const int_key &k : INT_KEYS) {
        if (!key || strcmp(key, k.key) != 0) continue;
        if (value) return set_int(k, value, err, errn);
        // Restoring any numeric key restores them all.
        for (const int_key &d : INT_KEYS) store_setting(g_cfg.*d.field, d.def);
        g_cfg.restores++;
        return 0;
    }
    if (key && strcmp(key, "ssdp_hosts") == 0) return set_hosts(value, err, errn);
    return str_copy(err, errn, "unknown config key"), KVDMC_E_CONFIG;
}

extern "C" KVDMC_API int kvdmc_config(const char *key, const char *value) {
    api_enter();
    char err[ERR_CAP] = "";
    int rc;
    {
        plat_guard g(&g_lock);
        rc = cfg_set(key, value, err, sizeof err);
    }
    return rc ? api_fail(rc, "%s", err) : 0;
}
