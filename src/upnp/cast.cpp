// Casting: allow-list, renderer transport control and the sink capability check.
#include "upnp/cast.h"

#include <limits.h>
#include <stddef.h>
#include <string.h>

#include <string>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "upnp/items.h"
#include "upnp/service_desc.h"
#include "upnp/soap.h"
#include "base/readers/textread.h"
#include "base/util.h"

// Allow-list (guarded by g_lock): device keys in insertion order.
static char s_allow[CAST_ALLOW_MAX][DEVICE_KEY_CAP];
static int s_nallow;

// ---- allow-list ----

// Caller holds g_lock.
static bool allow_has(const char *key) {
    for (int i = 0; i < s_nallow; i++)
        if (strcmp(s_allow[i], key) == 0) return true;
    return false;
}

static int cast_allow(const char *udn) {
    if (!udn) return api_fail(KVDMC_E_ARG, "cast_allow: null udn");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    if (!key[0]) return api_fail(KVDMC_E_ARG, "cast_allow: empty udn");
    {
        plat_guard g(&g_lock);
        if (allow_has(key)) return 0;
        if (s_nallow < CAST_ALLOW_MAX) {
            str_copy(s_allow[s_nallow++], DEVICE_KEY_CAP, key);
            return 0;
        }
    }
    return api_fail(KVDMC_E_CAP, "allow-list full");
}

static void cast_clear(void) {
    plat_guard g(&g_lock);
    s_nallow = 0;
}

static int cast_allowed(const char *udn) {
    if (!udn) return 0;
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    plat_guard g(&g_lock);
    return allow_has(key) ? 1 : 0;
}

// ---- lookups ----

// The SOAP client reads only the service list and the LOCATION; the rest of the
// copy is cleared so that nothing stale or uninitialised travels with it.
static void copy_for_call(const device_t *row, device_t *out) {
    memset(out, 0, offsetof(device_t, svc));
    str_copy(out->udn, sizeof out->udn, row->udn);
    str_copy(out->udn_key, sizeof out->udn_key, row->udn_key);
    str_copy(out->location, sizeof out->location, row->location);
    str_copy(out->base, sizeof out->base, row->base); // service descriptions resolve against it
    out->kind = row->kind;
    int n = row->nsvc < 0 ? 0 : row->nsvc > DEVICE_MAX_SVC ? DEVICE_MAX_SVC : row->nsvc;
    memcpy(out->svc, row->svc, sizeof(device_service) * (size_t)n);
    out->nsvc = n;
    out->desc_ok = row->desc_ok;
    out->learned = row->learned;
}

static int lookup_fail(char *err, int code, const char *fmt, const char *udn) {
    str_fmt(err, CAST_ERRN, fmt, udn);
    return code;
}

// The allow-list first, then the device table: a device that is neither allowed nor
// known is reported as refused.
static int guarded(const char *udn, device_t *out, char *err) {
    if (!udn) return lookup_fail(err, KVDMC_E_ARG, "%s", "null udn");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    // One hold covers both checks, so the device found is the one that was
    // allowed at that moment.
    plat_guard g(&g_lock);
    if (!allow_has(key))
        return lookup_fail(err, KVDMC_E_REFUSED, "cast refused: %s is not on the allow-list (D13)", udn);
    const device_t *row = device_find(key);
    if (!row) return lookup_fail(err, KVDMC_E_UNKNOWN, "unknown device %s", udn);
    copy_for_call(row, out);
    return 0;
}

static int dev_of(const char *udn, device_t *out, char *err) {
    if (!udn) return lookup_fail(err, KVDMC_E_UNKNOWN, "unknown device %s", "(null)");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    plat_guard g(&g_lock);
    const device_t *row = device_find(key);
    if (!row) return lookup_fail(err, KVDMC_E_UNKNOWN, "unknown device %s", udn);
    copy_for_call(row, out);
    return 0;
}

// ---- service choice ----

// "<kind>:1" when the device has it; otherwise "<kind>:2". A failing version 1
// action is reported as is: retrying it on a service the device does not have
// would only replace the renderer's answer with a "no such service" text.
// AVTransport on a device without any service keeps the version 1 fragment.
static void pick_frag(const device_t *d, const char *kind, char *frag, size_t n) {
    bool avt_none = d->nsvc <= 0 && strcmp(kind, SVC_AV_TRANSPORT) == 0;
    soap_pick_version(d, kind, 2, avt_none ? 1 : 2, frag, n);
}

// ---- one renderer operation ----

namespace {

// Reading operations need the device to be known; operations that change the
// renderer need it on the allow-list as well.
enum class gate { known, allowed };

// What every renderer operation shares: a copy of the device row taken under the
// lock at its start (the actions then run without the lock) and the failure text.
// Each step returns 0 or the failure code and records its outcome, so the operation's
// last step leaves the code the exported function returns.
struct renderer_op {
    device_t d;
    char err[CAST_ERRN] = "";
    int upnp = 0; // the UPnP error code of the last action's fault, 0 without one

