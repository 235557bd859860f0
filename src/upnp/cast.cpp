// Casting: allow-list, renderer transport control and the sink capability check.
#include "upnp/cast.h"

#include <limits.h>
#include <stddef.h>
#include <string.h>

#include "base/exports.h"
#include "base/protocol.h"
#include "upnp/soap.h"
#include "base/readers/textread.h"
#include "base/util.h"

char g_allow[CAST_ALLOW_MAX][DEVICE_KEY_CAP];
int g_nallow;

// ---- allow-list ----

// Caller holds g_lock.
static bool allow_has(const char *key) {
    for (int i = 0; i < g_nallow; i++)
        if (strcmp(g_allow[i], key) == 0) return true;
    return false;
}

int cast_allow(const char *udn) {
    if (!udn) {
        set_err("cast_allow: null udn");
        return KVDMC_E_ARG;
    }
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    if (!key[0]) {
        set_err("cast_allow: empty udn");
        return KVDMC_E_ARG;
    }
    {
        plat_guard g(&g_lock);
        if (allow_has(key)) return 0;
        if (g_nallow < CAST_ALLOW_MAX) {
            str_copy(g_allow[g_nallow++], DEVICE_KEY_CAP, key);
            return 0;
        }
    }
    set_err("allow-list full");
    return KVDMC_E_CAP;
}

void cast_clear(void) {
    plat_guard g(&g_lock);
    g_nallow = 0;
}

int cast_allowed(const char *udn) {
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
    out->kind = row->kind;
    int n = row->nsvc < 0 ? 0 : row->nsvc > DEVICE_MAX_SVC ? DEVICE_MAX_SVC : row->nsvc;
    memcpy(out->svc, row->svc, sizeof(device_service) * (size_t)n);
    out->nsvc = n;
    out->desc_ok = row->desc_ok;
}

static int lookup_fail(char *err, int code, const char *fmt, const char *udn) {
    str_fmt(err, CAST_ERRN, fmt, udn);
    return code;
}

int guarded(const char *udn, device_t *out, char *err) {
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

int dev_of(const char *udn, device_t *out, char *err) {
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

int call_avt(const device_t *d, const char *action, const char *args, char *out, size_t outn,
             const char *want, int *upnp, char *err) {
    char frag[SOAP_FRAG_CAP];
    pick_frag(d, SVC_AV_TRANSPORT, frag, sizeof frag);
    return soap_action_arg(d, frag, action, args, want, out, outn, upnp, err, CAST_ERRN);
}

int call_rc(const device_t *d, const char *action, const char *args, char *out, const char *want, int *upnp,
            char *err) {
    char frag[SOAP_FRAG_CAP];
    pick_frag(d, SVC_RENDERING_CONTROL, frag, sizeof frag);
    return soap_action_arg(d, frag, action, args, want, out, CAST_VALUE_CAP, upnp, err, CAST_ERRN);
}

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

// ---- transport control ----

// The metadata document: title, MIME type and URL are escaped for it, and the whole
// document is escaped again as the SOAP argument, so after the renderer's one decode
// it is well-formed DIDL-Lite whose texts decode to the original ones.
static void cast_metadata(sbuf *b, const char *url, const char *mime, const char *title) {
    sb_printf(b,
              "<DIDL-Lite xmlns=\"%s\" xmlns:dc=\"%s\" xmlns:upnp=\"%s\"><item id=\"\" parentID=\"\" "
              "restricted=\"1\">",
              DIDL_NS, DC_NS, UPNP_NS);
    if (title && *title) {
        sb_puts(b, "<dc:title>");
        sb_xml(b, title);
        sb_puts(b, "</dc:title>");
    }
    sb_puts(b, "<res protocolInfo=\"http-get:*:");
    sb_xml(b, mime && *mime ? mime : "video/mp4");
    sb_puts(b, ":*\">");
    sb_xml(b, url);
    sb_puts(b, "</res><upnp:class>object.item.videoItem</upnp:class></item></DIDL-Lite>");
}

int cast_set_uri(const char *udn, const char *url, const char *mime, const char *title) {
    if (!url || !*url) return api_fail(KVDMC_E_ARG, "cast_set_uri: null url");
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = guarded(udn, &d, err)) return api_fail(rc, "%s", err);

    // Built whole rather than cut to a fixed buffer: a cut would send the
    // renderer a truncated URL inside malformed XML.
    sbuf_scoped meta, args;
    cast_metadata(&meta, url, mime, title);
    sb_puts(&args, "<InstanceID>0</InstanceID><CurrentURI>");
    sb_xml(&args, url); // media URLs often carry '&'
    sb_puts(&args, "</CurrentURI><CurrentURIMetaData>");
    sb_xml(&args, meta.str());
    sb_puts(&args, "</CurrentURIMetaData>");
    if (meta.b.oom || args.b.oom) return api_fail(KVDMC_E_NOMEM, "cast_set_uri: out of memory");

    char out[CAST_ARGS_CAP];
    int upnp = 0;
    if (int rc = call_avt(&d, "SetAVTransportURI", args.str(), out, sizeof out, "", &upnp, err))
        return api_fail(rc, "%s", err);
    return 0;
}

int cast_simple(const char *udn, const char *action, const char *extra) {
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = guarded(udn, &d, err)) return api_fail(rc, "%s", err);
    char args[CAST_ARGS_CAP], out[256];
    str_fmt(args, sizeof args, "<InstanceID>0</InstanceID>%s", extra ? extra : "");
    int upnp = 0;
    if (int rc = call_avt(&d, action, args, out, sizeof out, "", &upnp, err)) return api_fail(rc, "%s", err);
    return 0;
}

