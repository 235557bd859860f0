// Device descriptions, URL resolution, UDN keys, the device table and the discovery driver.
#include "discover.h"

#include <limits.h>
#include <string.h>

#include "config.h"
#include "exports.h"
#include "io.h"
#include "protocol.h"
#include "textread.h"
#include "util.h"
#include "xml.h"

// ---------------------------------------------------------------- device descriptions

namespace {
// Every element name the scan reacts to. Device fields arm wherever they
// occur; service fields only inside a service.
enum tag {
    T_OTHER,
    T_TYPE,
    T_FRIENDLY,
    T_MANUFACTURER,
    T_MODEL,
    T_UDN,
    T_DLNADOC,
    T_URLBASE,
    T_SERVICE,
    T_STYPE,
    T_SID,
    T_CONTROL,
    T_EVENTSUB,
    T_SCPD
};

struct tag_name {
    const char *name;
    size_t len;
    tag t;
};
#define TAG(s, t)                                                                                            \
    { s, sizeof s - 1, t }
constexpr tag_name TAGS[] = {TAG("deviceType", T_TYPE),
                             TAG("friendlyName", T_FRIENDLY),
                             TAG("manufacturer", T_MANUFACTURER),
                             TAG("modelName", T_MODEL),
                             TAG("UDN", T_UDN),
                             TAG("X_DLNADOC", T_DLNADOC),
                             TAG("URLBase", T_URLBASE),
                             TAG("service", T_SERVICE),
                             TAG("serviceType", T_STYPE),
                             TAG("serviceId", T_SID),
                             TAG("controlURL", T_CONTROL),
                             TAG("eventSubURL", T_EVENTSUB),
                             TAG("SCPDURL", T_SCPD)};
#undef TAG

// Descriptions are mostly elements the scan ignores: compare lengths first.
tag tag_of(const char *name, size_t len) {
    for (const tag_name &t : TAGS)
        if (t.len == len && memcmp(t.name, name, len) == 0) return t.t;
    return T_OTHER;
}

// Scan state of one description: which field the next text event fills.
struct desc_scan {
    device_t *d;
    tag dev = T_OTHER;   // armed device field
    int urlbase = 0;     // 0 not seen, 1 armed, 2 captured
    bool in_svc = false; // inside a service element
    tag svc = T_OTHER;   // armed service field
    bool type_seen = false;
    device_service cur{};

    void start(const char *name, size_t len) {
        tag t = tag_of(name, len);
        if (t >= T_TYPE && t <= T_DLNADOC)
            dev = t;
        else if (t == T_URLBASE)
            urlbase = 1;
        else if (t == T_SERVICE) {
            cur.type[0] = cur.id[0] = cur.control[0] = cur.eventsub[0] = cur.scpd[0] = 0;
            type_seen = false;
            in_svc = true;
            svc = T_OTHER;
        } else if (in_svc && t >= T_STYPE)
            svc = t;
    }

    void text(const char *t, size_t len) {
        switch (dev) {
        case T_TYPE:
            str_copyn(d->device_type, sizeof d->device_type, t, len);
            break;
        case T_FRIENDLY:
            str_copyn(d->friendly, DEVICE_NAME_CUT + 1, t, len);
            break;
        case T_MANUFACTURER:
            str_copyn(d->manufacturer, DEVICE_NAME_CUT + 1, t, len);
            break;
        case T_MODEL:
            str_copyn(d->model_name, DEVICE_NAME_CUT + 1, t, len);
            break;
        case T_UDN:
            str_copyn(d->udn, sizeof d->udn, t, len);
            break;
        case T_DLNADOC:
            str_copyn(d->dlna_doc, DEVICE_DLNADOC_CUT + 1, t, len);
            break;
        default:
            break;
        }
        dev = T_OTHER;
        if (urlbase == 1) {
            str_copyn(d->base, sizeof d->base, t, len);
            urlbase = 2;
        }
        switch (svc) {
        case T_STYPE:
            str_copyn(cur.type, sizeof cur.type, t, len);
            type_seen = true;
            break;
        case T_SID:
            str_copyn(cur.id, sizeof cur.id, t, len);
            break;
        case T_CONTROL:
            str_copyn(cur.control, sizeof cur.control, t, len);
            break;
        case T_EVENTSUB:
            str_copyn(cur.eventsub, sizeof cur.eventsub, t, len);
            break;
        case T_SCPD:
            str_copyn(cur.scpd, sizeof cur.scpd, t, len);
            break;
        default:
            return;
        }
        svc = T_OTHER;
    }

    void end(const char *name, size_t len) {
        if (!in_svc || len != 7 || memcmp(name, "service", 7) != 0) return;
        in_svc = false;
        svc = T_OTHER;
        if (type_seen && cur.control[0] && d->nsvc < DEVICE_MAX_SVC) d->svc[d->nsvc++] = cur;
    }
};
} // namespace

