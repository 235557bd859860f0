// Device descriptions (the scan of one document), URL resolution and its export, UDN keys.
#include "parse/description.h"

#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/text.h"
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
    T_DEVICE,
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
                             TAG("device", T_DEVICE),
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

// One device element of the document, or (node 0) the document outside any.
struct desc_node {
    device_t d;
    int parent; // enclosing node; -1 for node 0
};

struct node_store {
    desc_node *n = (desc_node *)calloc(DESC_MAX_NODES + 1, sizeof(desc_node));
    ~node_store() { free(n); }
    node_store() = default;
    node_store(const node_store &) = delete;
    node_store &operator=(const node_store &) = delete;
};

struct desc_scan;

// A field the text of an element fills. Each slot holds at most one armed field:
// a device field arms wherever its element is (for the device element it is in),
// URLBase too, a service field only inside a service. A text event fills every
// armed field and disarms it.
enum slot { S_DEVICE, S_BASE, S_SERVICE, S_COUNT };

struct text_field {
    tag t;
    slot s;
    char *(*at)(desc_scan &);
    size_t cap; // bytes kept, NUL included
    // Identifiers and URLs wrapped over lines by formatted dumps do not own the
    // white space around them; names keep their text as written.
    bool trim;
};

// Scan state of one description: which device element is open, which fields the
// next text event fills. Each device keeps the fields and services written inside
// it and outside its embedded devices; device elements beyond the store's
// capacity are followed but their content is dropped.
struct desc_scan {
    desc_node *nodes;
    int nnodes = 1;
    struct open_device {
        int depth; // the reader's depth of the device element
        int node;  // -1: not kept
    };
    open_device open[XML_MAX_DEPTH + 1];
    int nopen = 0;
    int depth = 0; // the reader's depth before the current event
    const text_field *armed[S_COUNT] = {};
    int dev_node = 0;    // the node the armed device field belongs to
    bool in_svc = false; // inside a service element
    int svc_node = 0;    // the device the service belongs to
    bool type_seen = false;
    device_service cur{};

    int current() const { return nopen ? open[nopen - 1].node : 0; }
    device_t &dev() { return nodes[dev_node].d; }
    void start(const char *name, size_t len, int new_depth);
    void text(const char *t, size_t len);
    void end(const char *name, size_t len, int new_depth);
};

constexpr text_field FIELDS[] = {
    {T_TYPE, S_DEVICE, [](desc_scan &s) { return s.dev().device_type; }, sizeof(device_t::device_type), true},
    {T_FRIENDLY, S_DEVICE, [](desc_scan &s) { return s.dev().friendly; }, DEVICE_NAME_CUT + 1, false},
    {T_MANUFACTURER, S_DEVICE, [](desc_scan &s) { return s.dev().manufacturer; }, DEVICE_NAME_CUT + 1, false},
    {T_MODEL, S_DEVICE, [](desc_scan &s) { return s.dev().model_name; }, DEVICE_NAME_CUT + 1, false},
    {T_UDN, S_DEVICE, [](desc_scan &s) { return s.dev().udn; }, sizeof(device_t::udn), true},
    {T_DLNADOC, S_DEVICE, [](desc_scan &s) { return s.dev().dlna_doc; }, DEVICE_DLNADOC_CUT + 1, false},
    {T_URLBASE, S_BASE, [](desc_scan &s) { return s.nodes[0].d.base; }, sizeof(device_t::base), true},
    {T_STYPE, S_SERVICE, [](desc_scan &s) { return s.cur.type; }, sizeof(device_service::type), true},
    {T_SID, S_SERVICE, [](desc_scan &s) { return s.cur.id; }, sizeof(device_service::id), true},
    {T_CONTROL, S_SERVICE, [](desc_scan &s) { return s.cur.control; }, sizeof(device_service::control), true},
    {T_EVENTSUB, S_SERVICE, [](desc_scan &s) { return s.cur.eventsub; }, sizeof(device_service::eventsub),
     true},
    {T_SCPD, S_SERVICE, [](desc_scan &s) { return s.cur.scpd; }, sizeof(device_service::scpd), true},
};

