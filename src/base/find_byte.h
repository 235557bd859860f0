// Short searches without a library call, for the parsers' hot paths.
#pragma once

#include <stddef.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The first c in [p, end), or null. The texts searched here (an element's text, the
// fields of a protocolInfo) are a few dozen bytes: a call to memchr costs more than
// the search.
inline const char *find_byte(const char *p, const char *end, char c) {
#ifdef __SSE2__
    const __m128i v = _mm_set1_epi8(c);
    for (; end - p >= 16; p += 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (unsigned bits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(b, v))) return p + __builtin_ctz(bits);
    }
#endif
    for (; p < end; p++)
        if (*p == c) return p;
    return nullptr;
}
