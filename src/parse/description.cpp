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
