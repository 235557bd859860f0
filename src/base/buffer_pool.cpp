#include "base/buffer_pool.h"

#include <stdlib.h>

#include "platform/plat.h"

namespace {

plat_once_t s_once = PLAT_ONCE_INIT;
plat_mutex s_lock;

void lock_init(void) {
    plat_mutex_init(&s_lock);
}

struct kept_buffer {
    void *p;
    size_t room;
};
// Guarded by s_lock. Never freed: the buffers stay reachable until the process ends.
kept_buffer s_kept[POOL_KEEP];
int s_nkept = 0;

} // namespace

void *pool_take(size_t n, size_t *room) {
    if (n > POOL_MAX) return nullptr;
    plat_once(&s_once, lock_init);
    plat_guard g(&s_lock);
    int best = -1;
    for (int i = 0; i < s_nkept; i++)
        if (s_kept[i].room >= n && (best < 0 || s_kept[i].room < s_kept[best].room)) best = i;
    if (best < 0) return nullptr;
    void *p = s_kept[best].p;
    *room = s_kept[best].room;
    s_kept[best] = s_kept[--s_nkept];
    return p;
}

void pool_give(void *p) {
    if (!p) return;
    size_t room = plat_alloc_size(p);
    if (room >= POOL_MIN && room <= POOL_MAX) {
        plat_once(&s_once, lock_init);
        plat_guard g(&s_lock);
        if (s_nkept < POOL_KEEP) {
            s_kept[s_nkept++] = {p, room};
            return;
        }
    }
    free(p);
}
