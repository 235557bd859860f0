// The text builder: a growable, always NUL-terminated byte buffer every writer of JSON,
// XML and request texts appends to.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Growable, always NUL-terminated byte buffer with an out-of-memory latch and an
// optional limit: text beyond the limit is refused and latched as `over`.
struct sbuf {
    char *p;
    size_t n;
    size_t cap;
    int oom;
    size_t limit; // 0: none
    int over;
};

void sb_init(sbuf *b);
void sb_init_limit(sbuf *b, size_t limit);
// Hands the text (a malloc'd buffer, never null unless out of memory) to the caller
// and leaves the builder empty.
char *sb_release(sbuf *b);
// Makes p (malloc'd, n bytes of text and a NUL) the builder's buffer in place of what it
// held: a text that arrived in a heap buffer of its own becomes the builder's without a copy.
// For a builder without a limit (none is checked).
void sb_adopt(sbuf *b, char *p, size_t n);
void sb_free(sbuf *b);
void sb_reset(sbuf *b);
void sb_putn(sbuf *b, const char *s, size_t len);
// Room for len more bytes and the NUL, made in one step: 0, or -1 with oom or over latched.
int sb_reserve(sbuf *b, size_t len);
void sb_puts(sbuf *b, const char *s);
void sb_putc(sbuf *b, char c);
void sb_printf(sbuf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A decimal integer, without printf's cost in the JSON writers' inner loops.
void sb_i64(sbuf *b, int64_t v);
const char *sb_str(const sbuf *b);

// RAII owner for callers that build a text in a scope.
struct sbuf_scoped {
    sbuf b;
    sbuf_scoped() { sb_init(&b); }
    ~sbuf_scoped() { sb_free(&b); }
    sbuf_scoped(const sbuf_scoped &) = delete;
    sbuf_scoped &operator=(const sbuf_scoped &) = delete;
    sbuf *operator&() { return &b; }
    const char *str() const { return sb_str(&b); }
};

// Allocation hook of the builder, so tests can make enlargement fail.
extern void *(*g_sb_realloc)(void *p, size_t n);
