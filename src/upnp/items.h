// The item table: the result the host reads items from, with the lock that guards it.
#pragma once

#include "parse/didl.h"

// One browse's or DIDL parse's result and what the server said of it.
struct item_result {
    didl_table items;       // in document and page order; items.partial: the result is incomplete
    int total_matches = -1; // the last page's TotalMatches (-1 when unknown)
    int update_id = 0;      // the last page's UpdateID
};

// The result last published. Guarded by the item lock, which is a leaf: nothing else is
// taken while it is held, and no parse runs under it. A result is parsed into a table of
// its own and put in place whole (items_publish), so a reader waits at most for a swap.
extern item_result g_items;

void items_lock(void);
void items_unlock(void);

struct items_guard {
    items_guard() { items_lock(); }
    ~items_guard() { items_unlock(); }
    items_guard(const items_guard &) = delete;
    items_guard &operator=(const items_guard &) = delete;
};

// Puts next in place of the table in one step. The table it replaced is kept for a later
// result to fill (up to ITEM_MAX records' room in all); otherwise next gets it back, so
// that it is freed without the lock.
void items_publish(item_result *next);
// Gives the empty table t the room of a table kept by items_publish, when there is one:
// results of similar sizes then reuse the same records instead of allocating their own.
void items_take_room(didl_table *t);
