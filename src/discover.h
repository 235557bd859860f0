// Device descriptions, URL resolution, UDN keys and the device table.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacity.h"
#include "ssdp.h"

struct device_service {
    char type[SERVICE_TEXT_CAP];
    char id[SERVICE_TEXT_CAP];
    char control[SERVICE_URL_CAP];
    char eventsub[SERVICE_URL_CAP];
    char scpd[SERVICE_URL_CAP];
};

struct device_t {
    char udn[DEVICE_KEY_CAP];
    char udn_key[DEVICE_KEY_CAP];
    char usn_key[DEVICE_KEY_CAP]; // key of the announcement the row came from
    int32_t kind;                 // 1 server, 2 renderer
    char friendly[DEVICE_TEXT_CAP];
    char manufacturer[DEVICE_TEXT_CAP];
    char model_name[DEVICE_TEXT_CAP];
    char location[DEVICE_URL_CAP];
    char base[DEVICE_URL_CAP];
    char device_type[DEVICE_TEXT_CAP];
    char dlna_doc[DEVICE_DLNADOC_CAP];
    int32_t expires_ms; // lifetime in seconds, despite the name; <= 0 never expires
    uint64_t added_ms;
    uint64_t fetched_ms;
    device_service svc[DEVICE_MAX_SVC];
    int32_t nsvc;
    int32_t desc_ok;
};

int desc_parse(const char *xml, const char *location, device_t *d, char *err, size_t errn);
void udn_key_of(const char *usn_or_udn, char *out); // out: at least DEVICE_KEY_CAP bytes
// Resolves ref against base into out (cut to outn - 1 bytes). Returns null, or
// the failure message without touching the last-error text.
const char *url_resolve(const char *base, const char *ref, char *out, size_t outn);
// Whether two URLs name the same host (compared as text, ignoring case; ports,
// user info and paths do not count). False when either has no host.
bool url_same_host(const char *a, const char *b);

// ---- device table (guarded by g_lock)
extern device_t g_dev[DEVICE_TABLE_ROWS];
extern int g_ndev;

// Adds or refreshes the device of a reply or alive announcement, fetching its
// description when needed. 0, or -1 with the message in err. Takes g_lock itself and
// drops it for the fetch: the caller must not hold it.
int devices_add_from_reply(const ssdp_reply *r, char *err, size_t errn);
// The remaining functions are called with g_lock held.
device_t *device_find(const char *udn_key);
void devices_purge(void);
void device_remove(int i); // moves the last row into row i
// Live search of kind 1..3 for timeout_ms (validated by the caller) feeding the table;
// 0, or a negative code with the message in err.
int discover_live(int kind, int timeout_ms, char *err, size_t errn);
// The table's clock: monotonic milliseconds plus the test skew below.
uint64_t dev_now(void);

// Test hook: added to the monotonic clock the table reads.
extern uint64_t g_dev_clock_skew_ms;
