// Interim pull reader so description parsing builds and runs before the full
// reader lands; replaced wholesale by the real one on merge.
#include "xml.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static bool is_name(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_' || c >= 0x80;
}
static bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static int fail(xmlrd *x, const char *m) {
    snprintf(x->err, sizeof x->err, "%s", m);
    return XML_EV_ERROR;
}

// Decodes [s, e) into out; returns bytes consumed or -1 for a bad reference.
static long decode(const char *s, const char *e, char *out, size_t cap) {
    size_t o = 0;
    const char *p = s;
    while (p < e) {
        if (*p != '&') {
            if (o + 2 > cap) break;
            out[o++] = *p++;
            continue;
        }
        if (o + 5 > cap) break;
        const char *semi = (const char *)memchr(p, ';', (size_t)(e - p) < 13 ? (size_t)(e - p) : 13);
        if (!semi) return -1;
        size_t len = (size_t)(semi - p) + 1;
        static const char *const names[][2] = {
            {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}, {"&quot;", "\""}, {"&apos;", "'"}};
        bool done = false;
        for (auto &n : names)
            if (len == strlen(n[0]) && memcmp(p, n[0], len) == 0) {
                out[o++] = n[1][0];
                done = true;
            }
        if (!done) {
            if (len < 4 || p[1] != '#') return -1;
            const char *d = p + 2;
            int base = 10;
            if (*d == 'x' || *d == 'X') {
                base = 16;
                d++;
            }
            if (d == semi) return -1;
            unsigned long v = 0;
            for (; d < semi; d++) {
                int dv;
                if (*d >= '0' && *d <= '9')
                    dv = *d - '0';
                else if (base == 16 && *d >= 'a' && *d <= 'f')
                    dv = *d - 'a' + 10;
                else if (base == 16 && *d >= 'A' && *d <= 'F')
                    dv = *d - 'A' + 10;
                else
                    return -1;
                v = v * (unsigned)base + (unsigned)dv;
                if (v > 0x10FFFF) return -1;
            }
            if (v == 0 || (v >= 0xD800 && v <= 0xDFFF) || (v < 0x20 && v != 9 && v != 10 && v != 13))
                return -1;
            if (v < 0x80) {
                out[o++] = (char)v;
            } else if (v < 0x800) {
                out[o++] = (char)(0xC0 | (v >> 6));
                out[o++] = (char)(0x80 | (v & 0x3F));
            } else if (v < 0x10000) {
                out[o++] = (char)(0xE0 | (v >> 12));
                out[o++] = (char)(0x80 | ((v >> 6) & 0x3F));
                out[o++] = (char)(0x80 | (v & 0x3F));
            } else {
                out[o++] = (char)(0xF0 | (v >> 18));
                out[o++] = (char)(0x80 | ((v >> 12) & 0x3F));
                out[o++] = (char)(0x80 | ((v >> 6) & 0x3F));
                out[o++] = (char)(0x80 | (v & 0x3F));
            }
        }
        p = semi + 1;
    }
    out[o] = 0;
    return p - s;
}

xmlrd *xml_open(const char *s, size_t n, char *err, size_t errn) {
    if (!s) {
        snprintf(err, errn, "empty xml");
        return nullptr;
    }
    if (n > XML_MAX_DOC) {
        snprintf(err, errn, "xml over %u bytes", (unsigned)XML_MAX_DOC);
        return nullptr;
    }
    if (memchr(s, 0, n)) {
        snprintf(err, errn, "NUL byte in xml");
        return nullptr;
    }
    xmlrd *x = (xmlrd *)calloc(1, sizeof *x);
    if (!x) {
        snprintf(err, errn, "out of memory");
        return nullptr;
    }
    x->p = s;
    x->end = s + n;
    return x;
}

static const char *find(const char *p, const char *e, const char *pat) {
    size_t pl = strlen(pat);
    for (; p + pl <= e; p++)
        if (memcmp(p, pat, pl) == 0) return p;
    return nullptr;
}

