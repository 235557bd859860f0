// Readers of untrusted text shared by the library and the command-line tool: the one
// decimal integer reader, the one UTF-8-safe cut and the one case fold. Header-only so
// the tool, which links only the exported API, reads its options the same way.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The only case fold of the component and the tool. What is matched in any letter case is
// ASCII (header names, NTS values, URL schemes, MIME types, UDNs, option names), and a host's
// locale must not change what matches: the C library's tolower folds other bytes under some.
constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

enum : unsigned { INT_BLANKS = 1, INT_SIGN = 2 };

// Reads [blanks][sign]digits from *p, up to end (null: up to the NUL), as the C
// library's string-to-integer conversions read them, but saturating at +-max instead
// of overflowing (max >= 0). Blanks and the sign are accepted only when flags allow.
// Returns true and moves *p past the digits when there is at least one; otherwise
// returns false with *out = 0 and *p unchanged.
inline bool read_int(const char **p, const char *end, int64_t max, int64_t *out,
                     unsigned flags = INT_BLANKS | INT_SIGN) {
    const char *s = *p;
    auto more = [&](const char *q) { return end ? q < end : *q != 0; };
    if (flags & INT_BLANKS)
        while (more(s) && (*s == ' ' || (*s >= '\t' && *s <= '\r'))) s++;
    bool neg = false;
    if ((flags & INT_SIGN) && more(s) && (*s == '-' || *s == '+')) neg = *s++ == '-';
    *out = 0;
    if (!more(s) || *s < '0' || *s > '9') return false;
    uint64_t v = 0;
    const uint64_t lim = (uint64_t)max;
    for (; more(s) && *s >= '0' && *s <= '9'; s++)
        if (v <= lim) v = v * 10 + (uint64_t)(*s - '0'); // cannot wrap: lim < 2^63
    if (v > lim) v = lim;
    *out = neg ? -(int64_t)v : (int64_t)v;
    *p = s;
    return true;
}

// read_int of a whole NUL-terminated text's leading number; 0 when it has none.
inline int64_t leading_int(const char *s, int64_t max) {
    int64_t v = 0;
    if (s) read_int(&s, nullptr, max, &v);
    return v;
}

// Length of the longest prefix of s[0, len) that fits max bytes without splitting a
// UTF-8 sequence: a cut text handed on as UTF-8 must stay valid. Bytes that are not
// UTF-8 at the cut are cut where they fall.
inline size_t utf8_cut(const char *s, size_t len, size_t max) {
    if (len <= max) return len;
    auto cont = [&](size_t k) { return ((unsigned char)s[k] & 0xC0) == 0x80; };
    if (!cont(max)) return max; // the cut falls on a character boundary
    size_t k = max;
    // A lead byte is at most three continuation bytes back.
    while (k > 0 && max - k < 3 && cont(k)) k--;
    return cont(k) ? max : k;
}

// Length of the well-formed UTF-8 sequence at s (1 to 4), or 0 when the bytes there are
// not one: a stray continuation byte, an overlong form, a surrogate, a code point beyond
// U+10FFFF, or a sequence cut short (a NUL ends it, so nothing past one is read).
inline int utf8_seq(const unsigned char *s) {
    unsigned c = s[0];
    if (c < 0x80) return 1;
    int n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0; // overlong
        if (c == 0xED) hi = 0x9F; // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90; // overlong
        if (c == 0xF4) hi = 0x8F; // beyond U+10FFFF
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi) return 0;
    for (int i = 2; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return n;
}