int desc_parse(const char *xml, const char *location, device_t *d, char *err, size_t errn) {
    if (!xml || !*xml) {
        str_copy(err, errn, "empty description");
        return -1;
    }
    size_t len = strlen(xml);
    if (len > (size_t)cfg_read(g_cfg.desc_max_bytes)) {
        str_copy(err, errn, "description over desc_max_bytes");
        return -1;
    }
    xmlrd *x = xml_open(xml, len, err, errn);
    if (!x) return -1;
    if (!location) location = "";
    str_copy(d->location, sizeof d->location, location);

    desc_scan s;
    s.d = d;
    const char *name = nullptr;
    size_t nl = 0;
    // A reader error ends the scan like the end of the document: the UDN and
    // deviceType checks below judge what was gathered.
    for (int ev; (ev = xml_next(x, &name, &nl)) > 0;) {
        if (ev == XML_EV_START)
            s.start(name, nl);
        else if (ev == XML_EV_TEXT)
            s.text(name, nl);
        else if (ev == XML_EV_END)
            s.end(name, nl);
    }
    xml_close(x);

    if (!d->udn[0]) {
        str_copy(err, errn, "description has no UDN");
        return -1;
    }
    if (!d->device_type[0]) {
        str_copy(err, errn, "description has no deviceType");
        return -1;
    }
    if (!d->base[0]) str_copy(d->base, sizeof d->base, location);
    for (int i = 0; i < d->nsvc; i++) {
        device_service &sv = d->svc[i];
        if (strstr(sv.control, "://")) continue;
        char abs[URL_RESOLVED_CAP];
        const char *msg = url_resolve(d->base, sv.control, abs, sizeof abs);
        if (msg)
            set_err("%s", msg); // the control URL stays as written
        else
            str_copy(sv.control, sizeof sv.control, abs);
    }
    return 0;
}

// ---------------------------------------------------------------- URL resolution

const char *url_resolve(const char *base, const char *ref, char *out, size_t outn) {
    if (!base || !ref || !*base) return "resolve: null url";
    if (strstr(ref, "://")) {
        str_copy(out, outn, ref);
        return nullptr;
    }
    const char *sep = strstr(base, "://");
    if (!sep || sep - base > 15) return "resolve: bad base url";
    char scheme[URL_SCHEME_CAP];
    str_copyn(scheme, sizeof scheme, base, (size_t)(sep - base));

    const char *h = sep + 3;
    size_t hl = strcspn(h, ":/");
    if (hl > URL_HOST_CAP - 1) return "resolve: bad base url";
    char host[URL_HOST_CAP];
    str_copyn(host, sizeof host, h, hl);

    int64_t port = (scheme[0] == 'h' && strlen(scheme) >= 5 && scheme[4] == 's') ? 443 : 80;
    const char *rest = h + hl;
    if (*rest == ':') {
        // Saturates instead of overflowing on a hostile run of digits; no digits is port 0.
        const char *q = rest + 1;
        read_int(&q, nullptr, INT_MAX, &port, 0);
        rest = strchr(rest + 1, '/');
        if (!rest) rest = "";
    }
    const char *path = *rest ? rest : "/";
    if (strlen(path) > URL_PATH_MAX) return "resolve: bad base url";

    if (ref[0] == '/') {
        str_fmt(out, outn, "%s://%s:%d%s", scheme, host, (int)port, ref);
    } else {
        int dirlen = (int)(strrchr(path, '/') - path) + 1;
        str_fmt(out, outn, "%s://%s:%d%.*s%s", scheme, host, (int)port, dirlen, path, ref);
    }
    return nullptr;
}

// The host of an absolute URL: the authority after "://" without user info and port.
static bool url_host_span(const char *url, const char **host, size_t *len) {
    const char *sep = url ? strstr(url, "://") : nullptr;
    if (!sep) return false;
    const char *a = sep + 3, *end = a + strcspn(a, "/?#");
    for (const char *p = end; p > a; p--) // user info ends at the authority's last '@'
        if (p[-1] == '@') {
            a = p;
            break;
        }
    const char *h = a;
    if (*a == '[') { // an IPv6 literal keeps its colons
        const char *rb = (const char *)memchr(a, ']', (size_t)(end - a));
        h = rb ? rb + 1 : end;
    } else {
        while (h < end && *h != ':') h++;
    }
    *host = a;
    *len = (size_t)(h - a);
    return *len > 0;
}

bool url_same_host(const char *a, const char *b) {
    const char *ha, *hb;
    size_t la, lb;
    if (!url_host_span(a, &ha, &la) || !url_host_span(b, &hb, &lb)) return false;
    return la == lb && str_nieq(ha, hb, la);
}

// ---------------------------------------------------------------- UDN keys

void udn_key_of(const char *usn_or_udn, char *out) {
    const char *s = usn_or_udn;
    const char *u = strstr(s, "uuid:");
    if (u && u != s) s = u + 5;
    const char *e = strstr(s, "::");
    size_t len = e ? (size_t)(e - s) : strlen(s);
    if (len > DEVICE_KEY_CAP - 1) len = DEVICE_KEY_CAP - 1;
    for (size_t i = 0; i < len; i++) {
        char c = s[i];
        out[i] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    out[len] = 0;
}

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
        if (d.expires_ms > 0 && d.added_ms + (uint64_t)d.expires_ms * 1000 <= now)
            device_remove(i);
        else
            i++;
    }
}

// Fetches and parses the description at location into d and classifies it.
static int fetch_description(const char *location, device_t *d, char *err, size_t errn) {
    const quorlin_io *io = kvdmc_io_current();
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
            row->expires_ms = r->max_age_s;
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
    fresh.expires_ms = r->max_age_s;
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

int discover_live(int kind, int timeout_ms, char *err, size_t errn) {
    int rc = ssdp_search(kind, timeout_ms, add_found, nullptr, err, errn);
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
    if (kind < 1 || kind > 3) {
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
        if (g_cfg.ssdp_disable) {
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
