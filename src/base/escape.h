// The escapers: texts written into XML, JSON and URLs as valid text of each, whatever
// bytes a device or the host gave.
#pragma once

#include <stddef.h>

#include "base/readers/textread.h"
#include "base/sbuf.h"

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
