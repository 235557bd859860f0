// DIDL-Lite parser: one pass of the pull reader into the caller's table.
#include "parse/didl.h"

#include <stdint.h>
#include <string.h>

#include "base/copy_bytes.h"
#include "base/find_byte.h"
#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/text.h"
#include "parse/xml.h"

didl_item *didl_table::append() {
    if (n_ >= ITEM_MAX) return nullptr;
    // Records are not zeroed: the parser sets every field it reads.
    if (n_ == (int)blocks_.size() * BLOCK)
        blocks_.push_back(std::make_unique_for_overwrite<didl_item[]>(BLOCK));
    return &(*this)[n_++];
}

namespace {

// Copies at most max bytes of src, never splitting a UTF-8 sequence: a cut title
// must still be valid text in the JSON the host reads. Returns the length kept.
size_t copy_text(char *dst, size_t max, const char *src, size_t len) {
    len = utf8_cut(src, len, max);
    copy_bytes(dst, src, len);
    dst[len] = 0;
    return len;
}

// Appends one text event to a field that holds `have` bytes, keeping at most max bytes
// in all: an element's text may come as several events (long runs, CDATA, comments).
size_t append_text(char *dst, size_t max, size_t have, const char *src, size_t len) {
    return have >= max ? have : have + copy_text(dst + have, max - have, src, len);
}

// The same into a buffer of cap bytes.
size_t copy_cut(char *dst, size_t cap, const char *v, size_t len) {
    return copy_text(dst, cap - 1, v, len);
}

// childCount (n bytes at s): a sign and digits, saturating; a negative count or none is 0.
int read_count(const char *s, size_t n) {
    int64_t v = 0;
    if (s) read_int(&s, s + n, INT32_MAX, &v, INT_SIGN);
    return v < 0 ? 0 : (int)v;
}

// A resource size as strtoll reads it, saturating; 0 when there is no number, and
// *given tells whether there was one.
int64_t read_size(const char *s, bool *given) {
    int64_t v = 0;
    *given = s && read_int(&s, nullptr, INT64_MAX, &v);
    return v;
}

// The lengths ride along so that no copy has to measure its source again.
struct pending_res {
    char pi[ITEM_PROTOCOL_INFO_CAP];
    char size[ITEM_RES_ATTR_CAP];
    char dur[ITEM_DURATION_READ_CAP];
    char resol[ITEM_RES_ATTR_CAP];
    char url[ITEM_URL_CAP];
    size_t pi_n, dur_n, resol_n, url_n;
};

// An attribute of the current start tag; null when absent.
using attr = const xml_attr_t *;

// A container is recorded with the class that marks it as a folder; an item
// has no class until its upnp:class element.
didl_item *add_item(didl_item *it, attr id, attr parent, bool container, attr childcount) {
    static const char folder[] = "object.container.storageFolder";
    // Only the fields that are read are set: zeroing the whole record (about
    // 13 KB, mostly subtitle slots) would dominate the parse.
    if (id)
        copy_text(it->id, sizeof it->id - 1, id->val, id->vlen);
    else
        it->id[0] = 0;
    if (parent)
        copy_text(it->parent, sizeof it->parent - 1, parent->val, parent->vlen);
    else
        it->parent[0] = 0;
    it->title[0] = 0;
    if (container)
        memcpy(it->klass, folder, sizeof folder);
    else
        it->klass[0] = 0;
    it->is_folder = container ? 1 : 0;
    int cc = childcount ? read_count(childcount->val, childcount->vlen) : 0;
    it->childcount = cc > 0 ? cc : 0;
    it->date[0] = 0;
    it->res_url[0] = 0;
    it->res_mime[0] = 0;
    it->res_protocol[0] = 0;
    it->res_size = -1;
    it->res_size_given = false;
    it->res_duration[0] = 0;
    it->res_resolution[0] = 0;
    it->res_protocol_info[0] = 0;
    it->nsub = 0;
    return it;
}

// Resource URLs are kept as valid text (see url_copy): hosts hand them on in JSON and
// SOAP bodies, and servers write file names in Latin-1 as they are.
void add_sub(didl_item *it, const char *url, size_t url_n, const char *mime) {
    if (it->nsub >= ITEM_MAX_SUB) return;
    didl_sub &s = it->sub[it->nsub];
    if (!url_copy(s.url, sizeof s.url, url, url_n)) return;
    it->nsub++;
    str_copy(s.mime, sizeof s.mime, mime);
}

// Whether pi contains ":text/" or "application/smil" (a subtitle resource).
// Both hold a '/', and a protocolInfo has few: the bytes around each '/' are
// compared instead of searching the whole text twice.
bool is_sub_pi(const char *pi, size_t n) {
    for (const char *s = pi, *e = pi + n; (s = find_byte(s, e, '/')); s++) {
        size_t at = (size_t)(s - pi);
        if (at >= 5 && !memcmp(s - 5, ":text", 5)) return true;
        if (at >= 11 && e - s >= 5 && !memcmp(s - 11, "application", 11) && !memcmp(s + 1, "smil", 4))
            return true;
    }
    return false;
}

// str_nieq(s, "http-get", 8) for a field of n bytes, inline: the word is already lower case,
// so only the field's bytes are folded.
bool is_http_get(const char *s, size_t n) {
    static const char w[] = "http-get";
    if (n < 8) return false;
    for (int k = 0; k < 8; k++)
        if (ascii_lower(s[k]) != w[k]) return false;
    return true;
}

// The protocol and content-format fields of a protocolInfo of n bytes, where they stand.
// Without three ':' the whole text is the protocol and there is no format. The format is
// looked for within the first mime_cap - 1 bytes after the protocol (all of them for 0).
struct pi_fields {
    const char *proto, *mime;
    size_t proto_n, mime_n;
};

pi_fields split_pi(const char *pi, size_t n, size_t mime_cap) {
    const char *end = pi + n;
    const char *c1 = find_byte(pi, end, ':');
    const char *c2 = c1 ? find_byte(c1 + 1, end, ':') : nullptr;
    const char *c3 = c2 ? find_byte(c2 + 1, end, ':') : nullptr;
    if (!c3) return {pi, "", n, 0};
    const char *m = c1 + 1;
    size_t ml = (size_t)(c3 - m);
    if (mime_cap && ml > mime_cap - 1) ml = mime_cap - 1;
    // The network field is almost always "*": then only the content format counts.
    if (ml > 0 && m[0] == '*') {
        const char *c = find_byte(m, m + ml, ':');
        if (c && c + 1 < m + ml) {
            ml -= (size_t)(c + 1 - m);
            m = c + 1;
        }
    }
    return {pi, m, (size_t)(c1 - pi), ml};
}

void add_res_to(didl_item *it, const pending_res &r) {
    pi_fields f = split_pi(r.pi, r.pi_n, ITEM_MIME_CAP);
    if (is_sub_pi(r.pi, r.pi_n)) {
        char mime[ITEM_MIME_CAP];
        copy_cut(mime, sizeof mime, f.mime, f.mime_n);
        add_sub(it, r.url, r.url_n, mime);
        return;
    }
    if (!is_http_get(f.proto, f.proto_n)) return;
    bool size_given;
    int64_t size = read_size(r.size, &size_given);
    if (it->res_url[0] && size <= it->res_size) return;
    // A URL that cannot be kept leaves the resource chosen before it in place.
    char url[ITEM_URL_CAP];
    size_t url_n = url_copy(url, sizeof url, r.url, r.url_n);
    if (!url_n) return;
    memcpy(it->res_url, url, url_n + 1);
    copy_cut(it->res_mime, sizeof it->res_mime, f.mime, f.mime_n);
    copy_cut(it->res_protocol, sizeof it->res_protocol, f.proto, f.proto_n);
    copy_text(it->res_protocol_info, ITEM_PROTOCOL_INFO_CUT, r.pi, r.pi_n);
    it->res_size = size;
    it->res_size_given = size_given;
    copy_cut(it->res_duration, sizeof it->res_duration, r.dur, r.dur_n);
    copy_cut(it->res_resolution, sizeof it->res_resolution, r.resol, r.resol_n);
}

enum { A_ID, A_PARENT, A_CHILDCOUNT, A_PI, A_SIZE, A_DUR, A_RESOL, A_COUNT };

template <size_t N> bool name_is(const xml_attr_t &a, const char (&w)[N]) {
    return a.nlen == N - 1 && memcmp(a.name, w, N - 1) == 0;
}

// The attributes this parser reads, from the current start tag in one pass
// (null when absent; the first of a repeated name wins, as with xml_attr).
// The stored length picks the candidates; a fixed-size compare settles it.
void attrs(const xmlrd *x, attr *vals) {
    for (int k = 0; k < A_COUNT; k++) vals[k] = nullptr;
    int n;
    const xml_attr_t *list = xml_attrs(x, &n);
    for (int i = 0; i < n; i++) {
        const xml_attr_t &a = list[i];
        int k;
        switch (a.nlen) {
        case 2:
            k = name_is(a, "id") ? A_ID : -1;
            break;
        case 4:
            k = name_is(a, "size") ? A_SIZE : -1;
            break;
        case 8:
            k = name_is(a, "parentID") ? A_PARENT : name_is(a, "duration") ? A_DUR : -1;
            break;
        case 10:
            k = name_is(a, "childCount") ? A_CHILDCOUNT : name_is(a, "resolution") ? A_RESOL : -1;
            break;
        case 12:
            k = name_is(a, "protocolInfo") ? A_PI : -1;
            break;
        default:
            k = -1;
        }
        if (k >= 0 && !vals[k]) vals[k] = &a;
    }
}

// Copies an attribute into a pending field as str_copy would (empty when absent).
size_t take(char *dst, size_t cap, attr a) {
    return a ? copy_cut(dst, cap, a->val, a->vlen) : (dst[0] = 0, 0);
}

enum elem { E_OTHER, E_ITEM, E_CONTAINER, E_TITLE, E_CLASS, E_DATE, E_RES, E_CAPTION };

// Whether the local name of q (the text after its first ':') is w. The
// constant length lets the comparison be inlined.
template <size_t N> bool local_is(const char *q, size_t n, const char (&w)[N]) {
    constexpr size_t wn = N - 1;
    if (n < wn || memcmp(q + n - wn, w, wn) != 0) return false;
    if (n == wn) return true;
    if (q[n - wn - 1] != ':') return false;
    for (size_t k = 0; k + 1 < n - wn; k++)
        if (q[k] == ':') return false;
    return true;
}

// Element kind by local name. Most elements are none of ours: the last byte
// settles nearly all of them. Called for every start and end tag, so kept inline.
[[gnu::always_inline]] inline elem classify(const char *q, size_t n) {
    if (n < 3) return E_OTHER;
    switch (q[n - 1]) {
    case 's':
        return local_is(q, n, "res") ? E_RES : local_is(q, n, "class") ? E_CLASS : E_OTHER;
    case 'm':
        return local_is(q, n, "item") ? E_ITEM : E_OTHER;
    case 'e':
        return local_is(q, n, "title") ? E_TITLE : local_is(q, n, "date") ? E_DATE : E_OTHER;
    case 'r':
        return local_is(q, n, "container") ? E_CONTAINER : E_OTHER;
    case 'o':
        return local_is(q, n, "CaptionInfo") ? E_CAPTION : E_OTHER;
    case 'x':
        return local_is(q, n, "CaptionInfoEx") ? E_CAPTION : E_OTHER;
    default:
        return E_OTHER;
    }
}

struct text_field;

// What one parse keeps between events.
struct didl_state {
    didl_table *t = nullptr;          // where the objects go
    didl_item *cur = nullptr;         // the object being read; null outside one (or past the cap)
    const text_field *open = nullptr; // the element whose text is being gathered; null for none
    size_t fill = 0;                  // bytes of its text so far
    pending_res pr;
    char caption[ITEM_URL_CAP];
};

// The elements whose text is kept: where it goes and how many bytes of it.
struct text_field {
    elem e;
    char *(*at)(didl_state &);
    size_t cut;
};

constexpr text_field TEXT_FIELDS[] = {
    {E_TITLE, [](didl_state &s) { return s.cur->title; }, ITEM_TITLE_CUT},
    {E_CLASS, [](didl_state &s) { return s.cur->klass; }, ITEM_CLASS_CUT},
    {E_DATE, [](didl_state &s) { return s.cur->date; }, ITEM_DATE_CAP - 1},
    {E_RES, [](didl_state &s) { return s.pr.url; }, ITEM_URL_CAP - 1},
    {E_CAPTION, [](didl_state &s) { return s.caption; }, ITEM_URL_CAP - 1},
};

const text_field *text_field_of(elem e) {
    for (const text_field &f : TEXT_FIELDS)
        if (f.e == e) return &f;
    return nullptr;
}

// Start of an object: a new record, unless the table is full or its id was cut.
void object_start(didl_state &st, const xmlrd *x, elem e, bool empty, int *objects) {
    st.open = nullptr;
    st.cur = nullptr;
    ++*objects;
    if (st.t->size() >= ITEM_MAX) {
        st.t->partial = 1;
        return;
    }
    attr av[A_COUNT];
    attrs(x, av);
    // A cut id names no object (or another one): such an object is skipped.
    if ((av[A_ID] && av[A_ID]->cut) || (av[A_PARENT] && av[A_PARENT]->cut)) return;
    didl_item *it = add_item(st.t->append(), av[A_ID], av[A_PARENT], e == E_CONTAINER, av[A_CHILDCOUNT]);
    if (!empty) st.cur = it;
}

// Start of an element inside an object: it opens its text field.
void field_start(didl_state &st, const xmlrd *x, elem e) {
    st.open = text_field_of(e);
    st.fill = 0;
    if (e == E_RES) {
        attr av[A_COUNT];
        attrs(x, av);
        st.pr.pi_n = take(st.pr.pi, sizeof st.pr.pi, av[A_PI]);
        take(st.pr.size, sizeof st.pr.size, av[A_SIZE]);
        st.pr.dur_n = take(st.pr.dur, sizeof st.pr.dur, av[A_DUR]);
        st.pr.resol_n = take(st.pr.resol, sizeof st.pr.resol, av[A_RESOL]);
    }
    // A resource or caption without text adds nothing; the item's own fields keep
    // what they held.
    if (e == E_RES || e == E_CAPTION) st.open->at(st)[0] = 0;
}

// White space a formatted document wraps around a URL or a class is not part of it.
// Trims s[0, n) in place and returns the length left.
size_t trim_field(char *s, size_t n) {
    const char *t = s;
    ws_trim(&t, &n);
    if (t != s) memmove(s, t, n);
    s[n] = 0;
    return n;
}

void field_end(didl_state &st, elem e) {
    bool was_open = st.open && st.open->e == e;
    if (was_open) st.open = nullptr;
    if (!st.cur) return;
    // While its element is open a field holds just the bytes counted in fill; a text
    // left by an earlier element of the same kind was trimmed when that one ended.
    if (was_open && e == E_CLASS) trim_field(st.cur->klass, st.fill);
    if (e == E_CAPTION && was_open && st.fill) add_sub(st.cur, st.caption, st.fill, "text/srt");
    if (e == E_RES) {
        st.pr.url_n = trim_field(st.pr.url, was_open ? st.fill : strnlen(st.pr.url, sizeof st.pr.url));
        if (st.pr.url_n) add_res_to(st.cur, st.pr);
    }
}

// A reader failure: the message names where the text stopped being readable.
// Closes the reader; returns -1.
int xml_failed(xmlrd *x, char *err, size_t errn) {
    str_fmt(err, errn, "didl: xml error near offset %llu: %s", (unsigned long long)xml_error_offset(x),
            xml_error(x));
    xml_close(x);
    return -1;
}

// A Result is markup, or nothing: text before its first element (an answer broken off or
// garbled into a bare "&#...") would otherwise read as a folder without objects, and be
// cached as one. White space and a byte-order mark may stand before it.
// len: the text's length, or SIZE_MAX when it ends at its NUL; no byte past either is read.
bool text_before_markup(const char *didl, size_t len, char *err, size_t errn) {
    static const char bom[] = "\xEF\xBB\xBF";
    size_t i = 0;
    while (i < 3 && i < len && didl[i] == bom[i]) i++;
    if (i < 3) i = 0;
    while (i < len && (didl[i] == ' ' || didl[i] == '\t' || didl[i] == '\r' || didl[i] == '\n')) i++;
    if (i == len || !didl[i] || didl[i] == '<') return false;
    str_fmt(err, errn, "didl: text before any element at offset %llu", (unsigned long long)i);
    return true;
}

// len: the text's length when known (it then holds no NUL), else SIZE_MAX.
int parse(const char *didl, size_t len, didl_table *t, int *objects, char *err, size_t errn) {
    *objects = 0;
    if (didl && text_before_markup(didl, len, err, errn)) return -1;
    xmlrd *x =
        len == SIZE_MAX || !didl ? xml_open_str(didl, err, errn) : xml_open_clean(didl, len, err, errn);
    if (!x) return -1;
    didl_state st;
    st.t = t;
    st.pr.url[0] = 0;
    st.pr.pi_n = st.pr.dur_n = st.pr.resol_n = st.pr.url_n = 0;
    const char *nm;
    size_t nl;
    int ev;
    int depth = 0;
    bool skipping = false;
    int now;
    while ((ev = xml_next_at(x, &nm, &nl, &now)) > 0) {
        int before = depth;
        depth = now;
        if (ev == XML_EV_TEXT) {
            if (st.cur && st.open) st.fill = append_text(st.open->at(st), st.open->cut, st.fill, nm, nl);
            continue;
        }
        elem e = classify(nm, nl);
        if (e == E_OTHER) {
            // Most elements of an object (artist, album, track number) are of no use
            // here and hold only text: passed over whole, they cost no further events.
            if (ev == XML_EV_START && depth != before && xml_skip_leaf(x)) depth = before;
            continue;
        }
        bool object = e == E_ITEM || e == E_CONTAINER;
        if (ev == XML_EV_START) {
            // A self-closing element yields no end event and leaves the depth
            // where it was: it has no content, so it opens nothing.
            bool empty = depth == before;
            if (object)
                object_start(st, x, e, empty, objects);
            else if (st.cur && !empty) {
                field_start(st, x, e);
                // A field that holds nothing but a short text (nearly every title, class
                // and URL) is read whole with its end tag: as its events would give it.
                const char *t;
                size_t tn;
                if (st.open && xml_leaf_text(x, &t, &tn)) {
                    if (tn) st.fill = append_text(st.open->at(st), st.open->cut, st.fill, t, tn);
                    depth = before; // the element is closed again
                    field_end(st, e);
                }
            }
        } else if (object) {
            st.open = nullptr;
            st.cur = nullptr;
        } else {
            field_end(st, e);
        }
        // Most text of a page (artists, albums, genres, the space between tags) is
        // read by nobody: only that of an open field is delivered.
        if (bool skip = !(st.cur && st.open); skip != skipping) xml_set_skip_text(x, skipping = skip);
    }
    if (ev < 0) return xml_failed(x, err, errn);
    xml_close(x);
    if (t->partial) {
        str_copy(err, errn, "DIDL over the item cap");
        return -1;
    }
    return t->size();
}

} // namespace