int cast_seek(const char *udn, int seconds) {
    if (seconds < 0) {
        set_err("cast_seek: negative time");
        return KVDMC_E_ARG;
    }
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = guarded(udn, &d, err)) return api_fail(rc, "%s", err);
    char args[CAST_ARGS_CAP], out[256];
    str_fmt(args, sizeof args, "<InstanceID>0</InstanceID><Unit>REL_TIME</Unit><Target>%d:%02d:%02d</Target>",
            seconds / 3600, seconds / 60 % 60, seconds % 60);
    int upnp = 0;
    if (int rc = call_avt(&d, "Seek", args, out, sizeof out, "", &upnp, err)) return api_fail(rc, "%s", err);
    return 0;
}

int cast_transport_state(const char *udn, char *out, size_t n) {
    api_enter();
    if (n) out[0] = 0;
    if (!udn) {
        set_err("cast_state: null udn");
        return KVDMC_E_ARG;
    }
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = dev_of(udn, &d, err)) return api_fail(rc, "%s", err);
    int upnp = 0;
    if (int rc = call_avt(&d, "GetTransportInfo", "<InstanceID>0</InstanceID>", out, n,
                          "CurrentTransportState", &upnp, err))
        return api_fail(rc, "%s", err);
    return 0;
}

int cast_state(const char *udn) {
    char out[CAST_ARGS_CAP] = "";
    if (int rc = cast_transport_state(udn, out, sizeof out)) return rc;

    static const struct {
        const char *name;
        int state;
    } states[] = {{"STOPPED", 0},          {"PAUSED_PLAYBACK", 1}, {"PAUSED_RECORDING", 1},
                  {"NO_MEDIA_PRESENT", 1}, {"VENDOR_DEFINED", 1},  {"PLAYING", 2},
                  {"RECORDING", 2},        {"TRANSITIONING", 2}};
    for (const auto &s : states)
        if (strcmp(out, s.name) == 0) return s.state;
    return api_fail(KVDMC_E_PARSE, "cast_state: unknown TransportState '%s'", out);
}

int cast_position(const char *udn, int *pos_s, int *dur_s) {
    if (!pos_s || !dur_s) {
        set_err("cast_position: null out");
        return KVDMC_E_ARG;
    }
    *pos_s = 0;
    *dur_s = 0;
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = dev_of(udn, &d, err)) return api_fail(rc, "%s", err);

    // Both values from one response, so they describe the same moment.
    char rel[CAST_VALUE_CAP] = "", dur[CAST_VALUE_CAP] = "";
    soap_out outs[2] = {{"RelTime", rel, sizeof rel, nullptr, 0},
                        {"TrackDuration", dur, sizeof dur, nullptr, 0}};
    char frag[SOAP_FRAG_CAP];
    pick_frag(&d, SVC_AV_TRANSPORT, frag, sizeof frag);
    int upnp = 0;
    if (int rc = soap_action_args(&d, frag, "GetPositionInfo", "<InstanceID>0</InstanceID>", outs, 2, &upnp,
                                  err, CAST_ERRN))
        return api_fail(rc, "%s", err);
    if (hms_to_s(rel, pos_s)) return api_fail(KVDMC_E_PARSE, "cast_position: bad RelTime '%s'", rel);
    if (hms_to_s(dur, dur_s)) return api_fail(KVDMC_E_PARSE, "cast_position: bad TrackDuration '%s'", dur);
    return 0;
}

