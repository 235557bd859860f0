// The item table and its lock.
#include "upnp/items.h"

#include <utility>
#include <vector>

#include "platform/plat.h"

item_result g_items;

namespace {
// Tables of earlier results, emptied, with the room they hold. Guarded by the item lock.
struct spare_tables {
    std::vector<didl_table> tables;
    int room = 0;
};
spare_tables s_spare;

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
    didl_table &old = next->items;
    if (!old.room() || s_spare.room + old.room() > ITEM_MAX) return;
    s_spare.room += old.room();
    s_spare.tables.emplace_back();
    std::swap(s_spare.tables.back(), old);
}

void items_take_room(didl_table *t) {
    items_guard g;
    if (s_spare.tables.empty() || t->room()) return;
    std::swap(*t, s_spare.tables.back());
    s_spare.tables.pop_back();
    s_spare.room -= t->room();
    t->clear();
}