    int open(const char *udn, gate g) {
        int rc = g == gate::allowed ? guarded(udn, &d, err) : dev_of(udn, &d, err);
        return rc ? api_fail(rc, "%s", err) : 0;
    }

    // The action on the device's service of that kind, its output arguments
    // gathered from one response.
    int call(const char *kind, const char *action, const char *args, soap_out *outs, int nout) {
        char frag[SOAP_FRAG_CAP];
        pick_frag(&d, kind, frag, sizeof frag);
        upnp = 0;
        int rc = soap_action_args(&d, frag, action, args, outs, nout, &upnp, err, CAST_ERRN);
        return rc ? api_fail(rc, "%s", err) : api_ok(0);
    }

    // One output argument into out (cut to n - 1 bytes); want null: none read.
    int call1(const char *kind, const char *action, const char *args, const char *want = nullptr,
              char *out = nullptr, size_t n = 0) {
        char frag[SOAP_FRAG_CAP];
        pick_frag(&d, kind, frag, sizeof frag);
        upnp = 0;
        int rc = soap_action_arg(&d, frag, action, args, want ? want : "", out, n, &upnp, err, CAST_ERRN);
        return rc ? api_fail(rc, "%s", err) : api_ok(0);
    }
};

} // namespace

// ---- renderer texts ----

// One "%d" conversion as scanf does it (white space, sign, digits), with the
// value kept in a wider type so that absurd renderer values cannot overflow:
// anything beyond int makes the whole time unrepresentable, and a bound well
// inside int64 keeps the arithmetic below exact.
static bool scan_num(const char *&p, int64_t &v) {
    return read_int(&p, nullptr, INT64_C(1) << 40, &v);
}

int hms_to_s(const char *s, int *out) {
    if (!s || !*s) {
        *out = 0;
        return 0;
    }
    // Positions and durations are never negative: a signed field is no time at all,
    // not a time that sums to something plausible.
    if (strpbrk(s, "+-")) return -1;
    int64_t f[3] = {0, 0, 0};
    int nf = 0;
    const char *p = s;
    while (nf < 3 && scan_num(p, f[nf])) {
        nf++;
        if (*p != ':') break;
        p++;
    }
    int64_t total;
    if (nf == 3)
        total = f[0] * 3600 + f[1] * 60 + f[2];
    else if (nf == 2)
        total = f[0] * 60 + f[1];
    else if (s[0] >= '0' && s[0] <= '9')
        total = f[0];
    else
        return -1;
    if (total > INT_MAX || total < INT_MIN) return -1;
    *out = (int)total;
    return 0;
}

int sink_match(const char *list, const char *mime) {
    size_t m = strlen(mime);
    const char *p = list;
    while (*p) {
        const char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        if (n >= m && memcmp(p, mime, m) == 0 && (n == m || p[m] == ':' || p[m] == ';')) return 1;
        if (!comma) break;
        p = comma + 1;
    }
    return 0;
}

// Names devices give one format. The first of each group is the common one.
static constexpr const char *FORMAT_ALIASES[][6] = {
    {"video/x-matroska", "video/x-mkv", "video/mkv"},
    {"audio/mpeg", "audio/mp3", "audio/x-mp3", "audio/mpeg3", "audio/x-mpeg"},
    {"audio/flac", "audio/x-flac"},
    {"audio/wav", "audio/x-wav", "audio/wave", "audio/vnd.wave"},
    {"audio/mp4", "audio/x-m4a", "audio/m4a"},
    {"video/x-msvideo", "video/avi", "video/msvideo"},
    {"image/jpeg", "image/jpg"},
};

static bool ieq_span(const char *a, size_t an, const char *b) {
    return strlen(b) == an && str_nieq(a, b, an);
}

// The group of names of a format, or null when it has no other name.
static const char *const *aliases_of(const char *f, size_t n) {
    for (const auto &g : FORMAT_ALIASES)
        for (const char *const *a = g; *a; a++)
            if (ieq_span(f, n, *a)) return g;
    return nullptr;
}

// Where the content format is in a text the host matches: the third field of
// "protocol:network:format[:...]", or the whole of a bare MIME type. False for
// anything else.
static bool format_span(const char *t, size_t *at, size_t *len) {
    const char *c1 = strchr(t, ':');
    const char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
    if (c1 && !c2) return false;
    const char *f = c2 ? c2 + 1 : t;
    *at = (size_t)(f - t);
    *len = strcspn(f, ":;");
    return *len > 0;
}

int sink_match_alias(const char *list, const char *mime) {
    size_t at, len;
    if (!format_span(mime, &at, &len)) return 0;
    const char *const *group = aliases_of(mime + at, len);
    if (!group) return 0;
    std::string t;
    for (const char *const *a = group; *a; a++) {
        if (ieq_span(mime + at, len, *a)) continue; // the asked name itself: the exact rule's
        t.assign(mime, at).append(*a).append(mime + at + len);
        if (sink_match(list, t.c_str())) return 1;
    }
    return 0;
}