void desc_scan::start(const char *name, size_t len, int new_depth) {
    tag t = tag_of(name, len);
    if (t == T_DEVICE) {
        // A self-closing device element leaves the depth as it was and holds nothing.
        if (new_depth <= depth || nopen == XML_MAX_DEPTH + 1) return;
        int node = -1;
        if (nnodes <= DESC_MAX_NODES && current() >= 0) {
            node = nnodes++;
            nodes[node].parent = current();
        }
        open[nopen++] = {new_depth, node};
        return;
    }
    if (t == T_SERVICE) {
        cur.type[0] = cur.id[0] = cur.control[0] = cur.eventsub[0] = cur.scpd[0] = 0;
        type_seen = false;
        in_svc = true;
        svc_node = current();
        armed[S_SERVICE] = nullptr;
        return;
    }
    for (const text_field &f : FIELDS)
        if (f.t == t && (f.s != S_SERVICE || in_svc)) {
            armed[f.s] = &f;
            if (f.s == S_DEVICE) dev_node = current();
        }
}

void desc_scan::text(const char *t, size_t len) {
    for (const text_field *&f : armed) {
        if (!f) continue;
        if (f->s != S_DEVICE || dev_node >= 0) { // a device beyond the store keeps nothing
            const char *v = t;
            size_t vl = len;
            if (f->trim) ws_trim(&v, &vl);
            str_copyn(f->at(*this), f->cap, v, vl);
        }
        if (f->t == T_STYPE) type_seen = true;
        f = nullptr;
    }
}

void desc_scan::end(const char *name, size_t len, int new_depth) {
    while (nopen && open[nopen - 1].depth > new_depth) nopen--;
    if (!in_svc || len != 7 || memcmp(name, "service", 7) != 0) return;
    in_svc = false;
    armed[S_SERVICE] = nullptr;
    if (svc_node < 0 || !type_seen || !cur.control[0]) return;
    device_t &d = nodes[svc_node].d;
    if (d.nsvc < DEVICE_MAX_SVC) d.svc[d.nsvc++] = cur;
}

// A device without its own name, maker or model takes its enclosing device's.
void inherit_names(device_t *d, const device_t &from) {
    if (!d->friendly[0]) str_copy(d->friendly, sizeof d->friendly, from.friendly);
    if (!d->manufacturer[0]) str_copy(d->manufacturer, sizeof d->manufacturer, from.manufacturer);
    if (!d->model_name[0]) str_copy(d->model_name, sizeof d->model_name, from.model_name);
    if (!d->dlna_doc[0]) str_copy(d->dlna_doc, sizeof d->dlna_doc, from.dlna_doc);
}

// Location, base and absolute control URLs of one record of the description. A control
// URL that cannot be resolved stays as written, with the resolver's message in err.
void finish_record(device_t *d, const char *location, const char *base, char *err, size_t errn) {
    str_copy(d->location, sizeof d->location, location);
    str_copy(d->base, sizeof d->base, base);
    for (int i = 0; i < d->nsvc; i++) {
        device_service &sv = d->svc[i];
        if (strstr(sv.control, "://")) continue;
        char abs[URL_RESOLVED_CAP];
        const char *msg = url_resolve(d->base, sv.control, abs, sizeof abs);
        if (msg)
            str_copy(err, errn, msg);
        else
            str_copy(sv.control, sizeof sv.control, abs);
    }
}
} // namespace

int device_kind_of(const char *device_type) {
    if (strstr(device_type, DEVICE_SERVER_MARK)) return strstr(device_type, DEVICE_RENDERER_MARK) ? 2 : 1;
    return strstr(device_type, DEVICE_RENDERER_MARK) ? 2 : 0;
}

