#include "parse/xml.h"

#include "base/copy_bytes.h"
#include "base/find_byte.h"
#include "base/readers/textread.h"
#include "base/sbuf.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

struct xmlrd {
    const char *begin; // the document
    const char *p;     // the cursor
    const char *end;
    int depth;
    char err[XML_ERR_CAP]; // after XML_EV_ERROR: what went wrong,
    xml_status status;     // its class,
    size_t err_at;         // and the byte offset in the document of the markup that failed
    int ev;
    char name[XML_NAME_CAP];
    size_t namelen; // strlen(name)
    char text[XML_TEXT_CAP];
    xml_attr_t attr[XML_MAX_ATTR];
    int nattr;
    // End of a CDATA section whose content did not fit one text event; its
    // remainder comes as further raw text events. Null otherwise.
    const char *cdata_end;
    bool skim;      // see xml_set_skim
    bool skip_text; // see xml_set_skip_text
};

// Failures, CDATA, comments and references in attribute values are rare: kept
// out of line, they leave the reader's hot path fewer registers to save.
#define XML_COLD __attribute__((noinline, cold))

namespace {

constexpr size_t TEXT_CAP = sizeof(xmlrd::text);
constexpr size_t NAME_CAP = sizeof(xmlrd::name);
constexpr size_t ATTR_NAME_CAP = XML_ATTR_NAME_CAP;
constexpr size_t ATTR_VAL_CAP = sizeof(xml_attr_t::buf);

// A reference is at most 13 input bytes and yields at least 1 output byte, so
// a text event never consumes more than 13 * TEXT_CAP input bytes: the search
// for the '<' that ends a run can stop well before that without changing what
// is delivered, which keeps a huge run split into many events linear.
constexpr size_t TEXT_WINDOW = XML_TEXT_WINDOW;
static_assert(TEXT_WINDOW > 13 * TEXT_CAP + 16, "window must cover one full text event");

constexpr auto s_ws = [] {
    struct {
        bool c[256];
    } t{};
    t.c[(uint8_t)' '] = t.c[(uint8_t)'\t'] = t.c[(uint8_t)'\n'] = t.c[(uint8_t)'\r'] = true;
    return t;
}();

inline bool is_ws(char c) {
    return s_ws.c[(uint8_t)c];
}

// Every white-space byte is at most a space: the common byte that ends a run is told
// apart without the table.
inline const char *skip_ws(const char *p, const char *end) {
    while (p < end && (uint8_t)*p <= ' ' && is_ws(*p)) p++;
    return p;
}
// The bytes that end an element or attribute name: all but letters, digits, '-', '.',
// ':', '_' and the bytes of multi-byte UTF-8 sequences.
constexpr auto k_name_end = all_but(bytes_of('_') | byte_range{'-', '.'} | byte_range{'0', ':'} |
                                    byte_range{'A', 'Z'} | byte_range{'a', 'z'} | byte_range{0x80, 0xFF});
constexpr auto k_text_end = bytes_of('<', '&');

// Element and attribute names are most of the bytes a tag holds besides its
// values, so they are measured 16 bytes at a time where the input allows.
inline const char *skip_name(const char *p, const char *end) {
    return byte_scan::find_first(p, end, k_name_end);
}

// First byte in [p, end) that is '<' or '&'; end if none. Text runs between
// tags are short, so one inline pass beats two library scans.
inline const char *scan_text(const char *p, const char *end) {
    return byte_scan::find_first(p, end, k_text_end);
}

// First byte in [p, end) that is the closing quote q, '<' or '&'; end if none.
// Attribute values are most of a DIDL page, so they are scanned 16 bytes at a time.
inline const char *scan_value(const char *p, const char *end, char q) {
    return byte_scan::find_first(p, end, bytes_of(q, '<', '&'));
}

// Copies len bytes from the document at src (which ends at end) to dst, which
// has room for cap bytes. Names, values and text runs vary in length from one
// copy to the next, so branching on the length mispredicts often; when 32
// bytes can be read and written, one fixed 32-byte move covers every short
// one (the bytes it puts past len are not part of the result).
inline void copy_doc(char *dst, size_t cap, const char *src, size_t len, const char *end) {
    if (len <= 32 && cap >= 32 && (size_t)(end - src) >= 32) {
        memcpy(dst, src, 32);
        return;
    }
    copy_bytes(dst, src, len);
}

// Copies what fits a buffer of cap bytes, cut on a UTF-8 boundary, and a NUL;
// returns the length kept. end: where the document ends, when src lies in it.
inline size_t copy_cut(char *dst, size_t cap, const char *src, size_t len, const char *end = nullptr) {
    if (len > cap - 1) len = utf8_cut(src, len, cap - 1);
    if (end)
        copy_doc(dst, cap, src, len, end);
    else
        copy_bytes(dst, src, len);
    dst[len] = 0;
    return len;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses the reference that starts at the '&' in s (input ends at e). On
// success stores the code point and the byte after the ';'.
bool parse_ref(const char *s, const char *e, uint32_t *cp, const char **after) {
    // The five named references are nearly all there is: matched whole
    // (';' included, so it is the first ';' the general path would find),
    // they need no search.
    size_t avail = (size_t)(e - s);
    if (avail >= 4 && s[2] == 't' && s[3] == ';' && (s[1] == 'l' || s[1] == 'g')) {
        *cp = s[1] == 'l' ? '<' : '>';
        *after = s + 4;
        return true;
    }
    if (avail >= 5 && !memcmp(s + 1, "amp;", 4)) {
        *cp = '&';
        *after = s + 5;
        return true;
    }
    if (avail >= 6 && (!memcmp(s + 1, "quot;", 5) || !memcmp(s + 1, "apos;", 5))) {
        *cp = s[1] == 'q' ? '"' : '\'';
        *after = s + 6;
        return true;
    }
    size_t lim = avail < 13 ? avail : 13;
    if (lim < 2) return false;
    const char *semi = (const char *)memchr(s + 1, ';', lim - 1);
    if (!semi) return false;
    const char *b = s + 1;
    size_t n = (size_t)(semi - b);
    *after = semi + 1;
    // The five named references were matched whole above: only a character
    // reference remains.
    if (n < 2 || b[0] != '#') return false;
    const char *d = b + 1;
    int base = 10;
    if (*d == 'x' || *d == 'X') {
        base = 16;
        d++;
    }
    if (d == semi) return false;
    uint32_t v = 0;
    for (; d < semi; d++) {
        int dv = base == 16 ? hex_digit(*d) : (*d >= '0' && *d <= '9' ? *d - '0' : -1);
        if (dv < 0) return false;
        v = v * (uint32_t)base + (uint32_t)dv;
        if (v > 0x10FFFF) return false;
    }
    if (v == 0 || (v >= 0xD800 && v <= 0xDFFF)) return false;
    if (v < 0x20 && v != 0x09 && v != 0x0A && v != 0x0D) return false;
    *cp = v;
    return true;
}

inline size_t put_utf8(char *o, uint32_t cp) {
    if (cp < 0x80) {
        o[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        o[0] = (char)(0xC0 | (cp >> 6));
        o[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        o[0] = (char)(0xE0 | (cp >> 12));
        o[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    o[0] = (char)(0xF0 | (cp >> 18));
    o[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// The '&' at *s: a reference to one of the five named entities or to a character
// when it is one, and otherwise the character '&' itself (cheap firmware writes a bare
// '&' in names, and "&bogus;" stays as written). No other entity is ever expanded.
// Writes it to o as UTF-8 and moves *s past it; returns the bytes written, never more
// than were read.
inline size_t put_ref(const char **s, const char *e, char *o) {
    uint32_t cp;
    const char *after;
    if (!parse_ref(*s, e, &cp, &after)) {
        cp = '&';
        after = *s + 1;
    }
    *s = after;
    return put_utf8(o, cp);
}

enum dec_result { DEC_ALL, DEC_FULL };

// Decodes [s, e) into out (cap bytes, NUL included). A plain byte needs room
// for itself + NUL, a reference room for 4 bytes + NUL; when room runs out the
// decoder stops and *stop tells how far the input was consumed.
XML_COLD dec_result decode(const char *s, const char *e, char *out, size_t cap, size_t *olen) {
    size_t o = 0;
    dec_result r = DEC_ALL;
    while (s < e) {
        const char *amp = (const char *)memchr(s, '&', (size_t)(e - s));
        const char *run_end = amp ? amp : e;
        size_t run = (size_t)(run_end - s);
        size_t room = cap - 1 - o;
        if (run > room) {
            room = utf8_cut(s, run, room);
            copy_bytes(out + o, s, room);
            o += room;
            s += room;
            r = DEC_FULL;
            break;
        }
        copy_bytes(out + o, s, run);
        o += run;
        s = run_end;
        if (!amp) break;
        if (cap - o < 5) {
            r = DEC_FULL;
            break;
        }
        o += put_ref(&s, e, out + o);
    }
    out[o] = 0;
    *olen = o;
    return r;
}

// Decodes the whole run [s, e) into out, which has room for e - s bytes and a NUL: no
// reference is shorter than what it stands for, so the output never passes the input,
// and 16 bytes can be moved ahead of the search for the next '&'. in_place: out lies in
// the same document at or before s, and what follows the run is left alone (no NUL is
// written). The 16 bytes moved ahead must not reach a byte not yet read: until the
// output trails the input by that much, the run is decoded a byte or a reference at a
// time. The gap never shrinks, so the rest goes as always.
template <bool in_place> void decode_run(const char *s, const char *e, char *out, size_t *olen) {
    char *o = out;
    while (in_place && s < e && s - o < 16) {
        if (*s != '&') {
            *o++ = *s++;
            continue;
        }
        o += put_ref(&s, e, o);
    }
    // An escaped document is mostly &lt; &gt; and &quot;, one every dozen bytes or so: each
    // step moves 16 bytes ahead, finds the first '&' among them and takes the reference
    // there. Those three are matched as words (the block leaves at least 6 bytes after any
    // '&' in it), every other reference as everywhere else.
    constexpr size_t k_block = 16, k_longest_fast_ref = 6;
    uint32_t lt, gt, quo;
    memcpy(&lt, "&lt;", 4);
    memcpy(&gt, "&gt;", 4);
    memcpy(&quo, "&quo", 4);
    constexpr auto amp = bytes_of('&');
    while ((size_t)(e - s) >= k_block + k_longest_fast_ref) {
        byte_scan::mask hit = byte_scan::block_mask(s, amp);
        memcpy(o, s, k_block);
        if (!byte_scan::any(hit)) {
            s += k_block;
            o += k_block;
            continue;
        }
        unsigned k = byte_scan::first(hit);
        s += k;
        o += k;
        uint32_t w;
        memcpy(&w, s, 4);
        if (w == lt || w == gt) {
            *o++ = w == lt ? '<' : '>';
            s += 4;
        } else if (w == quo && s[4] == 't' && s[5] == ';') {
            *o++ = '"';
            s += 6;
        } else {
            o += put_ref(&s, e, o);
        }
    }
    while (s < e) {
        if (*s != '&') {
            *o++ = *s++;
            continue;
        }
        o += put_ref(&s, e, o);
    }
    if (!in_place) *o = 0;
    *olen = (size_t)(o - out);
}

// Records why reading stopped and where: at points into the document.
XML_COLD int fail(xmlrd *x, const char *at, const char *msg, xml_status st = XML_E_SYNTAX) {
    copy_cut(x->err, sizeof x->err, msg, strlen(msg));
    x->status = st;
    x->err_at = (size_t)(at - x->begin);
    return XML_EV_ERROR;
}

struct event {
    const char *str = "";
    size_t len = 0;
};

// A text event: the run from the cursor up to the next '<', references
// decoded, cut where the buffer is full (the rest comes as the next event).
// Plain runs and the runs between references are found 16 bytes at a time;
// the search never looks past TEXT_WINDOW bytes, which covers a full buffer.
int text_event(xmlrd *x, event *ev) {
    const char *s = x->p;
    size_t avail = (size_t)(x->end - s);
    const char *e = s + (avail < TEXT_WINDOW ? avail : TEXT_WINDOW);
    char *out = x->text;
    size_t o = 0;
    for (;;) {
        const char *t = scan_text(s, e);
        size_t run = (size_t)(t - s), room = TEXT_CAP - 1 - o;
        if (run > room) {
            // Cut on a character boundary; the rest comes as the next event.
            room = utf8_cut(s, run, room);
            copy_bytes(out + o, s, room);
            o += room;
            s += room;
            break;
        }
        copy_doc(out + o, room, s, run, x->end);
        o += run;
        s = t;
        if (t == e || *t == '<' || TEXT_CAP - o < 5) break;
        // A '<' before the ';' would make the reference invalid anyway, so
        // the search for the ';' need not stop at it.
        o += put_ref(&s, e, out + o);
    }
    out[o] = 0;
    x->p = s;
    x->ev = XML_EV_TEXT;
    ev->str = out;
    ev->len = o;
    return XML_EV_TEXT;
}

// A text run while skimming or passed over: no text can fail, so nothing is read but the '<' that ends it.
void skim_text(xmlrd *x) {
    const char *lt = (const char *)memchr(x->p, '<', (size_t)(x->end - x->p));
    x->p = lt ? lt : x->end;
}

// Delivers raw CDATA content from the cursor up to cdata_end, one buffer at a time.
XML_COLD int cdata_part(xmlrd *x, event *ev) {
    size_t left = (size_t)(x->cdata_end - x->p);
    size_t n = copy_cut(x->text, TEXT_CAP, x->p, left);
    x->p += n;
    if (n == left) {
        x->p = x->cdata_end + 3;
        x->cdata_end = nullptr;
    }
    x->ev = XML_EV_TEXT;
    ev->str = x->text;
    ev->len = n;
    return XML_EV_TEXT;
}

const char *find2(const char *p, const char *end, const char *pat, size_t n) {
    if (p >= end) return nullptr;
    size_t at = std::string_view(p, (size_t)(end - p)).find(std::string_view(pat, n));
    return at == std::string_view::npos ? nullptr : p + at;
}

// "<!" at the cursor: comment (skipped, returns 0), CDATA (text event) or a refused declaration.
XML_COLD int bang(xmlrd *x, event *ev) {
    const char *p = x->p, *end = x->end;
    if (end - (p + 2) < 2) return fail(x, x->p, "DOCTYPE/declaration not allowed", XML_E_REFUSED);
    if (p[2] == '-' && p[3] == '-') {
        const char *close = find2(p + 4, end, "-->", 3);
        if (!close) return fail(x, x->p, "unterminated comment");
        x->p = close + 3;
        return 0;
    }
    if (end - p > 8 && !memcmp(p, "<![CDATA[", 9)) {
        const char *close = find2(p + 9, end, "]]>", 3);
        if (!close) return fail(x, x->p, "unterminated CDATA");
        if (x->skim || x->skip_text) {
            x->p = close + 3;
            return 0;
        }
        x->p = p + 9;
        x->cdata_end = close;
        return cdata_part(x, ev);
    }
    return fail(x, x->p, "DOCTYPE/declaration not allowed", XML_E_REFUSED);
}

int end_tag(xmlrd *x, event *ev) {
    const char *end = x->end;
    const char *n0 = x->p + 2;
    const char *n1 = skip_name(n0, end);
    const char *p = skip_ws(n1, end);
    if (p >= end || *p != '>') return fail(x, p, "malformed end tag");
    ev->len = x->namelen = copy_cut(x->name, NAME_CAP, n0, (size_t)(n1 - n0), end);
    ev->str = x->name;
    x->depth--;
    x->p = p + 1;
    x->ev = XML_EV_END;
    return XML_EV_END;
}

// Parses one attribute at p (a non-space byte inside a start tag); stores it
// while there is room. Returns the byte after its closing quote, or null after
// writing the failure.
const char *attribute(xmlrd *x, const char *p) {
    const char *end = x->end;
    const char *a0 = p;
    p = skip_name(p, end);
    if (p == a0) return fail(x, a0, "malformed attribute"), nullptr;
    const char *a1 = p;
    // Nearly every attribute is name="value" with no space around the '='.
    if (end - p < 2 || p[0] != '=' || (p[1] != '"' && p[1] != '\'')) {
        p = skip_ws(p, end);
        if (p >= end || *p != '=') return fail(x, p, "attribute without value"), nullptr;
        p = skip_ws(p + 1, end);
        if (p >= end || (*p != '"' && *p != '\'')) return fail(x, p, "attribute without quote"), nullptr;
    } else {
        p++;
    }
    const char q = *p++;
    const char *v0 = p;
    bool refs = false;
    for (;;) {
        p = scan_value(p, end, q);
        if (p >= end) return fail(x, v0 - 1, "unterminated attribute"), nullptr;
        if (*p == q) break;
        if (*p == '<') return fail(x, p, "'<' in attribute"), nullptr;
        if (*p == '&') refs = true;
        p++;
    }
    // Skimming keeps no values, and no value can fail once its quotes are found. A name
    // and a value without references are read where they stand: most are never looked at.
    if (!x->skim && x->nattr < XML_MAX_ATTR) {
        xml_attr_t *a = &x->attr[x->nattr];
        size_t nlen = (size_t)(a1 - a0);
        a->name = a0;
        a->nlen = (unsigned short)(nlen > ATTR_NAME_CAP - 1 ? utf8_cut(a0, nlen, ATTR_NAME_CAP - 1) : nlen);
        // A value longer than its entry is kept cut and marked, so that a caller
        // to whom a cut value is useless (an object id) can tell.
        size_t vlen = (size_t)(p - v0);
        a->cut = 0;
        if (!refs) {
            if (vlen > ATTR_VAL_CAP - 1) {
                vlen = utf8_cut(v0, vlen, ATTR_VAL_CAP - 1);
                a->cut = 1;
            }
            a->val = v0;
        } else {
            a->cut = decode(v0, p, a->buf, ATTR_VAL_CAP, &vlen) == DEC_FULL;
            a->val = a->buf;
        }
        a->vlen = (unsigned short)vlen;
        x->nattr++;
    }
    return p + 1;
}

int start_tag(xmlrd *x, event *ev) {
    const char *end = x->end;
    const char *n0 = x->p + 1;
    const char *p = skip_name(n0, end);
    if (p == n0) return fail(x, x->p, "malformed tag");
    const char *n1 = p;
    if (x->depth >= XML_MAX_DEPTH) return fail(x, x->p, "nesting deeper than 32", XML_E_LIMIT);
    x->nattr = 0;
    bool self_close = false;
    for (;;) {
        p = skip_ws(p, end);
        if (p >= end) return x->nattr = 0, fail(x, p, "truncated tag");
        if (*p == '>') {
            p++;
            break;
        }
        if (*p == '/') {
            if (p + 1 >= end) return x->nattr = 0, fail(x, p, "truncated tag");
            if (p[1] != '>') return x->nattr = 0, fail(x, p, "malformed self-close");
            p += 2;
            self_close = true;
            break;
        }
        p = attribute(x, p);
        if (!p) return x->nattr = 0, XML_EV_ERROR;
    }
    ev->len = x->namelen = copy_cut(x->name, NAME_CAP, n0, (size_t)(n1 - n0), end);
    ev->str = x->name;
    x->depth += self_close ? 0 : 1;
    x->p = p;
    x->ev = XML_EV_START;
    return XML_EV_START;
}

int next_event(xmlrd *x, event *ev) {
    if (!x) return XML_EV_END_DOC;
    if (x->cdata_end) return cdata_part(x, ev);
    for (;;) {
        const char *p = x->p, *end = x->end;
        if (p >= end) return XML_EV_END_DOC;
        if (*p != '<') {
            if (!x->skim && !x->skip_text) return text_event(x, ev);
            skim_text(x);
            continue;
        }
        if (p + 1 >= end) return fail(x, p, "truncated tag");
        switch (p[1]) {
        case '!': {
            int r = bang(x, ev);
            if (r != 0) return r;
            continue;
        }
        case '?': {
            const char *close = find2(p + 2, end, "?>", 2);
            if (!close) return fail(x, p, "unterminated processing instruction");
            x->p = close + 2;
            continue;
        }
        case '/':
            return end_tag(x, ev);
        default:
            return start_tag(x, ev);
        }
    }
}

xmlrd *open_fail(char *err, size_t errn, xml_status *st, xml_status why, const char *msg) {
    if (err && errn) snprintf(err, errn, "%s", msg);
    if (st) *st = why;
    return nullptr;
}

// Refuses DOCTYPE and ENTITY declarations in the prolog before any work is done.
const char *screen_prolog(const char *s, size_t n) {
    const char *e = s + (n < XML_PROLOG_WINDOW ? n : XML_PROLOG_WINDOW);
    const char *q = s;
    for (;;) {
        const char *lt = (const char *)memchr(q, '<', (size_t)(e - q));
        if (!lt || lt + 1 >= e) return nullptr;
        if (lt[1] == '?') {
            const char *close = find2(lt + 2, e, "?>", 2);
            if (!close) return nullptr;
            q = close + 2;
            continue;
        }
        if (lt[1] == '!' && e - lt >= 9) {
            if (!memcmp(lt, "<!DOCTYPE", 9)) return "DOCTYPE not allowed";
            if (!memcmp(lt, "<!ENTITY", 8)) return "ENTITY not allowed";
        }
        return nullptr;
    }
}

// nul_free: the caller has already proved [s, s + n) holds no NUL byte.
xmlrd *open_doc(const char *s, size_t n, bool nul_free, char *err, size_t errn, xml_status *st) {
    if (st) *st = XML_OK;
    if (!s) return open_fail(err, errn, st, XML_E_REFUSED, "empty xml");
    if (n > XML_MAX_DOC) {
        char msg[48];
        snprintf(msg, sizeof msg, "xml over %u bytes", (unsigned)XML_MAX_DOC);
        return open_fail(err, errn, st, XML_E_LIMIT, msg);
    }
    if (!nul_free && n && memchr(s, 0, n)) return open_fail(err, errn, st, XML_E_REFUSED, "NUL byte in xml");
    if (n > 8) {
        if (const char *msg = screen_prolog(s, n)) return open_fail(err, errn, st, XML_E_REFUSED, msg);
    }
    // Only the head is set: the buffers (some 20 KB) are written before they are read,
    // and zeroing them for each document would cost more than a small one's reading.
    xmlrd *x = (xmlrd *)malloc(sizeof(xmlrd));
    if (!x) return open_fail(err, errn, st, XML_E_NOMEM, "out of memory");
    x->begin = x->p = s;
    x->end = s + n;
    x->depth = 0;
    x->err[0] = 0;
    x->status = XML_OK;
    x->err_at = 0;
    x->ev = 0;
    x->name[0] = 0;
    x->namelen = 0;
    x->text[0] = 0;
    x->nattr = 0;
    x->cdata_end = nullptr;
    x->skim = false;
    x->skip_text = false;
    return x;
}

} // namespace

xmlrd *xml_open(const char *s, size_t n, char *err, size_t errn, xml_status *st) {
    return open_doc(s, n, false, err, errn, st);
}

xmlrd *xml_open_str(const char *s, char *err, size_t errn, xml_status *st) {
    // Measuring stops one byte past the bound: a longer text is refused
    // for its size all the same, without reading all of it.
    return open_doc(s, s ? strnlen(s, XML_MAX_DOC + 1) : 0, true, err, errn, st);
}

xmlrd *xml_open_clean(const char *s, size_t n, char *err, size_t errn, xml_status *st) {
    return open_doc(s, n, true, err, errn, st);
}

int xml_next_at(xmlrd *x, const char **name, size_t *namelen, int *depth) {
    event ev;
    int r = next_event(x, &ev);
    if (r <= 0) ev = event{};
    if (name) *name = ev.str;
    if (namelen) *namelen = ev.len;
    *depth = x ? x->depth : 0;
    return r;
}

int xml_next(xmlrd *x, const char **name, size_t *namelen) {
    int depth;
    return xml_next_at(x, name, namelen, &depth);
}

int xml_event(const xmlrd *x) {
    return x ? x->ev : 0;
}

int xml_depth(const xmlrd *x) {
    return x ? x->depth : 0;
}

const char *xml_attr(xmlrd *x, const char *name) {
    if (!x || !name || x->ev != XML_EV_START) return nullptr;
    size_t n = strlen(name);
    for (int i = 0; i < x->nattr; i++) {
        xml_attr_t &a = x->attr[i];
        if (a.nlen != n || memcmp(a.name, name, n) != 0) continue;
        if (a.val != a.buf) {
            copy_bytes(a.buf, a.val, a.vlen);
            a.buf[a.vlen] = 0;
            a.val = a.buf;
        }
        return a.val;
    }
    return nullptr;
}

const char *xml_text(const xmlrd *x) {
    return x && x->ev == XML_EV_TEXT ? x->text : "";
}

const char *xml_error(const xmlrd *x) {
    return x ? x->err : "";
}

xml_status xml_error_status(const xmlrd *x) {
    return x ? x->status : XML_OK;
}

size_t xml_error_offset(const xmlrd *x) {
    return x ? x->err_at : 0;
}

const char *xml_name(const xmlrd *x, size_t *len) {
    if (len) *len = x ? x->namelen : 0;
    return x ? x->name : "";
}

const xml_attr_t *xml_attrs(const xmlrd *x, int *n) {
    if (n) *n = xml_attr_count(x);
    return x ? x->attr : nullptr;
}

int xml_attr_count(const xmlrd *x) {
    return x ? x->nattr : 0;
}

size_t xml_offset(const xmlrd *x) {
    return x ? (size_t)(x->p - x->begin) : 0;
}

void xml_set_skim(xmlrd *x, bool on) {
    if (x) x->skim = on;
}

void xml_set_skip_text(xmlrd *x, bool on) {
    if (x) x->skip_text = on;
}

namespace {

// Whether the n bytes at a and b are equal; names are short, so a library call would
// cost more than the compare.
template <typename W> inline bool same_word(const char *a, const char *b) {
    W u, v;
    memcpy(&u, a, sizeof u);
    memcpy(&v, b, sizeof v);
    return u == v;
}
inline bool same_bytes(const char *a, const char *b, size_t n) {
    if (n >= 8) {
        // Words from the front, and the last one may overlap the one before it.
        for (size_t i = 0; i + 8 < n; i += 8)
            if (!same_word<uint64_t>(a + i, b + i)) return false;
        return same_word<uint64_t>(a + n - 8, b + n - 8);
    }
    if (n >= 4) return same_word<uint32_t>(a, b) && same_word<uint32_t>(a + n - 4, b + n - 4);
    for (; n; n--)
        if (*a++ != *b++) return false;
    return true;
}

// The end of the element just started, when the next markup at lt is its end tag: well
// formed and naming it as its start tag did (as far as names are kept), so that a caller
// passing over one element never passes over the end of another. The byte after that end
// tag, or null.
const char *own_end_tag(const xmlrd *x, const char *lt) {
    const char *end = x->end;
    if (end - lt < 2 || lt[0] != '<' || lt[1] != '/') return nullptr;
    // Nearly always the end tag is the kept name and '>' at once: every byte of the kept
    // name is a name byte, so the full check below would find the same name and end.
    size_t kept = x->namelen;
    if ((size_t)(end - lt) > kept + 2 && lt[kept + 2] == '>' && same_bytes(lt + 2, x->name, kept))
        return lt + kept + 3;
    const char *n0 = lt + 2, *n1 = skip_name(n0, end);
    const char *p = skip_ws(n1, end);
    if (p >= end || *p != '>') return nullptr;
    size_t n = (size_t)(n1 - n0);
    if (n >= NAME_CAP) n = utf8_cut(n0, n, NAME_CAP - 1);
    if (n != kept || !same_bytes(n0, x->name, n)) return nullptr;
    return p + 1;
}

// Whether the reader stands right after a start tag that has content of its own.
bool after_open_start_tag(const xmlrd *x) {
    if (!x || x->ev != XML_EV_START || x->cdata_end) return false;
    return !(x->p - x->begin >= 2 && x->p[-2] == '/'); // a self-closing tag has none
}

// Right after a start tag whose element holds text alone up to an end tag: the '<' that
// opens that end tag (whose name the events check when they reach it), else null.
const char *whole_text_end(const xmlrd *x) {
    if (!after_open_start_tag(x)) return nullptr;
    const char *lt = (const char *)memchr(x->p, '<', (size_t)(x->end - x->p));
    return lt && x->end - lt >= 2 && lt[1] == '/' ? lt : nullptr;
}

// Leaves the reader just after the end tag of the element just started.
void close_element(xmlrd *x, const char *after) {
    x->depth--;
    x->p = after;
    x->ev = XML_EV_END;
}

} // namespace

int xml_take_text(xmlrd *x, sbuf *out) {
    const char *lt = out ? whole_text_end(x) : nullptr;
    if (!lt) return 0;
    const char *s = x->p;
    size_t raw = (size_t)(lt - s);
    if (sb_reserve(out, raw) != 0) return out->oom ? -1 : 0;
    size_t n;
    decode_run<false>(s, lt, out->p + out->n, &n);
    out->n += n;
    x->p = lt;
    x->ev = XML_EV_TEXT;
    return 1;
}

int xml_take_text_to_front(xmlrd *x, char *doc, size_t *len) {
    const char *lt = doc && len && x && doc == x->begin ? whole_text_end(x) : nullptr;
    if (!lt) return 0;
    decode_run<true>(x->p, lt, doc, len);
    x->p = lt;
    x->ev = XML_EV_TEXT;
    // The start tag's attributes lay in what was just written over.
    x->nattr = 0;
    return 1;
}

int xml_skip_leaf(xmlrd *x) {
    if (!after_open_start_tag(x)) return 0;
    const char *lt = x->p;
    if (lt < x->end && *lt != '<') {
        // Text that the events would deliver is left to them.
        if (!x->skim && !x->skip_text) return 0;
        lt = find_byte(lt, x->end, '<');
        if (!lt) return 0;
    }
    const char *after = own_end_tag(x, lt);
    if (!after) return 0;
    close_element(x, after);
    return 1;
}

int xml_leaf_text(xmlrd *x, const char **text, size_t *len) {
    if (!after_open_start_tag(x)) return 0;
    const char *s = x->p;
    // Text that would not fit one text event comes in several: left to the events.
    size_t avail = (size_t)(x->end - s);
    const char *window = s + (avail < TEXT_CAP - 5 ? avail : TEXT_CAP - 5);
    const char *stop = scan_text(s, window);
    // A text without references (nearly every title, class and URL) is given where it
    // stands in the document: the caller reads it before the reader moves on.
    bool plain = stop < window && *stop == '<';
    const char *lt = plain ? stop : find_byte(stop, window, '<');
    if (!lt) return 0;
    const char *after = own_end_tag(x, lt);
    if (!after) return 0;
    close_element(x, after);
    if (plain) {
        *text = s;
        *len = (size_t)(lt - s);
        return 1;
    }
    // Decoded as a text event decodes it: a reference cut off by the '<' is no reference
    // there either. The buffer holds the whole run, which decoding never lengthens.
    size_t o = 0;
    decode_run<false>(s, lt, x->text, &o);
    *text = x->text;
    *len = o;
    return 1;
}

void xml_close(xmlrd *x) {
    free(x);
}

namespace {

// The bytes that end a tag's name in the count: white space, '/', '>'. Other control bytes
// end it too: a document holding one in a tag name is not well-formed, and the count need
// only be exact for a document the reader accepts.
constexpr auto k_tag_name_end = bytes_of('/', '>') | byte_range{0x00, ' '};
constexpr auto k_lt = bytes_of('<'), k_slash = bytes_of('/');

// The next '<' in [p, end) that does not open an end tag, or null. End tags are half of
// all tags and never counted: blocks of 16 bytes are passed over when they hold none but
// those.
inline const char *next_open_tag(const char *p, const char *end) {
    // The byte after each '<' is looked at with it, so a block needs one byte beyond it.
    for (; end - p > 16; p += 16) {
        byte_scan::mask lt = byte_scan::block_mask(p, k_lt);
        if (!byte_scan::any(lt)) continue;
        byte_scan::mask open = byte_scan::and_not(lt, byte_scan::block_mask(p + 1, k_slash));
        if (byte_scan::any(open)) return p + byte_scan::first(open);
    }
    for (; p < end; p++)
        if (*p == '<' && (p + 1 == end || p[1] != '/')) return p;
    return nullptr;
}

// Whether the local name of the n bytes at q (the text after its first ':', or all of it
// when there is none) is the wn bytes at w, as the DIDL-Lite reader tells its elements.
bool local_name_is(const char *q, size_t n, const char *w, size_t wn) {
    if (n < wn || !same_bytes(q + n - wn, w, wn)) return false;
    if (n == wn) return true;
    if (q[n - wn - 1] != ':') return false;
    for (size_t k = 0; k + 1 < n - wn; k++)
        if (q[k] == ':') return false;
    return true;
}

} // namespace

int xml_count_start_tags(const char *s, size_t n, const char *const *local_names, size_t count) {
    if (!s) return 0;
    // Only a name ending as one of those counted can be one: the last byte settles most tags.
    constexpr size_t k_most = 8;
    size_t len[k_most];
    bool last[256] = {};
    if (count > k_most) count = k_most;
    for (size_t k = 0; k < count; k++)
        if ((len[k] = strlen(local_names[k]))) last[(uint8_t)local_names[k][len[k] - 1]] = true;
    int found = 0;
    const char *end = s + n;
    for (const char *p = next_open_tag(s, end); p; p = next_open_tag(p, end)) {
        if (++p == end) break; // a '<' that ends the text opens nothing
        const char *skip_to;
        if (*p == '!') {
            if (end - p >= 3 && !memcmp(p, "!--", 3))
                skip_to = find2(p + 3, end, "-->", 3);
            else if (end - p >= 8 && !memcmp(p, "![CDATA[", 8))
                skip_to = find2(p + 8, end, "]]>", 3);
            else
                skip_to = find_byte(p, end, '>');
        } else if (*p == '?') {
            skip_to = find2(p + 1, end, "?>", 2);
        } else {
            size_t nl = (size_t)(byte_scan::find_first(p, end, k_tag_name_end) - p);
            // The reader sees a name longer than it keeps cut, as it is kept.
            size_t kept = nl < XML_NAME_CAP ? nl : utf8_cut(p, nl, XML_NAME_CAP - 1);
            if (kept && last[(uint8_t)p[kept - 1]]) {
                for (size_t k = 0; k < count; k++) {
                    if (!local_name_is(p, kept, local_names[k], len[k])) continue;
                    if (found < INT_MAX) found++;
                    break;
                }
            }
            p += nl;
            continue;
        }
        if (!skip_to) break;
        p = skip_to;
    }
    return found;
}