// The name a Sink list gives the format `mime` for HTTP: mime itself when an http-get
// entry lists it, else the first of its other names an http-get entry lists; false
// when the list has none of them.
static bool listed_name(const char *list, const char *mime, std::string *out) {
    const char *const *group = aliases_of(mime, strlen(mime));
    std::string t = std::string("http-get:*:") + mime;
    if (sink_match(list, t.c_str())) return *out = mime, true;
    for (const char *const *a = group; group && *a; a++) {
        t.assign("http-get:*:").append(*a);
        if (sink_match(list, t.c_str())) return *out = *a, true;
    }
    return false;
}

// Sink lists of renderers checked before, by device key, so that casting can name a
// format the way the renderer does. Guarded by g_lock.
namespace {
struct sink_memo {
    char key[DEVICE_KEY_CAP];
    std::string sink;
};
sink_memo s_sinks[CAST_SINK_MEMO];
int s_nsinks, s_next_sink;
} // namespace

static void remember_sink(const char *key, const char *sink) {
    // A list too long to keep still replaces the one before: names must never come from
    // a list the renderer no longer gives.
    bool keep = strlen(sink) <= CAST_SINK_MEMO_BYTES;
    plat_guard g(&g_lock);
    sink_memo *m = nullptr;
    for (int i = 0; i < s_nsinks && !m; i++)
        if (strcmp(s_sinks[i].key, key) == 0) m = &s_sinks[i];
    if (!keep) {
        if (m) std::string().swap(m->sink); // an empty list names nothing
        return;
    }
    if (!m) {
        m = &s_sinks[s_nsinks < CAST_SINK_MEMO ? s_nsinks++ : s_next_sink];
        if (s_nsinks == CAST_SINK_MEMO) s_next_sink = (s_next_sink + 1) % CAST_SINK_MEMO;
        str_copy(m->key, sizeof m->key, key);
    }
    m->sink.assign(sink);
}

// The renderer's name for `mime`, when an earlier check read its Sink list and
// it lists the format under some name; otherwise mime itself.
static std::string renderer_name_for(const char *key, const char *mime) {
    std::string out = mime;
    plat_guard g(&g_lock);
    for (int i = 0; i < s_nsinks; i++)
        if (strcmp(s_sinks[i].key, key) == 0) {
            listed_name(s_sinks[i].sink.c_str(), mime, &out);
            break;
        }
    return out;
}

// ---- transport control ----

// The metadata document: title, MIME type and URL are escaped for it, and the whole
// document is escaped again as the SOAP argument, so after the renderer's one decode
// it is well-formed DIDL-Lite whose texts decode to the original ones.
static void didl_head(sbuf *b, const char *id, const char *parent) {
    sb_printf(b, "<DIDL-Lite xmlns=\"%s\" xmlns:dc=\"%s\" xmlns:upnp=\"%s\"><item id=\"", DIDL_NS, DC_NS,
              UPNP_NS);
    sb_xml(b, id);
    sb_puts(b, "\" parentID=\"");
    sb_xml(b, parent);
    sb_puts(b, "\" restricted=\"1\">");
}

static void didl_title(sbuf *b, const char *title) {
    if (!title || !*title) return;
    sb_puts(b, "<dc:title>");
    sb_xml(b, title);
    sb_puts(b, "</dc:title>");
}

// The fixed document: a video item whatever the media, http-get with the MIME type.
static void minimal_metadata(sbuf *b, const char *url, const char *mime, const char *title) {
    didl_head(b, "", "");
    didl_title(b, title);
    sb_puts(b, "<res protocolInfo=\"http-get:*:");
    sb_xml(b, mime);
    sb_puts(b, ":*\">");
    sb_xml(b, url);
    sb_puts(b, "</res><upnp:class>object.item.videoItem</upnp:class></item></DIDL-Lite>");
}

// What a cast URL is known as: the item of the item table whose resource it is, with
// the server's own protocolInfo (its DLNA profile and flags, which TVs decide playback
// and seeking on), or, for any other URL, what its MIME type says.
struct cast_media {
    std::string id, parent, title, klass, protocol_info, size, duration, resolution;
};

// The class that describes media of a MIME type; never a profile nobody sent.
static const char *class_of_mime(const char *mime) {
    if (str_nieq(mime, "audio/", 6)) return "object.item.audioItem.musicTrack";
    if (str_nieq(mime, "image/", 6)) return "object.item.imageItem.photo";
    return "object.item.videoItem";
}

