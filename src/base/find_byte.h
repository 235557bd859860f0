// The first byte of a set, 16 bytes at a time: the one search every scanner of the
// parsers' hot paths is made of (element texts, attribute values, names, references,
// URLs, the object count). A set is a few single bytes and ranges, known where the scan
// is written; each body turns it into compares. The body is chosen when compiling: SSE2
// on x86-64, NEON on aarch64, and the scalar one elsewhere or when the build turns the
// vector bodies off (KVDMC_NO_SIMD). Every body gives the same answers, and none reads a
// byte outside the range it is given.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

// Bytes lo to hi, both included, as unsigned values.
struct byte_range {
    unsigned char lo, hi;
};

// Up to E single bytes and R ranges; with invert, every byte but those.
template <size_t E, size_t R> struct byte_set {
    std::array<unsigned char, E> bytes;
    std::array<byte_range, R> ranges;
    bool invert;

    constexpr bool has(unsigned char c) const {
        bool in = false;
        for (unsigned char b : bytes) in |= c == b;
        for (byte_range r : ranges) in |= (unsigned char)(c - r.lo) <= (unsigned char)(r.hi - r.lo);
        return in != invert;
    }
};

// The set of the bytes given (none for an empty set to add ranges to).
template <typename... C> constexpr byte_set<sizeof...(C), 0> bytes_of(C... c) {
    return {{{(unsigned char)c...}}, {}, false};
}
// s and the bytes of r.
template <size_t E, size_t R> constexpr byte_set<E, R + 1> operator|(const byte_set<E, R> &s, byte_range r) {
    byte_set<E, R + 1> t{s.bytes, {}, s.invert};
    for (size_t i = 0; i < R; i++) t.ranges[i] = s.ranges[i];
    t.ranges[R] = r;
    return t;
}
// Every byte that s does not hold.
template <size_t E, size_t R> constexpr byte_set<E, R> all_but(const byte_set<E, R> &s) {
    return {s.bytes, s.ranges, !s.invert};
}

// Each body: block_mask(p, s) marks the bytes of the 16 at p that s holds, in a mask that
// tells whether any is (any), which comes first (first), and combines with and_not;
// find_first(p, end, s) is the first byte of [p, end) that s holds, or end.

namespace bytes_scalar {

struct mask {
    unsigned bits; // bit i for byte i
};
inline bool any(mask m) {
    return m.bits != 0;
}
inline unsigned first(mask m) {
    return (unsigned)__builtin_ctz(m.bits);
}
inline mask and_not(mask a, mask b) {
    return {a.bits & ~b.bits};
}

template <size_t E, size_t R> inline mask block_mask(const char *p, const byte_set<E, R> &s) {
    unsigned bits = 0;
    for (unsigned i = 0; i < 16; i++) bits |= (unsigned)s.has((unsigned char)p[i]) << i;
    return {bits};
}

template <size_t E, size_t R>
inline const char *find_first(const char *p, const char *end, const byte_set<E, R> &s) {
    while (p < end && !s.has((unsigned char)*p)) p++;
    return p;
}

} // namespace bytes_scalar

#if defined(__SSE2__)
namespace bytes_sse2 {

struct mask {
    unsigned bits; // bit i for byte i (movemask)
};
inline bool any(mask m) {
    return m.bits != 0;
}
inline unsigned first(mask m) {
    return (unsigned)__builtin_ctz(m.bits);
}
inline mask and_not(mask a, mask b) {
    return {a.bits & ~b.bits};
}

// The lanes of b within r. SSE2 compares bytes as signed only, so each shape of range
// takes the cheapest test that holds for it: a sign test for the high half, the unsigned
// minimum or maximum for a range from 0 or to 255, and otherwise a shift of the range to
// start at -128.
inline __m128i in_range(__m128i b, byte_range r) {
    if (r.lo == r.hi) return _mm_cmpeq_epi8(b, _mm_set1_epi8((char)r.lo));
    if (r.lo == 0x80 && r.hi == 0xFF) return _mm_cmplt_epi8(b, _mm_setzero_si128());
    if (r.lo == 0) return _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8((char)r.hi)), b);
    if (r.hi == 0xFF) return _mm_cmpeq_epi8(_mm_max_epu8(b, _mm_set1_epi8((char)r.lo)), b);
    __m128i shifted = _mm_add_epi8(b, _mm_set1_epi8((char)(0x80 - r.lo)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8((char)(r.hi - r.lo + 1 - 0x80)));
}

