// The device table and the discovery driver: rows from replies and announcements, fetches of
// new descriptions, expiry, and the live search that feeds them.
#include "upnp/discover.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/text.h"
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

device_t *device_announced(const char *key) {
    for (int i = 0; i < g_ndev; i++)
        if (strcmp(g_dev[i].usn_key, key) == 0) return &g_dev[i];
    return device_find(key);
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

// Fetches the description at location and parses its media devices into out
// (DESC_MAX_MEDIA records), classified and keyed. The number of records, or -1.
static int fetch_description(const char *location, device_t *out, char *err, size_t errn) {
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
    int n = desc_parse_devices(body, location, out, DESC_MAX_MEDIA, err, errn);
    io_release(io, body);
    if (n < 0) return -1;

    int kept = 0;
    for (int i = 0; i < n; i++) {
        device_t &d = out[i];
        udn_key_of(d.udn, d.udn_key);
        d.kind = device_kind_of(d.device_type);
        if (!d.kind) {
            str_fmt(err, errn, "%s is %s: not a media device (Hue-style false positive dropped)",
                    d.friendly[0] ? d.friendly : d.udn, d.device_type);
            return -1;
        }
        bool twice = false; // one row per UDN, whatever the document repeats
        for (int k = 0; k < kept; k++) twice |= strcmp(out[k].udn_key, d.udn_key) == 0;
        if (!d.udn_key[0] || twice) continue; // a row nobody could address
        if (kept != i) out[kept] = d;
        kept++;
    }
    if (!kept) {
        str_copy(err, errn, "description has no UDN");
        return -1;
    }
    return kept;
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

// Whether a USN is a media server's or renderer's own announcement of its type
// ("<udn>::urn:...:device:MediaRenderer:1").
bool usn_names_media_device(const char *usn) {
    const char *t = strstr(usn, "::");
    return t && (strstr(t, DEVICE_SERVER_MARK) || strstr(t, DEVICE_RENDERER_MARK));
}

// Refreshes, without a fetch, the rows an announcement keyed `key` stands for: one
// description yields a row per media device, and each of them (and the root) announces
// itself under its own key with the same LOCATION, so any of them refreshes every row
// read from that LOCATION. An announcement without LOCATION refreshes the rows of the
// key's own LOCATION. A media device announcing its type under a key no row knows
// (one that said byebye) is read again instead. False when there is nothing to
// refresh; *moved is then the key's row when it names another LOCATION.
bool refresh_rows(const char *key, const ssdp_reply *r, const device_t **moved) {
    *moved = nullptr;
    char loc[DEVICE_URL_CAP];
    if (const device_t *known = device_announced(key)) {
        if (r->location[0] && strcmp(known->location, r->location) != 0) {
            *moved = known;
            return false;
        }
        str_copy(loc, sizeof loc, known->location);
    } else {
        if (!r->location[0] || usn_names_media_device(r->usn)) return false;
        str_copy(loc, sizeof loc, r->location);
    }
    uint64_t now = dev_now();
    bool any = false;
    for (int i = 0; i < g_ndev; i++) {
        device_t &d = g_dev[i];
        if (strcmp(d.location, loc) != 0) continue;
        d.max_age_s = r->max_age_s;
        d.added_ms = now;
        any = true;
    }
    return any;
}

// Whether a description read from `location` for an announcement keyed `key` may
// replace `row`: it is the row's own LOCATION, or the row was announced under that
// key, or the key belongs to the device the row was read with (a row of the row's
// LOCATION announced under it or having it as UDN: a device that moved). Any other
// device describing itself with a known UDN is an impostor.
bool may_replace(const device_t &row, const char *key, const char *location) {
    if (strcmp(row.location, location) == 0 || strcmp(row.usn_key, key) == 0) return true;
    for (int i = 0; i < g_ndev; i++) {
        const device_t &d = g_dev[i];
        if (strcmp(d.location, row.location) == 0 &&
            (strcmp(d.udn_key, key) == 0 || strcmp(d.usn_key, key) == 0))
            return true;
    }
    return false;
}

// The key a row remembers: the announcement's, unless that is the UDN of another
// device of the same description (a sibling's announcement made the fetch); then
// its own, so that each device's later announcements find their own row.
void remember_key(device_t *d, const char *key, const device_t *fresh, int n) {
    for (int i = 0; i < n; i++)
        if (&fresh[i] != d && strcmp(fresh[i].udn_key, key) == 0) {
            str_copy(d->usn_key, sizeof d->usn_key, d->udn_key);
            return;
        }
    str_copy(d->usn_key, sizeof d->usn_key, key);
}

struct free_del {
    void operator()(void *p) const { free(p); }
};

// Whether the device of a row still serves its description at its LOCATION. Anyone on
// the LAN can announce a known device's USN with a LOCATION of their own; only a device
// that no longer answers where it was, or answers as another device, has moved.
bool still_answers(const char *location, const char *udn_key) {
    std::unique_ptr<device_t, free_del> probe((device_t *)calloc(DESC_MAX_MEDIA, sizeof(device_t)));
    char err[ERR_CAP];
    int n = probe ? fetch_description(location, probe.get(), err, sizeof err) : -1;
    for (int i = 0; i < n; i++)
        if (strcmp(probe.get()[i].udn_key, udn_key) == 0) return true;
    return false;
}

} // namespace

// A known device's announcement only refreshes its lifetime, unless it names a new
// LOCATION: when the device no longer answers at its old one it moved, and its
// description is read again at the new one. The description
// is fetched without g_lock, so a device that never answers holds up only the caller.
// Each row remembers the key it was announced under: a device whose USN differs from
// its UDN refreshes its rows without a fetch, and a description claiming the UDN of a
// row of another device is refused instead of taking that row over. The rows of one
// description enter together or not at all.
int devices_add_from_reply(const ssdp_reply *r, char *err, size_t errn) {
    char key[DEVICE_KEY_CAP];
    udn_key_of(r->usn[0] ? r->usn : r->st, key);
    if (!key[0]) {
        str_copy(err, errn, "no UDN in reply");
        return -1;
    }
    char was_at[DEVICE_URL_CAP] = "", was_key[DEVICE_KEY_CAP] = "", was_udn[DEVICE_KEY_CAP] = "";
    {
        plat_guard g(&g_lock);
        const device_t *moved_row;
        if (refresh_rows(key, r, &moved_row)) return 0;
        bool moved = moved_row != nullptr;
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
        if (moved) {
            str_copy(was_at, sizeof was_at, moved_row->location);
            str_copy(was_key, sizeof was_key, moved_row->udn_key);
            str_copy(was_udn, sizeof was_udn, moved_row->udn);
        }
    }

    // Records of about 10 KB each: on the heap, not on a host thread's stack.
    std::unique_ptr<device_t, free_del> mem((device_t *)calloc(DESC_MAX_MEDIA, sizeof(device_t)));
    device_t *fresh = mem.get();
    int n = -1;
    if (!fresh) {
        str_copy(err, errn, "out of memory");
    } else if (was_at[0] && still_answers(was_at, was_key)) {
        str_fmt(err, errn, "device %s still answers at %s", was_udn, was_at);
    } else {
        // A failed fetch of a moved device leaves its row unrefreshed, so it expires.
        n = fetch_description(r->location, fresh, err, errn);
    }
    plat_guard g(&g_lock);
    int slot = fetching_index(key);
    s_fetching[slot] = s_fetching[--s_nfetching];
    if (n < 0) return -1;

    int added = 0;
    for (int i = 0; i < n; i++) {
        const device_t *row = device_find(fresh[i].udn_key);
        if (!row) {
            added++;
        } else if (!may_replace(*row, key, r->location)) {
            str_fmt(err, errn, "UDN %s already claimed by another device", fresh[i].udn);
            return -1;
        }
    }
    if (added && g_ndev + added > g_cfg.device_max) {
        str_fmt(err, errn, "device cache full (%d)", (int)g_cfg.device_max);
        return -1;
    }
    uint64_t now = dev_now();
    for (int i = 0; i < n; i++) {
        device_t &d = fresh[i];
        remember_key(&d, key, fresh, n);
        d.max_age_s = r->max_age_s;
        d.added_ms = d.fetched_ms = now;
        d.desc_ok = 1;
        if (device_t *row = device_find(d.udn_key))
            *row = d;
        else
            g_dev[g_ndev++] = d;
    }
    return 0;
}

// Every reply and announcement of a live search goes to the table; what the table
// refuses (messages included) does not concern the search.
static bool add_found(const ssdp_reply *r, void *) {
    char err[ERR_CAP];
    devices_add_from_reply(r, err, sizeof err);
    return false;
}

// Guarded by g_lock. The restore count of the configuration when fake mode began: a
// restore of the defaults since then ends it.
static bool s_faked = false;
static uint32_t s_faked_at = 0;

void discover_fake_mode(bool on) {
    s_faked = on;
    s_faked_at = g_cfg.restores;
}

bool discover_live_off(void) {
    return s_faked && s_faked_at == g_cfg.restores;
}

// The search settings, read once so that a change during a search does not mix two setups.
static ssdp_settings search_settings(void) {
    ssdp_settings set;
    plat_guard g(&g_lock);
    str_copy(set.group, sizeof set.group, g_cfg.ssdp_group);
    str_copy(set.iface, sizeof set.iface, g_cfg.ssdp_if);
    set.port = g_cfg.ssdp_port;
    set.ttl = g_cfg.ssdp_ttl;
    int n = cfg_hosts_parse(g_cfg.ssdp_hosts, set.hosts, SSDP_MAX_HOSTS); // validated when set
    set.nhosts = n < 0 ? 0 : n;
    return set;
}

int discover_live(int kind, int timeout_ms, char *err, size_t errn) {
    ssdp_settings set = search_settings();
    int rc = ssdp_search(kind, nullptr, timeout_ms, &set, add_found, nullptr, err, errn);
    if (rc == 0) {
        plat_guard g(&g_lock);
        devices_purge();
    }
    return rc;
}

namespace {

// The checks both searches make before sending anything: null, or what is wrong.
const char *search_args_fault(int kind, int timeout_ms) {
    if (kind < KVDMC_KIND_SERVER || kind > KVDMC_KIND_BOTH) return "discover: kind must be 1, 2 or 3";
    if (timeout_ms < 100 || timeout_ms > 30000) return "discover: timeout_ms must be 100..30000";
    return nullptr;
}

// A UDN that can travel as an M-SEARCH target: "uuid:" and visible ASCII only, so
// nothing a caller passes can end the request's line or add a header to it.
bool searchable_udn(const char *udn) {
    size_t n = strlen(udn);
    if (n < 6 || n >= SSDP_ST_CAP || strncmp(udn, "uuid:", 5) != 0) return false;
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)udn[i] <= ' ' || (unsigned char)udn[i] >= 0x7f) return false;
    return true;
}

