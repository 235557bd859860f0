// Text builder, escapers and small shared text helpers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/readers/textread.h"

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
void sb_xml(sbuf *b, const char *s);
void sb_json_str(sbuf *b, const char *s);
// The same, but backspace and form feed in the \u form (item and device JSON).
void sb_json_str_u(sbuf *b, const char *s);

// Text of any encoding as UTF-8: bytes that are not well-formed UTF-8 become U+FFFD.
void sb_utf8(sbuf *b, const char *s);
// The pieces of s as valid UTF-8, in order: runs of good text whole (most texts are one run),
// and U+FFFD for each byte that starts no character. put(const char *, size_t).
template <typename Put> void utf8_pieces(const char *s, Put put) {
    const unsigned char *u = (const unsigned char *)s, *run = u;
    while (*u) {
        if (*u < 0x80) {
            u++;
            continue;
        }
        if (int n = utf8_seq(u)) {
            u += n;
            continue;
        }
        put((const char *)run, (size_t)(u - run));
        put("\xEF\xBF\xBD", 3);
        run = ++u;
    }
    put((const char *)run, (size_t)(u - run));
}

// URLs as valid text: bytes beyond ASCII, spaces and control bytes are percent-encoded
// (caf\xE9 1.mp3 becomes caf%E9%201.mp3, the same resource for an HTTP server), and
// the spaces and control bytes around the URL go. Everything else stays as written.
void sb_url(sbuf *b, const char *url, size_t len);
// The same into a field of cap bytes; returns its length, or 0 (and an empty field) when
// it does not fit whole: a URL cut short names another resource.
size_t url_copy(char *dst, size_t cap, const char *url, size_t len);
// The host of an absolute URL: the authority after "://" without user info and port (an
// IPv6 literal with its brackets). False when there is none.
bool url_host_span(const char *url, const char **host, size_t *len);

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

int str_nieq(const char *a, const char *b, size_t n);
int parse_ipv4(const char *s, uint32_t *out);

// Copy into a fixed field of cap bytes, cut silently on a UTF-8 character boundary
// (utf8_cut); always NUL-terminated.
void str_copy(char *dst, size_t cap, const char *src);
void str_copyn(char *dst, size_t cap, const char *src, size_t len);
// Narrows [*s, *s + *len) to its text without the XML white space around it.
void ws_trim(const char **s, size_t *len);
// printf into a fixed field, cut silently.
void str_fmt(char *dst, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Allocation hook of the builder, so tests can make enlargement fail.
extern void *(*g_sb_realloc)(void *p, size_t n);