int xml_next(xmlrd *x, const char **name, size_t *namelen) {
    if (!x) return 0;
    for (;;) {
        if (x->p >= x->end) return 0;
        if (*x->p != '<') {
            const char *lt = (const char *)memchr(x->p, '<', (size_t)(x->end - x->p));
            const char *e = lt ? lt : x->end;
            long used = decode(x->p, e, x->text, sizeof x->text);
            if (used < 0) return fail(x, "bad entity");
            x->p += used;
            x->ev = XML_EV_TEXT;
            *name = x->text;
            *namelen = strlen(x->text);
            return XML_EV_TEXT;
        }
        const char *p = ++x->p;
        if (p >= x->end) return fail(x, "truncated tag");
        if (*p == '!') {
            if (x->end - p > 3 && memcmp(p, "!--", 3) == 0) {
                const char *c = find(p + 3, x->end, "-->");
                if (!c) return fail(x, "unterminated comment");
                x->p = c + 3;
                continue;
            }
            if (x->end - p > 8 && memcmp(p, "![CDATA[", 8) == 0) {
                const char *c = find(p + 8, x->end, "]]>");
                if (!c) return fail(x, "unterminated CDATA");
                size_t len = (size_t)(c - p - 8);
                if (len > sizeof x->text - 1) len = sizeof x->text - 1;
                memcpy(x->text, p + 8, len);
                x->text[len] = 0;
                x->p = c + 3;
                x->ev = XML_EV_TEXT;
                *name = x->text;
                *namelen = len;
                return XML_EV_TEXT;
            }
            return fail(x, "DOCTYPE/declaration not allowed");
        }
        if (*p == '?') {
            const char *c = find(p + 1, x->end, "?>");
            if (!c) return fail(x, "unterminated processing instruction");
            x->p = c + 2;
            continue;
        }
        bool end_tag = *p == '/';
        if (end_tag) p++;
        const char *ns = p;
        while (p < x->end && is_name((unsigned char)*p)) p++;
        size_t nl = (size_t)(p - ns);
        if (end_tag) {
            while (p < x->end && is_ws(*p)) p++;
            if (p >= x->end || *p != '>') return fail(x, "malformed end tag");
            x->p = p + 1;
            x->depth--;
            x->ev = XML_EV_END;
        } else {
            if (nl == 0) return fail(x, "malformed tag");
            if (++x->depth > XML_MAX_DEPTH) return fail(x, "nesting deeper than 32");
            x->nattr = 0;
            bool self = false;
            for (;;) {
                while (p < x->end && is_ws(*p)) p++;
                if (p >= x->end) return fail(x, "truncated tag");
                if (*p == '>') break;
                if (*p == '/') {
                    if (p + 1 >= x->end || p[1] != '>') return fail(x, "malformed self-close");
                    self = true;
                    p++;
                    break;
                }
                const char *an = p;
                while (p < x->end && is_name((unsigned char)*p)) p++;
                if (p == an) return fail(x, "malformed attribute");
                size_t anl = (size_t)(p - an);
                while (p < x->end && is_ws(*p)) p++;
                if (p >= x->end || *p != '=') return fail(x, "attribute without value");
                p++;
                while (p < x->end && is_ws(*p)) p++;
                if (p >= x->end || (*p != '"' && *p != '\'')) return fail(x, "attribute without quote");
                char q = *p++;
                const char *vs = p;
                while (p < x->end && *p != q) {
                    if (*p == '<') return fail(x, "'<' in attribute");
                    p++;
                }
                if (p >= x->end) return fail(x, "unterminated attribute");
                if (x->nattr < XML_MAX_ATTR) {
                    xml_attr_t &a = x->attr[x->nattr];
                    size_t cl = anl < sizeof a.name - 1 ? anl : sizeof a.name - 1;
                    memcpy(a.name, an, cl);
                    a.name[cl] = 0;
                    if (decode(vs, p, a.val, sizeof a.val) != p - vs)
                        return fail(x, "bad entity in attribute");
                    x->nattr++;
                }
                p++;
            }
            x->p = p + 1;
            if (self) x->depth--;
            x->ev = XML_EV_START;
        }
        if (nl > sizeof x->name - 1) nl = sizeof x->name - 1;
        memcpy(x->name, ns, nl);
        x->name[nl] = 0;
        *name = x->name;
        *namelen = nl;
        return x->ev;
    }
}

int xml_event(const xmlrd *x) {
    return x ? x->ev : 0;
}
int xml_depth(const xmlrd *x) {
    return x ? x->depth : 0;
}

const char *xml_attr(const xmlrd *x, const char *name) {
    if (!x || !name || x->ev != XML_EV_START) return nullptr;
    for (int i = 0; i < x->nattr; i++)
        if (strcmp(x->attr[i].name, name) == 0) return x->attr[i].val;
    return nullptr;
}

const char *xml_text(const xmlrd *x) {
    return x && x->ev == XML_EV_TEXT ? x->text : "";
}

void xml_close(xmlrd *x) {
    free(x);
}
