// Pull reader on arbitrary bytes: every event must respect the reader's bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/sbuf.h"
#include "parse/xml.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// A fixed field holds a NUL within its capacity.
bool terminated(const char *field, size_t cap) {
    return memchr(field, 0, cap) != nullptr;
}

// One event of a trace: its kind, name or text, and depth.
std::string event_text(int ev, const char *s, size_t n, int depth) {
    return std::to_string(ev) + std::string(s, n) + "|" + std::to_string(depth);
}

// Reads x to its end as a trace of its events, then "$" or "!message@offset"; after each
// start tag, at_start may read on and append what it took. Closes x.
template <typename AtStart> std::string trace(xmlrd *x, size_t size, AtStart at_start) {
    std::string out;
    for (size_t guard = 0; guard <= size + 2; guard++) {
        const char *s;
        size_t n;
        int ev = xml_next(x, &s, &n);
        if (ev <= 0) {
            out +=
                ev == 0 ? "$" : "!" + std::string(xml_error(x)) + "@" + std::to_string(xml_error_offset(x));
            break;
        }
        out += event_text(ev, s, n, xml_depth(x));
        if (ev == XML_EV_START) at_start(out);
    }
    xml_close(x);
    return out;
}

// The elements, depths and verdict of a reading, with its texts when texts is set (else the
// reader passes them over). With whole set, each leaf is taken in one step where the reader
// allows it: passed over, or its text read with its end tag. Both ways must agree.
std::string reading(const char *doc, size_t size, bool texts, bool whole) {
    char err[256];
    xmlrd *x = xml_open(doc, size, err, sizeof err);
    if (!x) return "open";
    xml_set_skip_text(x, !texts);
    return trace(x, size, [&](std::string &out) {
        if (!whole) return;
        const char *t;
        size_t tn;
        if (!texts && xml_skip_leaf(x)) {
            out += event_text(XML_EV_END, xml_name(x, nullptr), strlen(xml_name(x, nullptr)), xml_depth(x));
        } else if (texts && xml_leaf_text(x, &t, &tn)) {
            if (tn) out += event_text(XML_EV_TEXT, t, tn, xml_depth(x) + 1);
            out += event_text(XML_EV_END, xml_name(x, nullptr), strlen(xml_name(x, nullptr)), xml_depth(x));
        }
    });
}

// The texts and events of a reading in which each element's text is taken whole where the
// reader allows it; with front, the first is decoded over the front of (a copy of) the
// document itself. Both ways must agree.
std::string taking(const char *doc, size_t size, bool front) {
    std::string own(doc, size);
    char err[256];
    xmlrd *x = xml_open(own.data(), size, err, sizeof err);
    if (!x) return "open";
    sbuf_scoped sb;
    bool used = false;
    return trace(x, size, [&](std::string &out) {
        size_t len = 0;
        if (front && !used) {
            if (xml_take_text_to_front(x, own.data(), &len) == 1) {
                used = true;
                out += "+" + std::string(own.data(), len);
            }
        } else {
            sb_reset(&sb.b);
            if (xml_take_text(x, &sb.b) == 1) out += "+" + std::string(sb.str(), sb.b.n);
        }
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char err[256];
    memset(err, 'x', sizeof err);
    const char *doc = reinterpret_cast<const char *>(data);
    check(reading(doc, size, false, true) == reading(doc, size, false, false));
    check(reading(doc, size, true, true) == reading(doc, size, true, false));
    check(taking(doc, size, true) == taking(doc, size, false));
    xmlrd *x = xml_open(doc, size, err, sizeof err);
    if (!x) {
        check(terminated(err, sizeof err) && err[0] != 0);
        return 0;
    }
    int prev_depth = 0;
    // Every event consumes input or finishes a CDATA section, so the count is bounded.
    for (size_t guard = 0; guard <= size + 2; guard++) {
        const char *s = nullptr;
        size_t n = SIZE_MAX;
        int ev = xml_next(x, &s, &n);
        check(ev >= -1 && ev <= 3);
        check(xml_offset(x) <= size);
        int d = xml_depth(x);
        if (ev <= 0) {
            if (ev < 0) check(terminated(xml_error(x), XML_ERR_CAP) && xml_error(x)[0] != 0);
            check(d == prev_depth);
            xml_close(x);
            return 0;
        }
        check(xml_event(x) == ev);
        check(s != nullptr && strlen(s) == n);
        check(d <= XML_MAX_DEPTH);
        if (ev == XML_EV_TEXT) {
            check(s == xml_text(x) && n < XML_TEXT_CAP && d == prev_depth);
            check(xml_attr(x, "a") == nullptr);
        } else {
            check(s == xml_name(x, nullptr) && n < XML_NAME_CAP && *xml_text(x) == 0);
        }
        if (ev == XML_EV_START) {
            check(n > 0 && (d == prev_depth + 1 || d == prev_depth));
            check(xml_attr_count(x) >= 0 && xml_attr_count(x) <= XML_MAX_ATTR);
            for (int i = 0; i < xml_attr_count(x); i++) {
                const xml_attr_t &a = xml_attrs(x)[i];
                // Names lie in the document; values too, unless decoded into their buffer.
                check(a.nlen > 0 && a.nlen < XML_ATTR_NAME_CAP && a.name >= doc &&
                      a.name + a.nlen <= doc + size);
                check(a.vlen < sizeof a.buf);
                check(a.val == a.buf ? terminated(a.buf, sizeof a.buf) && strlen(a.buf) == a.vlen
                                     : a.val >= doc && a.val + a.vlen <= doc + size);
                check(!memchr(a.name, 0, a.nlen) && !memchr(a.val, 0, a.vlen));
            }
            // A lookup answers with the first entry of that name, whole, as a C string.
            for (int i = 0; i < xml_attr_count(x); i++) {
                std::string name(xml_attrs(x)[i].name, xml_attrs(x)[i].nlen);
                int first = 0;
                while (xml_attrs(x)[first].nlen != name.size() ||
                       memcmp(xml_attrs(x)[first].name, name.data(), name.size()))
                    first++;
                std::string want(xml_attrs(x)[first].val, xml_attrs(x)[first].vlen);
                const char *got = xml_attr(x, name.c_str());
                check(got == xml_attrs(x)[first].buf && want == got);
            }
        }
        if (ev == XML_EV_END) check(d == prev_depth - 1);
        // Only stray end tags take the depth below zero.
        if (d < 0) check(ev == XML_EV_END || d == prev_depth || ev == XML_EV_START);
        prev_depth = d;
    }
    abort(); // more events than input bytes: the reader stopped advancing
}
