// Configuration, SSDP packet classification, device descriptions and the device table.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- configuration ----
struct cfg_t {
    char ssdp_group[64];
    int32_t ssdp_port;
    int32_t ssdp_ttl;
    int32_t browse_page;
    int32_t browse_max_items;
    int32_t browse_cache_ms;
    int32_t device_max;
    int32_t desc_max_bytes;
    int32_t ssdp_disable;
    char ssdp_if[64];
};
extern cfg_t g_cfg;

int cfg_set(const char *key, const char *value); // caller holds g_lock
void cfg_defaults(void);
void cfg_once(void);

// ---- SSDP packets ----
struct ssdp_reply {
    char st[160];
    char usn[240];
    char location[512];
    int32_t max_age_s;
};
enum { SSDP_UNUSABLE = -1, SSDP_IGNORE = 0, SSDP_REPLY = 1, SSDP_ALIVE = 2, SSDP_BYEBYE = 3 };

// pkt holds n bytes followed by a NUL.
int ssdp_parse_packet(const char *pkt, size_t n, ssdp_reply *r);
const char *hdr(const char *pkt, size_t n, const char *name, size_t *vlen);

// ---- device descriptions ----
constexpr int DEVICE_MAX_SVC = 8;
constexpr int DEVICE_TABLE_ROWS = 64;

struct device_service {
    char type[128];
    char id[128];
    char control[256];
    char eventsub[256];
    char scpd[256];
};

struct device_t {
    char udn[80];
    char udn_key[80];
    int32_t kind; // 1 server, 2 renderer
    char friendly[128];
    char manufacturer[128];
    char model_name[128];
    char location[512];
    char base[512];
    char device_type[128];
    char dlna_doc[64];
    int32_t expires_ms; // lifetime in seconds, despite the name; <= 0 never expires
    uint64_t added_ms;
    uint64_t fetched_ms;
    device_service svc[DEVICE_MAX_SVC];
    int32_t nsvc;
    int32_t desc_ok;
};

constexpr size_t DEVICE_KEY_CAP = 80;
constexpr size_t URL_RESOLVED_CAP = 1280;

int desc_parse(const char *xml, const char *location, device_t *d, char *err, size_t errn);
void udn_key_of(const char *usn_or_udn, char *out); // out: at least DEVICE_KEY_CAP bytes
// Resolves ref against base into out (cut to outn - 1 bytes). Returns null, or
// the failure message without touching the last-error text.
const char *url_resolve(const char *base, const char *ref, char *out, size_t outn);

// ---- device table (caller holds g_lock) ----
extern device_t g_dev[DEVICE_TABLE_ROWS];
extern int g_ndev;

int devices_add_from_reply(const ssdp_reply *r, char *err, size_t errn);
device_t *device_find(const char *udn_key);
void devices_purge(void);
void device_remove(int i); // moves the last row into row i

// Test hook: added to the monotonic clock the table reads.
extern uint64_t g_dev_clock_skew_ms;
