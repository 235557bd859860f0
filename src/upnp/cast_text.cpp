// Casting's renderer texts: times, transport states, volume and mute as renderers
// write them, and the names devices give one format (the Sink list check, the format
// aliases and the memo of each renderer's Sink list).
#include "upnp/cast_int.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "base/capacity.h"
#include "base/exports.h"
#include "base/readers/textread.h"
#include "base/text.h"
#include "upnp/cast.h"

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

bool transport_state_of(const char *name, int *state) {
    static const struct {
        const char *name;
        int state;
    } states[] = {{"STOPPED", KVDMC_STATE_STOPPED},         {"PAUSED_PLAYBACK", KVDMC_STATE_PAUSED},
                  {"PAUSED_RECORDING", KVDMC_STATE_PAUSED}, {"NO_MEDIA_PRESENT", KVDMC_STATE_PAUSED},
                  {"VENDOR_DEFINED", KVDMC_STATE_PAUSED},   {"PLAYING", KVDMC_STATE_PLAYING},
                  {"RECORDING", KVDMC_STATE_PLAYING},       {"TRANSITIONING", KVDMC_STATE_PLAYING}};
    for (const auto &s : states)
        if (strcmp(name, s.name) == 0) return *state = s.state, true;
    return false;
}

bool unknown_time(const char *t) {
    size_t n = strlen(t);
    ws_trim(&t, &n);
    return n == 0 || str_ieq_span(t, n, "NOT_IMPLEMENTED");
}

int volume_of(const char *text) {
    // A negative reading would look like one of the failure codes to the host.
    int vol = (int)leading_int(text, INT_MAX);
    return vol < 0 ? 0 : vol;
}

// A boolean as UPnP writes it, in any letter case (renderers answer "True"); anything
// else reads as false.
int mute_of(const char *text) {
    size_t n = strlen(text);
    ws_trim(&text, &n);
    for (const char *yes : {"1", "true", "yes"})
        if (str_ieq_span(text, n, yes)) return 1;
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

// The group of names of a format, or null when it has no other name.
static const char *const *aliases_of(const char *f, size_t n) {
    for (const auto &g : FORMAT_ALIASES)
        for (const char *const *a = g; *a; a++)
            if (str_ieq_span(f, n, *a)) return g;
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
        if (str_ieq_span(mime + at, len, *a)) continue; // the asked name itself: the exact rule's
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

void remember_sink(const char *key, const char *sink) {
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

std::string renderer_name_for(const char *key, const char *mime) {
    std::string out = mime;
    plat_guard g(&g_lock);
    for (int i = 0; i < s_nsinks; i++)
        if (strcmp(s_sinks[i].key, key) == 0) {
            listed_name(s_sinks[i].sink.c_str(), mime, &out);
            break;
        }
    return out;
}
