// The escapers: XML text and attributes, JSON strings, UTF-8 repair and URL
// percent-encoding, each writing runs of plain bytes whole.
#include "base/escape.h"

#include <string.h>

#include "base/find_byte.h"

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