static const char CHANNEL_ARGS[] = "<InstanceID>0</InstanceID><Channel>Master</Channel>";

int cast_volume(const char *udn, int set) {
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = dev_of(udn, &d, err)) return api_fail(rc, "%s", err);
    char out[CAST_VALUE_CAP] = "";
    int upnp = 0;
    if (set < 0) {
        if (int rc = call_rc(&d, "GetVolume", CHANNEL_ARGS, out, "CurrentVolume", &upnp, err))
            return api_fail(rc, "%s", err);
        // A negative reading would look like one of the failure codes to the host.
        int vol = (int)leading_int(out, INT_MAX);
        return vol < 0 ? 0 : vol;
    }
    if (set > 100) {
        set_err("cast_volume: volume must be 0..100");
        return KVDMC_E_ARG;
    }
    if (int rc = guarded(udn, &d, err)) return api_fail(rc, "%s", err);
    char args[CAST_ARGS_CAP];
    str_fmt(args, sizeof args, "%s<DesiredVolume>%d</DesiredVolume>", CHANNEL_ARGS, set);
    if (int rc = call_rc(&d, "SetVolume", args, out, "", &upnp, err)) return api_fail(rc, "%s", err);
    return 0;
}

int cast_mute(const char *udn, int set) {
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = dev_of(udn, &d, err)) return api_fail(rc, "%s", err);
    char out[CAST_VALUE_CAP] = "";
    int upnp = 0;
    if (set < 0) {
        if (int rc = call_rc(&d, "GetMute", CHANNEL_ARGS, out, "CurrentMute", &upnp, err))
            return api_fail(rc, "%s", err);
        return strcmp(out, "1") == 0 || strcmp(out, "true") == 0 ? 1 : 0;
    }
    if (int rc = guarded(udn, &d, err)) return api_fail(rc, "%s", err);
    char args[CAST_ARGS_CAP];
    str_fmt(args, sizeof args, "%s<DesiredMute>%s</DesiredMute>", CHANNEL_ARGS, set ? "1" : "0");
    if (int rc = call_rc(&d, "SetMute", args, out, "", &upnp, err)) return api_fail(rc, "%s", err);
    return 0;
}

// ---- sink capability check ----

int sink_check(const char *udn, const char *mime) {
    if (!mime || !*mime) {
        set_err("sink_check: null mime");
        return KVDMC_E_ARG;
    }
    char err[CAST_ERRN] = "";
    device_t d;
    if (int rc = dev_of(udn, &d, err)) return api_fail(rc, "%s", err);

    // The whole list, however long: a list cut inside an entry could match a
    // format the renderer does not have.
    sbuf_scoped sink;
    char unused[1];
    soap_out o = {"Sink", unused, sizeof unused, &sink.b, 0};
    char frag[SOAP_FRAG_CAP];
    pick_frag(&d, SVC_CONNECTION_MANAGER, frag, sizeof frag);
    int upnp = 0;
    if (int rc = soap_action_args(&d, frag, "GetProtocolInfo", "", &o, 1, &upnp, err, CAST_ERRN))
        return api_fail(rc, "%s", err);
    if (sink.b.oom) return api_fail(KVDMC_E_NOMEM, "sink_check: out of memory");
    return sink_match(sink.str(), mime);
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
    return cast_volume(udn, set);
}

KVDMC_API int kvdmc_cast_mute(const char *udn, int set) {
    api_enter();
    return cast_mute(udn, set);
}

KVDMC_API int kvdmc_sink_check(const char *udn, const char *mime) {
    api_enter();
    return sink_check(udn, mime);
}

} // extern "C"
