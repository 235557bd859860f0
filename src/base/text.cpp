// Small text helpers: the ASCII case fold, fixed-field copies, trimming, IPv4 and URL hosts.
#include "base/text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/readers/textread.h"

int str_nieq(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        char ca = ascii_lower(a[i]);
        char cb = ascii_lower(b[i]);
        if (ca != cb) return 0;
        if (ca == 0) return 1;
    }
    return 1;
}

bool str_ieq_span(const char *a, size_t n, const char *b) {
    return strlen(b) == n && str_nieq(a, b, n);
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