void split_protocol_info(const char *pi, char *proto, size_t pn, char *mime, size_t mn) {
    if (!pi) pi = "";
    pi_fields f = split_pi(pi, strlen(pi), mn);
    if (pn) copy_cut(proto, pn, f.proto, f.proto_n);
    if (mn) copy_cut(mime, mn, f.mime, f.mime_n);
}

int didl_parse(const char *didl, didl_table *t, char *err, size_t errn) {
    t->clear();
    int objects;
    return parse(didl, SIZE_MAX, t, &objects, err, errn);
}

int didl_parse_more(const char *didl, didl_table *t, int *objects, char *err, size_t errn) {
    return parse(didl, SIZE_MAX, t, objects, err, errn);
}

int didl_parse_more_n(const char *didl, size_t len, didl_table *t, int *objects, char *err, size_t errn) {
    return parse(didl, len, t, objects, err, errn);
}

// A scan of the start tags, not a parse: the page is parsed once, when it is published,
// and that parse gives the verdict on its form. Markup that holds no elements (comments,
// CDATA sections, declarations, processing instructions) is stepped over, so for a
// well-formed page the count is exact.
int didl_count_objects(const char *didl, char *err, size_t errn) {
    return didl_count_objects_n(didl, didl ? strlen(didl) : 0, err, errn);
}

