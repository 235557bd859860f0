// The device table and the discovery driver: rows from replies and announcements, fetches of
// new descriptions, expiry, and the live search that feeds them.
#include "upnp/discover.h"

#include <limits.h>
#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/util.h"
#include "http/io.h"
#include "upnp/ssdp.h"

// ---------------------------------------------------------------- device table

device_t g_dev[DEVICE_TABLE_ROWS];
int g_ndev = 0;
uint64_t g_dev_clock_skew_ms = 0;

uint64_t dev_now(void) {
    return plat_now_ms() + g_dev_clock_skew_ms;
}

device_t *device_find(const char *udn_key) {
    for (int i = 0; i < g_ndev; i++)
        if (strcmp(g_dev[i].udn_key, udn_key) == 0) return &g_dev[i];
    return nullptr;
}

void device_remove(int i) {
    if (i < 0 || i >= g_ndev) return;
    if (i != g_ndev - 1) g_dev[i] = g_dev[g_ndev - 1];
    g_ndev--;
}

void devices_purge(void) {
    uint64_t now = dev_now();
    for (int i = 0; i < g_ndev;) {
        const device_t &d = g_dev[i];
        if (d.max_age_s > 0 && d.added_ms + (uint64_t)d.max_age_s * 1000 <= now)
            device_remove(i);
        else
            i++;
    }
}

// Fetches and parses the description at location into d and classifies it.
static int fetch_description(const char *location, device_t *d, char *err, size_t errn) {
    const quorlin_io *io = io_current();
    if (!io || !io->http_get) {
        str_copy(err, errn, "no quorlin_io backend");
        return -1;
    }
    char *body = nullptr;
    char *terr = nullptr;
    int code = 0;
    int rc = io->http_get(io->ctx, location, &body, &code, &terr);
    if (rc != 0 || !body) {
        str_fmt(err, errn, "description fetch failed: %s", terr ? terr : "transport error");
        io_release(io, body);
        io_release(io, terr);
        return -1;
    }
    io_release(io, terr);
    memset(d, 0, sizeof *d);
    rc = desc_parse(body, location, d, err, errn);
    io_release(io, body);
    if (rc != 0) return -1;

    udn_key_of(d->udn, d->udn_key);
    if (!d->udn_key[0]) { // a row nobody could address
        str_copy(err, errn, "description has no UDN");
        return -1;
    }
    if (strstr(d->device_type, DEVICE_SERVER_MARK))
        d->kind = strstr(d->device_type, DEVICE_RENDERER_MARK) ? 2 : 1;
    else if (strstr(d->device_type, DEVICE_RENDERER_MARK))
        d->kind = 2;
    else {
        str_fmt(err, errn, "%s is %s: not a media device (Hue-style false positive dropped)",
                d->friendly[0] ? d->friendly : d->udn, d->device_type);
        return -1;
    }
    return 0;
}

namespace {

// Keys whose description is being fetched (without g_lock): a second announcement of
// such a key is not fetched again, and fetches for rows yet to come count against the
// table's room, so a full table is never fetched for. Guarded by g_lock.
struct fetch_slot {
    char key[DEVICE_KEY_CAP];
    bool new_row;
};
fetch_slot s_fetching[2 * DEVICE_TABLE_ROWS];
int s_nfetching = 0;

int fetching_index(const char *key) {
    for (int i = 0; i < s_nfetching; i++)
        if (strcmp(s_fetching[i].key, key) == 0) return i;
    return -1;
}

int new_rows_fetching(void) {
    int n = 0;
    for (int i = 0; i < s_nfetching; i++) n += s_fetching[i].new_row;
    return n;
}

// The row an announcement keyed `key` refreshes without a fetch: the row announced
// under that key at the same LOCATION, or any row read from that LOCATION (a device
// announcing under several keys). An announcement without LOCATION only refreshes.
// *moved is set when the row announced under the key names another LOCATION.
device_t *refreshed_row(const char *key, const char *location, bool *moved) {
    *moved = false;
    for (int i = 0; i < g_ndev; i++) {
        device_t &d = g_dev[i];
        if (strcmp(d.usn_key, key) != 0) continue;
        if (!location[0] || strcmp(d.location, location) == 0) return &d;
        *moved = true;
        return nullptr;
    }
    if (!location[0]) return device_find(key);
    for (int i = 0; i < g_ndev; i++)
        if (strcmp(g_dev[i].location, location) == 0) return &g_dev[i];
    return nullptr;
}

} // namespace

