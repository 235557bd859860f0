#include "base/util.h"

#include "base/find_byte.h"
#include "base/readers/textread.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void *(*g_sb_realloc)(void *p, size_t n) = realloc;

static const char s_empty[1] = "";

void sb_init(sbuf *b) {
    sb_init_limit(b, 0);
}

void sb_init_limit(sbuf *b, size_t limit) {
    b->p = nullptr;
    b->n = 0;
    b->cap = 0;
    b->oom = 0;
    b->limit = limit;
    b->over = 0;
}

void sb_free(sbuf *b) {
    free(b->p);
    sb_init_limit(b, b->limit);
}

void sb_reset(sbuf *b) {
    b->n = 0;
    if (b->p) b->p[0] = 0;
    b->oom = 0;
    b->over = 0;
}

char *sb_release(sbuf *b) {
    if (!b->p) sb_putn(b, "", 0);
    char *p = b->oom ? nullptr : b->p;
    if (p) b->p = nullptr;
    sb_free(b);
    return p;
}

void sb_adopt(sbuf *b, char *p, size_t n) {
    free(b->p);
    b->p = p;
    b->n = n;
    b->cap = n + 1;
    b->oom = 0;
    b->over = 0;
}

static int sb_grow(sbuf *b, size_t add) {
    if (b->oom || b->over) return -1;
    if (b->limit && add > b->limit - b->n) {
        b->over = 1;
        return -1;
    }
    if (add > SIZE_MAX / 4 - b->n) {
        b->oom = 1;
        return -1;
    }
    size_t need = b->n + add + 1;
    if (b->cap >= need) return 0;
    size_t cap = b->cap ? b->cap : 256;
    while (cap < need) cap *= 2;
    if (b->limit && cap > b->limit + 1) cap = b->limit + 1;
    char *np = (char *)g_sb_realloc(b->p, cap);
    if (!np) {
        b->oom = 1;
        return -1;
    }
    b->p = np;
    b->cap = cap;
    return 0;
}

int sb_reserve(sbuf *b, size_t len) {
    return sb_grow(b, len);
}

void sb_putn(sbuf *b, const char *s, size_t len) {
    if (sb_grow(b, len) != 0) return;
    if (len) memcpy(b->p + b->n, s, len);
    b->n += len;
    b->p[b->n] = 0;
}

void sb_puts(sbuf *b, const char *s) {
    if (s) sb_putn(b, s, strlen(s));
}

void sb_putc(sbuf *b, char c) {
    sb_putn(b, &c, 1);
}

void sb_printf(sbuf *b, const char *fmt, ...) {
    char scratch[512];
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (len < 0) return;
    if (len < (int)sizeof scratch) {
        sb_putn(b, scratch, (size_t)len);
        return;
    }
    if (sb_grow(b, (size_t)len) != 0) return;
    va_start(ap, fmt);
    vsnprintf(b->p + b->n, (size_t)len + 1, fmt, ap);
    va_end(ap);
    b->n += (size_t)len;
}

void sb_i64(sbuf *b, int64_t v) {
    char digits[24];
    char *e = digits + sizeof digits, *p = e;
    uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    do *--p = (char)('0' + u % 10);
    while (u /= 10);
    if (v < 0) *--p = '-';
    sb_putn(b, p, (size_t)(e - p));
}

const char *sb_str(const sbuf *b) {
    return b->p ? b->p : s_empty;
}

void sb_xml(sbuf *b, const char *s) {
    if (!s) return;
    const unsigned char *u = (const unsigned char *)s;
    const unsigned char *run = u;
    // Plain bytes are appended in runs; only replacements break a run.
    for (;; u++) {
        unsigned c = *u;
        const char *rep = nullptr;
        size_t rl = 0;
        switch (c) {
        case 0:
            break;
        case '"':
            rep = "&quot;", rl = 6;
            break;
        case '&':
            rep = "&amp;", rl = 5;
            break;
        case '\'':
            rep = "&apos;", rl = 6;
            break;
        case '<':
            rep = "&lt;", rl = 4;
            break;
        case '>':
            rep = "&gt;", rl = 4;
            break;
        case '\t':
        case '\n':
        case '\r':
            continue;
        default:
            if (c < 0x20)
                rep = "", rl = 0;
            else
                continue;
        }
        if (u > run) sb_putn(b, (const char *)run, (size_t)(u - run));
        if (c == 0) return;
        if (rl) sb_putn(b, rep, rl);
        run = u + 1;
    }
}

void sb_utf8(sbuf *b, const char *s) {
    if (s) utf8_pieces(s, [b](const char *p, size_t n) { sb_putn(b, p, n); });
}

namespace {

bool url_unsafe(unsigned char c) {
    return c <= 0x20 || c >= 0x7F;
}

// The URL without the spaces and control bytes around it.
void url_trim(const char *&url, size_t &len) {
    while (len && (unsigned char)url[0] <= 0x20) url++, len--;
    while (len && (unsigned char)url[len - 1] <= 0x20) len--;
}

// The index of the first byte of url[0, len) that needs escaping, or len. Nearly every URL
// a server sends needs none, so it is looked for 16 bytes at a time.
size_t url_first_unsafe(const char *url, size_t len) {
    constexpr auto unsafe = all_but(bytes_of() | byte_range{0x21, 0x7E});
    return (size_t)(byte_scan::find_first(url, url + len, unsafe) - url);
}

// Calls put(text, n) for the encoded URL in pieces: runs of safe bytes, single escapes.
template <typename Put> void url_pieces(const char *url, size_t len, Put put) {
    static const char hex[] = "0123456789ABCDEF";
    url_trim(url, len);
    size_t run = 0;
    for (size_t i = url_first_unsafe(url, len); i < len; i++) {
        unsigned char c = (unsigned char)url[i];
        if (!url_unsafe(c)) continue;
        if (i > run && !put(url + run, i - run)) return;
        const char esc[3] = {'%', hex[c >> 4], hex[c & 15]};
        if (!put(esc, 3)) return;
        run = i + 1;
    }
    if (len > run) put(url + run, len - run);
}

} // namespace

