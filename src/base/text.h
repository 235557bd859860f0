// Small text helpers: comparisons in any ASCII letter case, copies into fixed fields,
// trimming, and the few fixed-form texts (an IPv4 address, the host of a URL) read below
// the parsers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/readers/textread.h" // ascii_lower, the one case fold

// 1 when the first n bytes of a and b (or both up to a common NUL) are equal in ASCII
// letter case, else 0.
int str_nieq(const char *a, const char *b, size_t n);
// True when [a, a + n) is the text b in any ASCII letter case.
bool str_ieq_span(const char *a, size_t n, const char *b);

int parse_ipv4(const char *s, uint32_t *out);

// Copy into a fixed field of cap bytes, cut silently on a UTF-8 character boundary
// (utf8_cut); always NUL-terminated.
void str_copy(char *dst, size_t cap, const char *src);
void str_copyn(char *dst, size_t cap, const char *src, size_t len);
// Narrows [*s, *s + *len) to its text without the XML white space around it.
void ws_trim(const char **s, size_t *len);
// printf into a fixed field, cut silently.
void str_fmt(char *dst, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The host of an absolute URL: the authority after "://" without user info and port (an
// IPv6 literal with its brackets). False when there is none.
bool url_host_span(const char *url, const char **host, size_t *len);
