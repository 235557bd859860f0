// Heap allocation of the layer. All of its blocks come from here, so a test
// can make any one of them fail and walk the out-of-memory paths; and the
// arena that keeps texts released together.
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

namespace {
constexpr size_t ARENA_FIRST = 4096, ARENA_MAX = 1 << 20;
}

char *ffa_arena::alloc(size_t n) {
    if (!head_ || head_->cap - head_->used < n) {
        size_t want = next_ ? next_ : ARENA_FIRST;
        if (want < n) want = n;
        if (want > SIZE_MAX - sizeof(chunk)) return nullptr;
        auto *c = static_cast<chunk *>(ffa_malloc(sizeof(chunk) + want));
        if (!c) return nullptr;
        c->prev = head_;
        c->cap = want;
        c->used = 0;
        head_ = c;
        next_ = want < ARENA_MAX ? want * 2 : ARENA_MAX;
    }
    char *p = head_->data() + head_->used;
    head_->used += n;
    return p;
}

char *ffa_arena::copy(const char *s, size_t n) {
    char *d = n < SIZE_MAX ? alloc(n + 1) : nullptr;
    if (d) {
        memcpy(d, s, n);
        d[n] = 0;
    }
    return d;
}

void ffa_arena::rollback(mark m) {
    while (head_ && head_ != m.chunk) {
        chunk *prev = head_->prev;
        ffa_free(head_);
        head_ = prev;
    }
    if (head_) head_->used = m.used;
}

void ffa_arena::release() {
    rollback({nullptr, 0});
    next_ = 0;
}