void sb_url(sbuf *b, const char *url, size_t len) {
    url_pieces(url, len, [b](const char *p, size_t n) {
        sb_putn(b, p, n);
        return true;
    });
}

size_t url_copy(char *dst, size_t cap, const char *url, size_t len) {
    if (!cap) return 0;
    size_t have = 0;
    bool whole = true;
    url_pieces(url, len, [&](const char *p, size_t n) {
        if (n > cap - 1 - have) return whole = false;
        memcpy(dst + have, p, n);
        have += n;
        return true;
    });
    if (!whole) have = 0;
    dst[have] = 0;
    return have;
}

bool url_host_span(const char *url, const char **host, size_t *len) {
    const char *sep = url ? strstr(url, "://") : nullptr;
    if (!sep) return false;
    const char *a = sep + 3, *end = a + strcspn(a, "/?#");
    for (const char *p = end; p > a; p--) // user info ends at the authority's last '@'
        if (p[-1] == '@') {
            a = p;
            break;
        }
    const char *h = a;
    if (*a == '[') { // an IPv6 literal keeps its colons
        const char *rb = (const char *)memchr(a, ']', (size_t)(end - a));
        h = rb ? rb + 1 : end;
    } else {
        while (h < end && *h != ':') h++;
    }
    *host = a;
    *len = (size_t)(h - a);
    return *len > 0;
}

// Shared by both JSON string writers; they differ only in how backspace and
// form feed are written (short escapes or the \u form). Devices send texts in
// any encoding: bytes that are not well-formed UTF-8 are written as U+FFFD, so
// the JSON is always valid.
static void json_escaped(sbuf *b, const char *s, bool short_bf) {
    sb_putc(b, '"');
    if (s) {
        const unsigned char *u = (const unsigned char *)s;
        const unsigned char *run = u;
        for (;; u++) {
            unsigned c = *u;
            if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') continue;
            if (c >= 0x80) {
                if (int n = utf8_seq(u)) {
                    u += n - 1;
                    continue;
                }
            }
            if (u > run) sb_putn(b, (const char *)run, (size_t)(u - run));
            if (c == 0) break;
            switch (c) {
            case '"':
                sb_putn(b, "\\\"", 2);
                break;
            case '\\':
                sb_putn(b, "\\\\", 2);
                break;
            case '\n':
                sb_putn(b, "\\n", 2);
                break;
            case '\r':
                sb_putn(b, "\\r", 2);
                break;
            case '\t':
                sb_putn(b, "\\t", 2);
                break;
            default:
                if (c >= 0x80) {
                    sb_putn(b, "\xEF\xBF\xBD", 3);
                } else if (short_bf && c == '\b') {
                    sb_putn(b, "\\b", 2);
                } else if (short_bf && c == '\f') {
                    sb_putn(b, "\\f", 2);
                } else {
                    static const char hex[] = "0123456789abcdef";
                    const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                    sb_putn(b, esc, 6);
                }
            }
            run = u + 1;
        }
    }
    sb_putc(b, '"');
}

void sb_json_str(sbuf *b, const char *s) {
    json_escaped(b, s, true);
}
void sb_json_str_u(sbuf *b, const char *s) {
    json_escaped(b, s, false);
}

int str_nieq(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int ca = tolower((unsigned char)a[i]);
        int cb = tolower((unsigned char)b[i]);
        if (ca != cb) return 0;
        if (ca == 0) return 1;
    }
    return 1;
}

int parse_ipv4(const char *s, uint32_t *out) {
    if (!s) return -1;
    unsigned char parts[4];
    const char *p = s;
    for (int i = 0; i < 4; i++) {
        int digits = 0;
        unsigned v = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3) return -1;
            v = v * 10 + (unsigned)(*p - '0');
            p++;
        }
        if (digits == 0 || v > 255) return -1;
        parts[i] = (unsigned char)v;
        if (i < 3) {
            if (*p != '.') return -1;
            p++;
        } else if (*p != 0) {
            return -1;
        }
    }
    if (out) memcpy(out, parts, 4);
    return 0;
}

void str_copyn(char *dst, size_t cap, const char *src, size_t len) {
    if (cap == 0) return;
    if (!src) len = 0;
    len = utf8_cut(src, len, cap - 1);
    if (len) memcpy(dst, src, len);
    dst[len] = 0;
}

void str_copy(char *dst, size_t cap, const char *src) {
    str_copyn(dst, cap, src, src ? strlen(src) : 0);
}

void ws_trim(const char **s, size_t *len) {
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    const char *a = *s, *e = a + *len;
    while (a < e && ws(*a)) a++;
    while (e > a && ws(e[-1])) e--;
    *s = a;
    *len = (size_t)(e - a);
}

void str_fmt(char *dst, size_t cap, const char *fmt, ...) {
    if (cap == 0) return;
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(dst, cap, fmt, ap);
    va_end(ap);
    if (r < 0) dst[0] = 0;
}
