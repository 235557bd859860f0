// The text builder: growth with an out-of-memory latch and an optional limit.
#include "base/sbuf.h"

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