static bool media_of_item(const char *url, const char *host_url, cast_media *m) {
    items_guard g;
    const didl_table &t = g_items.items;
    for (int i = 0; i < t.size(); i++) {
        const didl_item &it = t[i];
        if (it.is_folder || !it.res_url[0] ||
            (strcmp(it.res_url, url) != 0 && strcmp(it.res_url, host_url) != 0))
            continue;
        m->id = it.id;
        m->parent = it.parent;
        m->title = it.title;
        m->klass = it.klass[0] ? it.klass : class_of_mime(it.res_mime);
        // A protocolInfo that reaches the item table's cut may have lost the end of its
        // flags: the renderer is told the transfer and format only, never a broken flag.
        size_t pi_n = strlen(it.res_protocol_info);
        m->protocol_info = pi_n + 4 < ITEM_PROTOCOL_INFO_CUT
                               ? std::string(it.res_protocol_info)
                               : std::string("http-get:*:") + it.res_mime + ":*";
        if (it.res_size_given && it.res_size >= 0) m->size = std::to_string(it.res_size);
        m->duration = it.res_duration;
        m->resolution = it.res_resolution;
        return true;
    }
    return false;
}

// A protocolInfo with its content format (third field) replaced.
static std::string with_format(const std::string &pi, const std::string &format) {
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    if (c2 == std::string::npos) return pi;
    size_t c3 = pi.find(':', c2 + 1);
    return pi.substr(0, c2 + 1) + format + (c3 == std::string::npos ? "" : pi.substr(c3));
}

static std::string format_of(const std::string &pi) {
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    if (c2 == std::string::npos) return "";
    return pi.substr(c2 + 1, pi.find(':', c2 + 1) - c2 - 1);
}

// TVs seek only when the res says the server serves byte ranges: a protocolInfo whose
// fourth field carries no DLNA parameter at all gets the usual streaming ones. A
// server's own parameters are left as they are, and no profile is ever made up.
static std::string with_dlna_params(const std::string &pi) {
    static const char PARAMS[] =
        "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    size_t c3 = c2 == std::string::npos ? c2 : pi.find(':', c2 + 1);
    if (c3 == std::string::npos || pi.compare(0, c1, "http-get") != 0) return pi;
    std::string info = pi.substr(c3 + 1);
    if (info.find("DLNA.ORG_") != std::string::npos) return pi;
    if (info.empty() || info == "*") return pi.substr(0, c3 + 1) + PARAMS;
    return pi + ";" + PARAMS;
}

static void attr(sbuf *b, const char *name, const std::string &v) {
    if (v.empty()) return;
    sb_printf(b, " %s=\"", name);
    sb_xml(b, v.c_str());
    sb_putc(b, '"');
}

// The document that describes the media: the item it is, or a class and protocolInfo
// from its MIME type. The format in the protocolInfo is named as the renderer names it
// when an earlier Sink check told.
static void item_metadata(sbuf *b, const char *key, const char *url, const char *host_url, const char *mime,
                          const char *title) {
    cast_media m;
    if (!media_of_item(url, host_url, &m)) {
        m.klass = class_of_mime(mime);
        m.protocol_info = std::string("http-get:*:") + mime + ":*";
    }
    std::string format = format_of(m.protocol_info);
    if (!format.empty()) {
        std::string named = renderer_name_for(key, format.c_str());
        if (named != format) m.protocol_info = with_format(m.protocol_info, named);
    }
    if (cfg_read(g_cfg.cast_dlna_flags)) m.protocol_info = with_dlna_params(m.protocol_info);
    didl_head(b, m.id.c_str(), m.parent.c_str());
    didl_title(b, title && *title ? title : m.title.c_str());
    sb_puts(b, "<upnp:class>");
    sb_xml(b, m.klass.c_str());
    sb_puts(b, "</upnp:class><res");
    attr(b, "protocolInfo", m.protocol_info);
    attr(b, "size", m.size);
    attr(b, "duration", m.duration);
    attr(b, "resolution", m.resolution);
    sb_putc(b, '>');
    sb_xml(b, url);
    sb_puts(b, "</res></item></DIDL-Lite>");
}

static const char INSTANCE_ARGS[] = "<InstanceID>0</InstanceID>";
static const char INSTANCE_ARGS_SPEED[] = "<InstanceID>0</InstanceID><Speed>1</Speed>";
static const char CHANNEL_ARGS[] = "<InstanceID>0</InstanceID><Channel>Master</Channel>";

// UPnP's answers of a renderer that is busy with what it played before: "transport is
// locked" and "transition not available".
static constexpr int UPNP_TRANSITION_NOT_AVAILABLE = 701;
static constexpr int UPNP_TRANSPORT_LOCKED = 705;

// Records a failure again as the call's outcome: a retry that did not happen must
// leave the renderer's first answer (code and text) as it was.
static int report(int rc, const char *text) {
    return api_fail(rc, "%s", text);
}

// What a cast sends: the texts made valid, and the URL as the host passed it (the one the
// item table knows).
struct cast_texts {
    const char *url, *host_url, *mime, *title;
};