int desc_parse_devices(const char *xml, const char *location, device_t *out, int maxn, char *err,
                       size_t errn) {
    if (!xml || !*xml) {
        str_copy(err, errn, "empty description");
        return -1;
    }
    size_t len = strlen(xml);
    if (len > (size_t)cfg_read(g_cfg.desc_max_bytes)) {
        str_copy(err, errn, "description over desc_max_bytes");
        return -1;
    }
    node_store mem;
    if (!mem.n) {
        str_copy(err, errn, "out of memory");
        return -1;
    }
    xmlrd *x = xml_open(xml, len, err, errn);
    if (!x) return -1;
    if (!location) location = "";

    desc_scan s;
    s.nodes = mem.n;
    s.nodes[0].parent = -1;
    const char *name = nullptr;
    size_t nl = 0;
    // A reader error ends the scan like the end of the document: the UDN and
    // deviceType checks below judge what was gathered.
    for (int ev; (ev = xml_next(x, &name, &nl)) > 0;) {
        int depth = xml_depth(x);
        if (ev == XML_EV_START)
            s.start(name, nl, depth);
        else if (ev == XML_EV_TEXT)
            s.text(name, nl);
        else if (ev == XML_EV_END)
            s.end(name, nl, depth);
        s.depth = depth;
    }
    xml_close(x);

    // Parents come before their children, so each inherits from a finished parent.
    desc_node *nodes = s.nodes;
    for (int i = 1; i < s.nnodes; i++) inherit_names(&nodes[i].d, nodes[nodes[i].parent].d);
    char base[DEVICE_URL_CAP];
    str_copy(base, sizeof base, nodes[0].d.base[0] ? nodes[0].d.base : location);

    // The devices are the device elements; a document without any is one device.
    int first = s.nnodes > 1 ? 1 : 0;
    int n = 0;
    bool media = false;
    for (int i = first; i < s.nnodes && n < maxn; i++) {
        const device_t &d = nodes[i].d;
        if (!device_kind_of(d.device_type)) continue;
        media = true;
        if (!d.udn[0]) continue; // a device nobody could address
        out[n] = d;
        finish_record(&out[n++], location, base, err, errn);
    }
    if (n) return n;
    const device_t &root = nodes[first].d;
    if (media || !root.udn[0]) {
        str_copy(err, errn, "description has no UDN");
        return -1;
    }
    if (!root.device_type[0]) {
        str_copy(err, errn, "description has no deviceType");
        return -1;
    }
    if (maxn < 1) return 0;
    out[0] = root;
    finish_record(&out[0], location, base, err, errn);
    return 1;
}

int desc_parse(const char *xml, const char *location, device_t *d, char *err, size_t errn) {
    return desc_parse_devices(xml, location, d, 1, err, errn) < 0 ? -1 : 0;
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

    // The host runs to the port's ':' or the path; an IPv6 literal keeps its colons
    // (and a zone) inside its brackets.
    const char *h = sep + 3;
    size_t hl = strcspn(h, ":/");
    if (*h == '[') {
        size_t rb = strcspn(h, "]/");
        if (h[rb] == ']') hl = rb + 1;
    }
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

// An IPv6 literal's address without its brackets and zone ("fe80::1" of
// "[fe80::1%25eth0]"); the zone into *zone, empty when there is none.
static void split_ipv6(const char *h, size_t len, const char **addr, size_t *alen, const char **zone,
                       size_t *zlen) {
    *addr = h + 1;
    *alen = len >= 2 && h[len - 1] == ']' ? len - 2 : len - 1;
    const char *pct = (const char *)memchr(*addr, '%', *alen);
    *zone = pct ? pct : *addr + *alen;
    *zlen = (size_t)(*addr + *alen - *zone);
    *alen = (size_t)(*zone - *addr);
}

bool url_same_host(const char *a, const char *b) {
    const char *ha, *hb;
    size_t la, lb;
    if (!url_host_span(a, &ha, &la) || !url_host_span(b, &hb, &lb)) return false;
    if (*ha != '[' || *hb != '[') return la == lb && str_nieq(ha, hb, la);
    // A link-local address names one host whether or not a zone was added to it
    // (the receiving side adds the zone; the device's own URLs carry none); two
    // different zones name hosts on different links.
    const char *aa, *ab, *za, *zb;
    size_t aal, abl, zal, zbl;
    split_ipv6(ha, la, &aa, &aal, &za, &zal);
    split_ipv6(hb, lb, &ab, &abl, &zb, &zbl);
    if (aal != abl || !str_nieq(aa, ab, aal)) return false;
    return !zal || !zbl || (zal == zbl && memcmp(za, zb, zal) == 0);
}

// ---------------------------------------------------------------- UDN keys

void udn_key_of(const char *usn_or_udn, char *out) {
    const char *s = usn_or_udn;
    const char *u = strstr(s, "uuid:");
    if (u && u != s) s = u + 5;
    const char *e = strstr(s, "::");
    size_t len = e ? (size_t)(e - s) : strlen(s);
    if (len > DEVICE_KEY_CAP - 1) len = DEVICE_KEY_CAP - 1;
    for (size_t i = 0; i < len; i++) out[i] = ascii_lower(s[i]);
    out[len] = 0;
}

// ---------------------------------------------------------------- exported

extern "C" KVDMC_API const char *kvdmc_resolve_url(const char *base, const char *ref) {
    static thread_local char s_url[URL_RESOLVED_CAP];
    const char *msg = url_resolve(base, ref, s_url, sizeof s_url);
    if (msg) {
        api_fail(KVDMC_E_ARG, "%s", msg);
        return nullptr;
    }
    return s_url;
}
