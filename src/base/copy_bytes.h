// Short copies without a library call, for the parsers' hot paths.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Names and values are mostly short: up to 64 bytes are copied as two
// overlapping fixed-size moves, which inline to a few instructions. Longer
// copies call memcpy with the length hidden from g++: when it can bound a
// copy (every buffer here is small and fixed) it expands memcpy into
// "rep movsq", whose start-up cost dwarfs these copies.
inline void copy_bytes(char *dst, const char *src, size_t n) {
    if (n >= 16) {
        if (n <= 32) {
            char a[16], b[16];
            memcpy(a, src, 16);
            memcpy(b, src + n - 16, 16);
            memcpy(dst, a, 16);
            memcpy(dst + n - 16, b, 16);
            return;
        }
        if (n <= 64) { // URLs and protocolInfo values
            char a[32], b[32];
            memcpy(a, src, 32);
            memcpy(b, src + n - 32, 32);
            memcpy(dst, a, 32);
            memcpy(dst + n - 32, b, 32);
            return;
        }
        asm("" : "+r"(n));
        memcpy(dst, src, n);
    } else if (n >= 8) {
        uint64_t a, b;
        memcpy(&a, src, 8);
        memcpy(&b, src + n - 8, 8);
        memcpy(dst, &a, 8);
        memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        memcpy(&a, src, 4);
        memcpy(&b, src + n - 4, 4);
        memcpy(dst, &a, 4);
        memcpy(dst + n - 4, &b, 4);
    } else if (n) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}
