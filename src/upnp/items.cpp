// The item table and its lock.
#include "upnp/items.h"

#include <utility>

#include "platform/plat.h"

item_result g_items;

namespace {
plat_mutex s_items_lock;
plat_once_t s_items_once = PLAT_ONCE_INIT;
void items_lock_init(void) {
    plat_mutex_init(&s_items_lock);
}
} // namespace

void items_lock(void) {
    plat_once(&s_items_once, items_lock_init);
    plat_lock(&s_items_lock);
}

void items_unlock(void) {
    plat_unlock(&s_items_lock);
}

void items_publish(item_result *next) {
    items_guard g;
    std::swap(g_items, *next);
}
