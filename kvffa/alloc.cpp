// Heap allocation of the layer. All of its blocks come from here, so a test
// can make any one of them fail and walk the out-of-memory paths.
#include <stdlib.h>
#include <string.h>

#include "kvffa_int.h"
#include "kvffa_test.h"

namespace {
kvffa_alloc_hook s_hook = nullptr;

bool refused(size_t n) {
    return s_hook && s_hook(n) != 0;
}
} // namespace

void kvffa__test_alloc_hook(kvffa_alloc_hook hook) {
    s_hook = hook;
}

void *ffa_malloc(size_t n) {
    if (refused(n)) return nullptr;
    return malloc(n ? n : 1);
}

void *ffa_realloc(void *p, size_t n) {
    if (refused(n)) return nullptr;
    return realloc(p, n ? n : 1);
}

char *ffa_strndup(const char *s, size_t n) {
    if (!s) return nullptr;
    char *d = static_cast<char *>(ffa_malloc(n + 1));
    if (!d) return nullptr;
    memcpy(d, s, n);
    d[n] = 0;
    return d;
}

char *kvffa__strdup(const char *text) {
    return text ? ffa_strndup(text, strlen(text)) : nullptr;
}
