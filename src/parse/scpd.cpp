// Service descriptions: one state variable's allowed values and range, read with the
// pull reader from a document nobody vouches for.
#include "parse/scpd.h"

#include <string.h>

#include "base/readers/textread.h"
#include "base/text.h"
#include "parse/xml.h"

namespace {

// A name without its namespace prefix.
bool local_is(const char *name, size_t n, const char *want) {
    const char *colon = (const char *)memchr(name, ':', n);
    if (colon) {
        n -= (size_t)(colon + 1 - name);
        name = colon + 1;
    }
    return strlen(want) == n && memcmp(name, want, n) == 0;
}

// An integer bound written as the whole (trimmed) text; anything else is no bound.
bool read_bound(const char *t, size_t n, int64_t *out) {
    ws_trim(&t, &n);
    const char *p = t;
    return n && read_int(&p, t + n, INT64_C(1) << 40, out) && p == t + n;
}

void add_value(scpd_var *v, const char *t, size_t n) {
    ws_trim(&t, &n);
    size_t at = strlen(v->values);
    if (!n || at + n + 2 > sizeof v->values || memchr(t, '\n', n)) return;
    memcpy(v->values + at, t, n);
    v->values[at + n] = '\n';
    v->values[at + n + 1] = 0;
    v->nvalues++;
}

// The variable being read: its name and what it allows, kept until its end tag.
struct var_scan {
    char name[SCPD_NAME_CAP];
    scpd_var v;
};

void leaf(var_scan *s, const char *tag, size_t tn, const char *t, size_t n) {
    if (local_is(tag, tn, "name")) {
        ws_trim(&t, &n);
        str_copyn(s->name, sizeof s->name, t, n);
    } else if (local_is(tag, tn, "allowedValue")) {
        add_value(&s->v, t, n);
    } else if (local_is(tag, tn, "minimum")) {
        s->v.has_min = read_bound(t, n, &s->v.min);
    } else if (local_is(tag, tn, "maximum")) {
        s->v.has_max = read_bound(t, n, &s->v.max);
    }
}

} // namespace

int scpd_variable(const char *xml, size_t len, const char *name, scpd_var *out, char *err, size_t errn) {
    memset(out, 0, sizeof *out);
    xmlrd *x = xml ? xml_open(xml, len, err, errn) : nullptr;
    if (!x) {
        if (!xml) str_copy(err, errn, "empty service description");
        return -1;
    }
    var_scan *s = nullptr;
    var_scan scan;
    int found = 0, var_depth = 0;
    const char *tag;
    size_t tn;
    int ev;
    for (int before = xml_depth(x); !found && (ev = xml_next(x, &tag, &tn)) > 0; before = xml_depth(x)) {
        // A self-closing <stateVariable/> opens nothing (no end event follows): it is an
        // empty variable, and the scan must not take the ones after it for its content.
        if (ev == XML_EV_START && !s && local_is(tag, tn, "stateVariable") && xml_depth(x) == before)
            continue;
        if (ev == XML_EV_START && !s && local_is(tag, tn, "stateVariable")) {
            memset(&scan, 0, sizeof scan);
            s = &scan;
            var_depth = xml_depth(x);
        } else if (ev == XML_EV_START && s) {
            char t[XML_NAME_CAP];
            str_copyn(t, sizeof t, tag, tn);
            const char *text;
            size_t n;
            if (xml_leaf_text(x, &text, &n)) leaf(s, t, strlen(t), text, n);
        } else if (ev == XML_EV_END && s && xml_depth(x) < var_depth) {
            if (strcmp(s->name, name) == 0) {
                *out = s->v;
                found = 1;
            }
            s = nullptr;
        }
    }
    if (!found && ev == XML_EV_ERROR) {
        str_fmt(err, errn, "service description: %s", xml_error(x));
        xml_close(x);
        return -1;
    }
    xml_close(x);
    return found;
}

bool scpd_allows(const scpd_var &v, const char *value) {
    size_t n = strlen(value);
    for (const char *p = v.values; *p;) {
        const char *nl = strchr(p, '\n');
        if ((size_t)(nl - p) == n && memcmp(p, value, n) == 0) return true;
        p = nl + 1;
    }
    return false;
}