// SetAVTransportURI with CurrentURIMetaData of one form (a cast_meta).
static int set_uri_form(renderer_op &op, int form, const cast_texts &t) {
    // Built whole rather than cut to a fixed buffer: a cut would send the
    // renderer a truncated URL inside malformed XML.
    sbuf_scoped meta, args;
    switch (form) {
    case CAST_META_MINIMAL:
        minimal_metadata(&meta, t.url, t.mime, t.title);
        break;
    case CAST_META_NONE:
        break;
    default:
        item_metadata(&meta, op.d.udn_key, t.url, t.host_url, t.mime, t.title);
    }
    sb_puts(&args, "<InstanceID>0</InstanceID><CurrentURI>");
    sb_xml(&args, t.url); // media URLs often carry '&'
    sb_puts(&args, "</CurrentURI><CurrentURIMetaData>");
    sb_xml(&args, meta.str());
    sb_puts(&args, "</CurrentURIMetaData>");
    if (meta.b.oom || args.b.oom) return api_fail(KVDMC_E_NOMEM, "cast_set_uri: out of memory");
    return op.call1(SVC_AV_TRANSPORT, "SetAVTransportURI", args.str());
}

// How renderers refuse metadata they will not take (a MIME type, a profile, an element
// they do not know, or metadata at all): "illegal MIME-type", "resource not found",
// "invalid args", "action failed". Another form of the metadata may suit them.
static bool refuses_metadata(int upnp) {
    return upnp == 714 || upnp == 716 || upnp == 402 || upnp == 501;
}

// The form a renderer took is where its next cast starts; the configured form is never
// skipped back over.
static int first_form(const renderer_op &op, bool learning) {
    int form = cfg_read(g_cfg.cast_metadata);
    int learned = op.d.learned.meta_form - 1;
    return learning && learned > form && learned <= CAST_META_NONE ? learned : form;
}

static void learn_form(const device_t &d, int form) {
    plat_guard g(&g_lock);
    device_t *row = device_find(d.udn_key);
    // A row read again meanwhile (a new LOCATION) starts afresh.
    if (row && strcmp(row->location, d.location) == 0) row->learned.meta_form = (int8_t)(form + 1);
}

static int cast_set_uri(const char *udn, const char *url, const char *mime, const char *title) {
    if (!url || !*url) return api_fail(KVDMC_E_ARG, "cast_set_uri: null url");
    renderer_op op;
    if (int rc = op.open(udn, gate::allowed)) return rc;
    const char *host_url = url;
    // What goes to the renderer is valid text: a host's URL with spaces or Latin-1 bytes
    // is percent-encoded (the same resource), and a title that is not UTF-8 gets U+FFFD.
    sbuf_scoped clean_url, clean_title;
    sb_url(&clean_url, url, strlen(url));
    sb_utf8(&clean_title, title);
    if (clean_url.b.oom || clean_title.b.oom) return api_fail(KVDMC_E_NOMEM, "cast_set_uri: out of memory");
    url = clean_url.str();
    title = clean_title.str();
    if (!*url) return api_fail(KVDMC_E_ARG, "cast_set_uri: null url");
    if (!mime || !*mime) mime = "video/mp4";
    const cast_texts t = {url, host_url, mime, title};

    bool retry = cfg_read(g_cfg.cast_retry) != 0;
    int form = first_form(op, retry);
    int rc = set_uri_form(op, form, t);
    // A renderer still holding what it played before takes the new URI once stopped.
    if (rc && retry && (op.upnp == UPNP_TRANSPORT_LOCKED || op.upnp == UPNP_TRANSITION_NOT_AVAILABLE)) {
        op.call1(SVC_AV_TRANSPORT, "Stop", INSTANCE_ARGS); // "nothing to stop" is no reason to give up
        rc = set_uri_form(op, form, t);
    }
    if (!rc || !retry || !refuses_metadata(op.upnp)) return rc;
    // Refused for its metadata: the plainer forms in turn. Only the first refusal tells
    // the host anything, so it is what a renderer refusing every form leaves.
    char first[CAST_ERRN];
    str_copy(first, sizeof first, op.err);
    int first_rc = rc;
    while (rc && refuses_metadata(op.upnp) && form < CAST_META_NONE) rc = set_uri_form(op, ++form, t);
    if (rc) return report(first_rc, first);
    learn_form(op.d, form);
    api_ok(0);
    return 0;
}