int didl_count_objects_n(const char *didl, size_t len, char *err, size_t errn) {
    if (!didl) return 0;
    if (text_before_markup(didl, len, err, errn)) return -1;
    static const char *const objects[] = {"item", "container"};
    return xml_count_start_tags(didl, len, objects, 2);
}

int didl_first_ids(const char *didl, size_t len, int max, char *out, size_t outn) {
    if (outn) out[0] = 0;
    char err[XML_ERR_CAP];
    xmlrd *x = didl && len ? xml_open_clean(didl, len, err, sizeof err) : nullptr;
    if (!x) return 0;
    xml_set_skip_text(x, true);
    size_t at = 0;
    int n = 0;
    const char *name;
    size_t nl;
    for (int ev; n < max && (ev = xml_next(x, &name, &nl)) > 0;) {
        xml_set_skip_text(x, true);
        if (ev != XML_EV_START) continue;
        elem e = classify(name, nl);
        if (e != E_ITEM && e != E_CONTAINER) continue;
        const char *id = xml_attr(x, "id");
        size_t idn = id ? strlen(id) : 0;
        if (at + idn + 2 > outn) break;
        for (size_t i = 0; i < idn; i++) out[at++] = id[i] == '\n' ? ' ' : id[i]; // one line each
        out[at++] = '\n';
        out[at] = 0;
        n++;
    }
    xml_close(x);
    return n;
}