// Feeds the table with the wanted device's answers only, and ends the search once it has
// a row. Other devices' descriptions are never needed here, and each fetch may take the
// transport's whole time-out: one that hangs must not hold up the device asked for.
bool add_until_found(const ssdp_reply *r, void *wanted_key) {
    char key[DEVICE_KEY_CAP];
    udn_key_of(r->usn[0] ? r->usn : r->st, key);
    if (strcmp(key, (const char *)wanted_key) != 0) return false;
    add_found(r, nullptr);
    plat_guard g(&g_lock);
    return device_find((const char *)wanted_key) != nullptr;
}

} // namespace

int discover_device(int kind, const char *udn, int timeout_ms) {
    api_enter();
    if (!udn || !*udn) return api_fail(KVDMC_E_ARG, "discover: empty udn");
    if (const char *fault = search_args_fault(kind, timeout_ms)) return api_fail(KVDMC_E_ARG, "%s", fault);
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    {
        plat_guard g(&g_lock);
        devices_purge();
        if (device_t *d = device_find(key)) return (int)(d - g_dev);
        if (discover_live_off())
            return api_fail(KVDMC_E_FAKE, "ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp");
    }
    char err[ERR_CAP] = "";
    ssdp_settings set = search_settings();
    int rc = ssdp_search(kind, searchable_udn(udn) ? udn : nullptr, timeout_ms, &set, add_until_found, key,
                         err, sizeof err);
    if (rc != 0) return api_fail(rc, "%s", err);
    plat_guard g(&g_lock);
    devices_purge();
    device_t *d = device_find(key);
    if (!d) return api_fail(KVDMC_E_UNKNOWN, "%s did not answer", udn);
    return api_ok((int)(d - g_dev));
}