// Play refused with "transition not available" while the renderer is still taking in
// a new URI (TRANSITIONING, for a few hundred milliseconds): waits for it to leave that
// state, then plays once more. Any other refusal stands.
static int play_after_transition(renderer_op &op, int rc) {
    char first[CAST_ERRN];
    str_copy(first, sizeof first, op.err);
    char state[CAST_VALUE_CAP] = "";
    if (op.call1(SVC_AV_TRANSPORT, "GetTransportInfo", INSTANCE_ARGS, "CurrentTransportState", state,
                 sizeof state) != 0 ||
        strcmp(state, "TRANSITIONING") != 0)
        return report(rc, first);
    // Bounded by count as well as time: a clock that sleeps short (wine's) must not
    // turn the wait into more requests than the renderer was promised.
    uint64_t until = plat_now_ms() + CAST_TRANSITION_WAIT_MS;
    for (int polls = 0; polls < CAST_TRANSITION_WAIT_MS / CAST_TRANSITION_POLL_MS && plat_now_ms() < until;
         ++polls) {
        plat_sleep_ms(CAST_TRANSITION_POLL_MS);
        if (op.call1(SVC_AV_TRANSPORT, "GetTransportInfo", INSTANCE_ARGS, "CurrentTransportState", state,
                     sizeof state) == 0 &&
            strcmp(state, "TRANSITIONING") != 0)
            break;
    }
    return op.call1(SVC_AV_TRANSPORT, "Play", INSTANCE_ARGS_SPEED);
}

// Stop refused with "transition not available" by a renderer that has nothing to stop:
// it already is where the caller wants it. Any other refusal, or a state that cannot
// be read, leaves the renderer's answer as it was.
static int stop_when_idle(renderer_op &op, int rc) {
    char first[CAST_ERRN];
    str_copy(first, sizeof first, op.err);
    char state[CAST_VALUE_CAP] = "";
    if (op.call1(SVC_AV_TRANSPORT, "GetTransportInfo", INSTANCE_ARGS, "CurrentTransportState", state,
                 sizeof state) != 0 ||
        (strcmp(state, "STOPPED") != 0 && strcmp(state, "NO_MEDIA_PRESENT") != 0))
        return report(rc, first);
    api_ok(0);
    return 0;
}

static int cast_simple(const char *udn, const char *action, const char *extra) {
    renderer_op op;
    if (int rc = op.open(udn, gate::allowed)) return rc;
    char args[CAST_ARGS_CAP];
    str_fmt(args, sizeof args, "%s%s", INSTANCE_ARGS, extra ? extra : "");
    int rc = op.call1(SVC_AV_TRANSPORT, action, args);
    if (rc && op.upnp == UPNP_TRANSITION_NOT_AVAILABLE && cfg_read(g_cfg.cast_retry) &&
        strcmp(action, "Play") == 0)
        return play_after_transition(op, rc);
    if (rc && op.upnp == UPNP_TRANSITION_NOT_AVAILABLE && strcmp(action, "Stop") == 0)
        return stop_when_idle(op, rc);
    return rc;
}

// UPnP's answer to a seek in a unit the renderer does not have.
static constexpr int UPNP_SEEK_MODE_NOT_SUPPORTED = 710;

// The unit to seek in: the one that worked before, else REL_TIME when the renderer's
// AVTransport description lists it or lists nothing usable, else ABS_TIME.
static int seek_unit(renderer_op &op) {
    if (op.d.learned.seek_mode) return op.d.learned.seek_mode;
    char frag[SOAP_FRAG_CAP];
    pick_frag(&op.d, SVC_AV_TRANSPORT, frag, sizeof frag);
    service_desc_avt(&op.d, frag);
    int modes = op.d.learned.seek_modes;
    return !modes || (modes & SEEK_REL_TIME) || !(modes & SEEK_ABS_TIME) ? SEEK_REL_TIME : SEEK_ABS_TIME;
}

static void learn_seek_unit(const device_t &d, int unit) {
    plat_guard g(&g_lock);
    device_t *row = device_find(d.udn_key);
    if (row && strcmp(row->location, d.location) == 0) row->learned.seek_mode = (int8_t)unit;
}