template <size_t E, size_t R> inline mask block_mask(const char *p, const byte_set<E, R> &s) {
    // A copy rather than a load: a caller that moves the same 16 bytes loads them once.
    __m128i b;
    memcpy(&b, p, sizeof b);
    __m128i hit = _mm_setzero_si128();
    for (unsigned char c : s.bytes) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(b, _mm_set1_epi8((char)c)));
    for (byte_range r : s.ranges) hit = _mm_or_si128(hit, in_range(b, r));
    unsigned bits = (unsigned)_mm_movemask_epi8(hit);
    return {s.invert ? ~bits & 0xFFFF : bits};
}

template <size_t E, size_t R>
inline const char *find_first(const char *p, const char *end, const byte_set<E, R> &s) {
    for (; end - p >= 16; p += 16)
        if (mask m = block_mask(p, s); any(m)) return p + first(m);
    return bytes_scalar::find_first(p, end, s);
}

} // namespace bytes_sse2
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
namespace bytes_neon {

struct mask {
    uint64_t bits; // four bits for byte i, from bit 4 * i
};
inline bool any(mask m) {
    return m.bits != 0;
}
inline unsigned first(mask m) {
    return (unsigned)__builtin_ctzll(m.bits) >> 2;
}
inline mask and_not(mask a, mask b) {
    return {a.bits & ~b.bits};
}

inline uint8x16_t in_range(uint8x16_t b, byte_range r) {
    if (r.lo == r.hi) return vceqq_u8(b, vdupq_n_u8(r.lo));
    if (r.lo == 0) return vcleq_u8(b, vdupq_n_u8(r.hi));
    if (r.hi == 0xFF) return vcgeq_u8(b, vdupq_n_u8(r.lo));
    return vcleq_u8(vsubq_u8(b, vdupq_n_u8(r.lo)), vdupq_n_u8((uint8_t)(r.hi - r.lo)));
}

template <size_t E, size_t R> inline mask block_mask(const char *p, const byte_set<E, R> &s) {
    uint8x16_t b = vld1q_u8(reinterpret_cast<const uint8_t *>(p));
    uint8x16_t hit = vdupq_n_u8(0);
    for (unsigned char c : s.bytes) hit = vorrq_u8(hit, vceqq_u8(b, vdupq_n_u8(c)));
    for (byte_range r : s.ranges) hit = vorrq_u8(hit, in_range(b, r));
    if (s.invert) hit = vmvnq_u8(hit);
    // NEON has no byte mask move: narrowing each 16-bit lane by 4 bits leaves one nibble
    // per byte in a 64-bit word.
    uint8x8_t nib = vshrn_n_u16(vreinterpretq_u16_u8(hit), 4);
    return {vget_lane_u64(vreinterpret_u64_u8(nib), 0)};
}

template <size_t E, size_t R>
inline const char *find_first(const char *p, const char *end, const byte_set<E, R> &s) {
    for (; end - p >= 16; p += 16)
        if (mask m = block_mask(p, s); any(m)) return p + first(m);
    return bytes_scalar::find_first(p, end, s);
}

} // namespace bytes_neon
#endif

#if !defined(KVDMC_NO_SIMD) && defined(__SSE2__)
namespace byte_scan = bytes_sse2;
#elif !defined(KVDMC_NO_SIMD) && defined(__aarch64__) && defined(__ARM_NEON)
namespace byte_scan = bytes_neon;
#else
namespace byte_scan = bytes_scalar;
#endif

// The first c in [p, end), or null. The texts searched here (an element's text, the
// fields of a protocolInfo) are a few dozen bytes: a call to memchr costs more than
// the search.
inline const char *find_byte(const char *p, const char *end, char c) {
    const char *at = byte_scan::find_first(p, end, bytes_of(c));
    return at < end ? at : nullptr;
}
