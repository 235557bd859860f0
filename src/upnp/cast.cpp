// Casting's transport control: one renderer operation (a copy of the device row taken under
// the lock, through the allow-list when the action changes the renderer), the actions with
// their retries and fallbacks, the sink capability check and the exported operations.
#include "upnp/cast.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "base/config.h"
#include "base/escape.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/sbuf.h"
#include "base/text.h"
#include "upnp/cast_int.h"
#include "upnp/service_desc.h"
#include "upnp/soap.h"

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
    if (!cast_allow_has(key))
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

// SetAVTransportURI with CurrentURIMetaData of one form (a cast_meta).
static int set_uri_form(renderer_op &op, int form, const cast_texts &t) {
    // Built whole rather than cut to a fixed buffer: a cut would send the
    // renderer a truncated URL inside malformed XML.
    sbuf_scoped meta, args;
    build_metadata(&meta, form, op.d.udn_key, t);
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
    return api_ok(0);
}

// The renderer's CurrentTransportState into state: 0, or the failure's code.
static int transport_state(renderer_op &op, char (&state)[CAST_VALUE_CAP]) {
    return op.call1(SVC_AV_TRANSPORT, "GetTransportInfo", INSTANCE_ARGS, "CurrentTransportState", state,
                    sizeof state);
}

// Play refused with "transition not available" while the renderer is still taking in
// a new URI (TRANSITIONING, for a few hundred milliseconds): waits for it to leave that
// state, then plays once more. Any other refusal stands.
static int play_after_transition(renderer_op &op, int rc) {
    char first[CAST_ERRN];
    str_copy(first, sizeof first, op.err);
    char state[CAST_VALUE_CAP] = "";
    if (transport_state(op, state) != 0 || strcmp(state, "TRANSITIONING") != 0) return report(rc, first);
    // Bounded by count as well as time: a clock that sleeps short (wine's) must not
    // turn the wait into more requests than the renderer was promised.
    uint64_t until = plat_now_ms() + CAST_TRANSITION_WAIT_MS;
    for (int polls = 0; polls < CAST_TRANSITION_WAIT_MS / CAST_TRANSITION_POLL_MS && plat_now_ms() < until;
         ++polls) {
        plat_sleep_ms(CAST_TRANSITION_POLL_MS);
        if (transport_state(op, state) == 0 && strcmp(state, "TRANSITIONING") != 0) break;
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
    if (transport_state(op, state) != 0 ||
        (strcmp(state, "STOPPED") != 0 && strcmp(state, "NO_MEDIA_PRESENT") != 0))
        return report(rc, first);
    return api_ok(0);
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
    int state;
    if (transport_state_of(out, &state)) return state;
    return api_fail(KVDMC_E_PARSE, "cast_state: unknown TransportState '%s'", out);
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