static int seek_in(renderer_op &op, int unit, int seconds) {
    char args[CAST_ARGS_CAP];
    str_fmt(args, sizeof args, "%s<Unit>%s</Unit><Target>%d:%02d:%02d</Target>", INSTANCE_ARGS,
            unit == SEEK_ABS_TIME ? "ABS_TIME" : "REL_TIME", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return op.call1(SVC_AV_TRANSPORT, "Seek", args);
}

static int cast_seek(const char *udn, int seconds) {
    if (seconds < 0) return api_fail(KVDMC_E_ARG, "cast_seek: negative time");
    renderer_op op;
    if (int rc = op.open(udn, gate::allowed)) return rc;
    int unit = seek_unit(op);
    int rc = seek_in(op, unit, seconds);
    // A renderer without REL_TIME that did not say so takes the same target as ABS_TIME.
    if (rc && unit == SEEK_REL_TIME && op.upnp == UPNP_SEEK_MODE_NOT_SUPPORTED) {
        char first[CAST_ERRN];
        str_copy(first, sizeof first, op.err);
        if (seek_in(op, SEEK_ABS_TIME, seconds) != 0) return report(rc, first);
        unit = SEEK_ABS_TIME;
        rc = 0;
        api_ok(0);
    }
    if (!rc && unit != op.d.learned.seek_mode) learn_seek_unit(op.d, unit);
    return rc;
}

int cast_transport_state(const char *udn, char *out, size_t n) {
    api_enter();
    if (n) out[0] = 0;
    if (!udn) return api_fail(KVDMC_E_ARG, "cast_state: null udn");
    renderer_op op;
    if (int rc = op.open(udn, gate::known)) return rc;
    return op.call1(SVC_AV_TRANSPORT, "GetTransportInfo", INSTANCE_ARGS, "CurrentTransportState", out, n);
}

static int cast_state(const char *udn) {
    char out[CAST_ARGS_CAP] = "";
    if (int rc = cast_transport_state(udn, out, sizeof out)) return rc;

    static const struct {
        const char *name;
        int state;
    } states[] = {{"STOPPED", KVDMC_STATE_STOPPED},         {"PAUSED_PLAYBACK", KVDMC_STATE_PAUSED},
                  {"PAUSED_RECORDING", KVDMC_STATE_PAUSED}, {"NO_MEDIA_PRESENT", KVDMC_STATE_PAUSED},
                  {"VENDOR_DEFINED", KVDMC_STATE_PAUSED},   {"PLAYING", KVDMC_STATE_PLAYING},
                  {"RECORDING", KVDMC_STATE_PLAYING},       {"TRANSITIONING", KVDMC_STATE_PLAYING}};
    for (const auto &s : states)
        if (strcmp(out, s.name) == 0) return s.state;
    return api_fail(KVDMC_E_PARSE, "cast_state: unknown TransportState '%s'", out);
}

// UPnP's value for a time the renderer does not know.
static bool unknown_time(const char *t) {
    size_t n = strlen(t);
    ws_trim(&t, &n);
    return n == 0 || ieq_span(t, n, "NOT_IMPLEMENTED");
}

static int cast_position(const char *udn, int *pos_s, int *dur_s) {
    if (!pos_s || !dur_s) return api_fail(KVDMC_E_ARG, "cast_position: null out");
    *pos_s = 0;
    *dur_s = 0;
    renderer_op op;
    if (int rc = op.open(udn, gate::known)) return rc;

    // Both values from one response, so they describe the same moment.
    char rel[CAST_VALUE_CAP] = "", dur[CAST_VALUE_CAP] = "";
    soap_out outs[2] = {{"RelTime", rel, sizeof rel, nullptr, 0},
                        {"TrackDuration", dur, sizeof dur, nullptr, 0}};
    if (int rc = op.call(SVC_AV_TRANSPORT, "GetPositionInfo", INSTANCE_ARGS, outs, 2)) return rc;
    // Radio, line-in and live streams have no position or length the renderer knows.
    for (char *t : {rel, dur})
        if (unknown_time(t)) t[0] = 0;
    if (hms_to_s(rel, pos_s)) return api_fail(KVDMC_E_PARSE, "cast_position: bad RelTime '%s'", rel);
    if (hms_to_s(dur, dur_s)) return api_fail(KVDMC_E_PARSE, "cast_position: bad TrackDuration '%s'", dur);
    return 0;
}

namespace {

// Volume and mute are one exchange on RenderingControl: a read with Get<name> /
// Current<name>, or a write with Set<name> / Desired<name>.
struct rc_control {
    const char *name;
    int (*value_of)(const char *text); // what a read returns for the renderer's text
    int max;                           // a write above it is refused when range_err is set, else cut to it
    const char *range_err;
};

} // namespace

static int volume_of(const char *text) {
    // A negative reading would look like one of the failure codes to the host.
    int vol = (int)leading_int(text, INT_MAX);
    return vol < 0 ? 0 : vol;
}

// A boolean as UPnP writes it, in any letter case (renderers answer "True"); anything
// else reads as false.
static int mute_of(const char *text) {
    size_t n = strlen(text);
    ws_trim(&text, &n);
    for (const char *yes : {"1", "true", "yes"})
        if (ieq_span(text, n, yes)) return 1;
    return 0;
}

static constexpr rc_control VOLUME = {"Volume", volume_of, 100, "cast_volume: volume must be 0..100"};
static constexpr rc_control MUTE = {"Mute", mute_of, 1, nullptr};

// A renderer whose Volume runs over another range than 0..100 (its RenderingControl
// description says so) has the host's 0..100 mapped linearly onto it, both ways.
static bool volume_range(renderer_op &op, int64_t *lo, int64_t *hi) {
    char frag[SOAP_FRAG_CAP];
    pick_frag(&op.d, SVC_RENDERING_CONTROL, frag, sizeof frag);
    service_desc_rc(&op.d, frag);
    *lo = op.d.learned.vol_min;
    *hi = op.d.learned.vol_max;
    return op.d.learned.vol_range && *lo < *hi;
}

static int64_t volume_to_raw(int64_t v, int64_t lo, int64_t hi) {
    return lo + (v * (hi - lo) + 50) / 100;
}

static int volume_from_raw(const char *text, int64_t lo, int64_t hi) {
    int64_t raw = 0;
    const char *p = text;
    read_int(&p, nullptr, INT64_C(1) << 40, &raw);
    if (raw <= lo) return 0;
    int64_t v = ((raw - lo) * 100 + (hi - lo) / 2) / (hi - lo);
    return v > 100 ? 100 : (int)v;
}

// set negative: the current value; otherwise writes it and returns 0. The device
// lookup comes first for both, the allow-list only before a write.
static int cast_control(const rc_control &c, const char *udn, int set) {
    renderer_op op;
    if (int rc = op.open(udn, gate::known)) return rc;
    char action[16], arg[24];
    int64_t lo = 0, hi = 0;
    if (set < 0) {
        bool ranged = &c == &VOLUME && volume_range(op, &lo, &hi);
        char out[CAST_VALUE_CAP] = "";
        str_fmt(action, sizeof action, "Get%s", c.name);
        str_fmt(arg, sizeof arg, "Current%s", c.name);
        if (int rc = op.call1(SVC_RENDERING_CONTROL, action, CHANNEL_ARGS, arg, out, sizeof out)) return rc;
        return ranged ? volume_from_raw(out, lo, hi) : c.value_of(out);
    }
    if (set > c.max) {
        if (c.range_err) return api_fail(KVDMC_E_ARG, "%s", c.range_err);
        set = c.max;
    }
    if (int rc = op.open(udn, gate::allowed)) return rc;
    bool ranged = &c == &VOLUME && volume_range(op, &lo, &hi);
    char args[CAST_ARGS_CAP];
    str_fmt(action, sizeof action, "Set%s", c.name);
    str_fmt(args, sizeof args, "%s<Desired%s>%lld</Desired%s>", CHANNEL_ARGS, c.name,
            (long long)(ranged ? volume_to_raw(set, lo, hi) : set), c.name);
    return op.call1(SVC_RENDERING_CONTROL, action, args);
}

// ---- sink capability check ----

static int sink_check(const char *udn, const char *mime) {
    if (!mime || !*mime) return api_fail(KVDMC_E_ARG, "sink_check: null mime");
    renderer_op op;
    if (int rc = op.open(udn, gate::known)) return rc;

    // The whole list, however long: a list cut inside an entry could match a
    // format the renderer does not have.
    sbuf_scoped sink;
    char unused[1];
    soap_out o = {"Sink", unused, sizeof unused, &sink.b, 0};
    if (int rc = op.call(SVC_CONNECTION_MANAGER, "GetProtocolInfo", "", &o, 1)) return rc;
    if (sink.b.oom) return api_fail(KVDMC_E_NOMEM, "sink_check: out of memory");
    remember_sink(op.d.udn_key, sink.str());
    return sink_match(sink.str(), mime) || sink_match_alias(sink.str(), mime);
}

// ---- exported ----

extern "C" {

KVDMC_API int kvdmc_cast_allow(const char *udn) {
    api_enter();
    return cast_allow(udn);
}

KVDMC_API void kvdmc_cast_clear(void) {
    api_enter();
    cast_clear();
}

KVDMC_API int kvdmc_cast_allowed(const char *udn) {
    api_enter();
    return cast_allowed(udn);
}

KVDMC_API int kvdmc_cast_set_uri(const char *udn, const char *url, const char *mime, const char *title) {
    api_enter();
    return cast_set_uri(udn, url, mime, title);
}

KVDMC_API int kvdmc_cast_play(const char *udn) {
    api_enter();
    return cast_simple(udn, "Play", "<Speed>1</Speed>");
}

KVDMC_API int kvdmc_cast_pause(const char *udn) {
    api_enter();
    return cast_simple(udn, "Pause", nullptr);
}

KVDMC_API int kvdmc_cast_stop(const char *udn) {
    api_enter();
    return cast_simple(udn, "Stop", nullptr);
}

KVDMC_API int kvdmc_cast_seek(const char *udn, int seconds) {
    api_enter();
    return cast_seek(udn, seconds);
}

KVDMC_API int kvdmc_cast_state(const char *udn) {
    api_enter();
    return cast_state(udn);
}

KVDMC_API int kvdmc_cast_position(const char *udn, int *pos_s, int *dur_s) {
    api_enter();
    return cast_position(udn, pos_s, dur_s);
}

KVDMC_API int kvdmc_cast_volume(const char *udn, int set) {
    api_enter();
    return cast_control(VOLUME, udn, set);
}

KVDMC_API int kvdmc_cast_mute(const char *udn, int set) {
    api_enter();
    return cast_control(MUTE, udn, set);
}

KVDMC_API int kvdmc_sink_check(const char *udn, const char *mime) {
    api_enter();
    return sink_check(udn, mime);
}

} // extern "C"