// A known device's announcement only refreshes its lifetime, unless it names a new
// LOCATION: then the device moved and its description is read again. The description
// is fetched without g_lock, so a device that never answers holds up only the caller.
// Each row remembers the key it was announced under: a device whose USN differs from
// its UDN refreshes its row without a fetch, and a description claiming the UDN of a
// row announced under another key is refused instead of taking that row over.
int devices_add_from_reply(const ssdp_reply *r, char *err, size_t errn) {
    char key[DEVICE_KEY_CAP];
    udn_key_of(r->usn[0] ? r->usn : r->st, key);
    if (!key[0]) {
        str_copy(err, errn, "no UDN in reply");
        return -1;
    }
    {
        plat_guard g(&g_lock);
        bool moved;
        if (device_t *row = refreshed_row(key, r->location, &moved)) {
            row->max_age_s = r->max_age_s;
            row->added_ms = dev_now();
            return 0;
        }
        if (fetching_index(key) >= 0) return 0; // the fetch under way decides
        if (!moved && g_ndev + new_rows_fetching() >= g_cfg.device_max) {
            str_fmt(err, errn, "device cache full (%d)", (int)g_cfg.device_max);
            return -1;
        }
        if (s_nfetching == (int)(sizeof s_fetching / sizeof s_fetching[0])) {
            str_copy(err, errn, "too many description fetches at once");
            return -1;
        }
        fetch_slot &slot = s_fetching[s_nfetching++];
        str_copy(slot.key, sizeof slot.key, key);
        slot.new_row = !moved;
    }

    device_t fresh;
    // A failed fetch of a moved device leaves its row unrefreshed, so it expires.
    int rc = fetch_description(r->location, &fresh, err, errn);
    plat_guard g(&g_lock);
    int slot = fetching_index(key);
    s_fetching[slot] = s_fetching[--s_nfetching];
    if (rc != 0) return -1;
    str_copy(fresh.usn_key, sizeof fresh.usn_key, key);
    fresh.max_age_s = r->max_age_s;
    fresh.added_ms = fresh.fetched_ms = dev_now();
    fresh.desc_ok = 1;

    if (device_t *row = device_find(fresh.udn_key)) {
        if (strcmp(row->usn_key, key) != 0) {
            str_fmt(err, errn, "UDN %s already claimed by another device", fresh.udn);
            return -1;
        }
        *row = fresh;
        return 0;
    }
    if (g_ndev >= g_cfg.device_max) {
        str_fmt(err, errn, "device cache full (%d)", (int)g_cfg.device_max);
        return -1;
    }
    g_dev[g_ndev++] = fresh;
    return 0;
}

// Every reply and announcement of a live search goes to the table; what the table
// refuses (messages included) does not concern the search.
static void add_found(const ssdp_reply *r, void *) {
    char err[ERR_CAP];
    devices_add_from_reply(r, err, sizeof err);
}

// Guarded by g_lock. The restore count of the configuration when fake mode began: a
// restore of the defaults since then ends it.
static bool s_faked = false;
static uint32_t s_faked_at = 0;

void discover_fake_mode(void) {
    s_faked = true;
    s_faked_at = g_cfg.restores;
}

bool discover_live_off(void) {
    return s_faked && s_faked_at == g_cfg.restores;
}

int discover_live(int kind, int timeout_ms, char *err, size_t errn) {
    ssdp_settings set;
    {
        plat_guard g(&g_lock);
        str_copy(set.group, sizeof set.group, g_cfg.ssdp_group);
        str_copy(set.iface, sizeof set.iface, g_cfg.ssdp_if);
        set.port = g_cfg.ssdp_port;
        set.ttl = g_cfg.ssdp_ttl;
    }
    int rc = ssdp_search(kind, timeout_ms, &set, add_found, nullptr, err, errn);
    if (rc == 0) {
        plat_guard g(&g_lock);
        devices_purge();
    }
    return rc;
}

// ---------------------------------------------------------------- exported

extern "C" {

KVDMC_API const char *kvdmc_resolve_url(const char *base, const char *ref) {
    static thread_local char s_url[URL_RESOLVED_CAP];
    const char *msg = url_resolve(base, ref, s_url, sizeof s_url);
    if (msg) {
        set_err("%s", msg);
        return nullptr;
    }
    return s_url;
}

KVDMC_API int kvdmc_discover(int kind, int timeout_ms) {
    api_enter();
    if (kind < KVDMC_KIND_SERVER || kind > KVDMC_KIND_BOTH) {
        set_err("discover: kind must be 1, 2 or 3");
        return -1;
    }
    if (timeout_ms < 100 || timeout_ms > 30000) {
        set_err("discover: timeout_ms must be 100..30000");
        return -1;
    }
    {
        plat_guard g(&g_lock);
        devices_purge();
        if (discover_live_off()) {
            set_err("ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp");
            return KVDMC_E_FAKE;
        }
    }
    char err[ERR_CAP] = "";
    int rc = discover_live(kind, timeout_ms, err, sizeof err);
    if (rc != 0) {
        set_err("%s", err);
        return rc;
    }
    plat_guard g(&g_lock);
    return g_ndev;
}

KVDMC_API int kvdmc_device_count(void) {
    api_enter();
    plat_guard g(&g_lock);
    devices_purge();
    return g_ndev;
}

KVDMC_API int kvdmc_find_device(const char *udn) {
    api_enter();
    if (!udn) {
        set_err("find_device: null udn");
        return -1;
    }
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    plat_guard g(&g_lock);
    device_t *d = device_find(key);
    return d ? (int)(d - g_dev) : -1;
}

KVDMC_API int kvdmc_forget(const char *udn) {
    api_enter();
    if (!udn) {
        set_err("forget: null udn");
        return KVDMC_E_ARG;
    }
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    bool found;
    {
        plat_guard g(&g_lock);
        device_t *d = device_find(key);
        found = d != nullptr;
        if (found) device_remove((int)(d - g_dev));
    }
    if (!found) {
        set_err("forget: unknown udn");
        return KVDMC_E_UNKNOWN;
    }
    return 0;
}

KVDMC_API void kvdmc_devices_clear(void) {
    api_enter();
    plat_guard g(&g_lock);
    g_ndev = 0;
}

} // extern "C"