// ---------------------------------------------------------------- exported

extern "C" {

KVDMC_API int kvdmc_discover(int kind, int timeout_ms) {
    api_enter();
    if (const char *fault = search_args_fault(kind, timeout_ms)) return api_fail(KVDMC_E_ARG, "%s", fault);
    {
        plat_guard g(&g_lock);
        devices_purge();
        if (discover_live_off())
            return api_fail(KVDMC_E_FAKE, "ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp");
    }
    char err[ERR_CAP] = "";
    int rc = discover_live(kind, timeout_ms, err, sizeof err);
    if (rc != 0) return api_fail(rc, "%s", err);
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
    if (!udn) return api_fail(KVDMC_E_ARG, "find_device: null udn");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    plat_guard g(&g_lock);
    device_t *d = device_find(key);
    return d ? (int)(d - g_dev) : -1;
}

KVDMC_API int kvdmc_forget(const char *udn) {
    api_enter();
    if (!udn) return api_fail(KVDMC_E_ARG, "forget: null udn");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    bool found;
    {
        plat_guard g(&g_lock);
        device_t *d = device_find(key);
        found = d != nullptr;
        if (found) device_remove((int)(d - g_dev));
    }
    if (!found) return api_fail(KVDMC_E_UNKNOWN, "forget: unknown udn");
    return 0;
}

KVDMC_API void kvdmc_devices_clear(void) {
    api_enter();
    plat_guard g(&g_lock);
    g_ndev = 0;
}

} // extern "C"
