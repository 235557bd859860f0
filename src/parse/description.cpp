// Device descriptions (the scan of one description document), URL resolution and UDN keys.
#include "parse/description.h"

#include <limits.h>
#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/util.h"
#include "parse/xml.h"

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

struct desc_scan;

// A field the text of an element fills. Each slot holds at most one armed field:
// a device field arms wherever its element is, URLBase too, a service field only
// inside a service. A text event fills every armed field and disarms it.
enum slot { S_DEVICE, S_BASE, S_SERVICE, S_COUNT };

struct text_field {
    tag t;
    slot s;
    char *(*at)(desc_scan &);
    size_t cap; // bytes kept, NUL included
};

// Scan state of one description: which fields the next text event fills.
struct desc_scan {
    device_t *d;
    const text_field *armed[S_COUNT] = {};
    bool in_svc = false; // inside a service element
    bool type_seen = false;
    device_service cur{};

    void start(const char *name, size_t len);
    void text(const char *t, size_t len);
    void end(const char *name, size_t len);
};

constexpr text_field FIELDS[] = {
    {T_TYPE, S_DEVICE, [](desc_scan &s) { return s.d->device_type; }, sizeof(device_t::device_type)},
    {T_FRIENDLY, S_DEVICE, [](desc_scan &s) { return s.d->friendly; }, DEVICE_NAME_CUT + 1},
    {T_MANUFACTURER, S_DEVICE, [](desc_scan &s) { return s.d->manufacturer; }, DEVICE_NAME_CUT + 1},
    {T_MODEL, S_DEVICE, [](desc_scan &s) { return s.d->model_name; }, DEVICE_NAME_CUT + 1},
    {T_UDN, S_DEVICE, [](desc_scan &s) { return s.d->udn; }, sizeof(device_t::udn)},
    {T_DLNADOC, S_DEVICE, [](desc_scan &s) { return s.d->dlna_doc; }, DEVICE_DLNADOC_CUT + 1},
    {T_URLBASE, S_BASE, [](desc_scan &s) { return s.d->base; }, sizeof(device_t::base)},
    {T_STYPE, S_SERVICE, [](desc_scan &s) { return s.cur.type; }, sizeof(device_service::type)},
    {T_SID, S_SERVICE, [](desc_scan &s) { return s.cur.id; }, sizeof(device_service::id)},
    {T_CONTROL, S_SERVICE, [](desc_scan &s) { return s.cur.control; }, sizeof(device_service::control)},
    {T_EVENTSUB, S_SERVICE, [](desc_scan &s) { return s.cur.eventsub; }, sizeof(device_service::eventsub)},
    {T_SCPD, S_SERVICE, [](desc_scan &s) { return s.cur.scpd; }, sizeof(device_service::scpd)},
};

void desc_scan::start(const char *name, size_t len) {
    tag t = tag_of(name, len);
    if (t == T_SERVICE) {
        cur.type[0] = cur.id[0] = cur.control[0] = cur.eventsub[0] = cur.scpd[0] = 0;
        type_seen = false;
        in_svc = true;
        armed[S_SERVICE] = nullptr;
        return;
    }
    for (const text_field &f : FIELDS)
        if (f.t == t && (f.s != S_SERVICE || in_svc)) armed[f.s] = &f;
}

void desc_scan::text(const char *t, size_t len) {
    for (const text_field *&f : armed) {
        if (!f) continue;
        str_copyn(f->at(*this), f->cap, t, len);
        if (f->t == T_STYPE) type_seen = true;
        f = nullptr;
    }
}

void desc_scan::end(const char *name, size_t len) {
    if (!in_svc || len != 7 || memcmp(name, "service", 7) != 0) return;
    in_svc = false;
    armed[S_SERVICE] = nullptr;
    if (type_seen && cur.control[0] && d->nsvc < DEVICE_MAX_SVC) d->svc[d->nsvc++] = cur;
}
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
