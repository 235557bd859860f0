// Listing a folder of the open backend page by page into a table of validated
// copies. A backend writes straight into a page the layer owns; guard items
// behind it catch overruns, and count, cursor and every entry are checked
// before anything is taken. A failed page leaves the listing as it was.
#include <stdio.h>
#include <string.h>

#include "kvffa_int.h"

namespace {
// The entries live in blocks of 64, 64, 128, 256, ... items, so the capacity
// doubles while an entry, once taken, never moves: a pointer from
// kvffa_item_at stays valid while further pages arrive.
constexpr size_t BLOCK0 = 64;
constexpr int MAX_BLOCKS = 50;
constexpr size_t GUARDS = 16;

// Guard items are recognised by their name pointing at this very text.
const char GUARD_TEXT[] = "\x01kvffa-guard";

size_t block_items(int k) {
    return k == 0 ? BLOCK0 : BLOCK0 << (k - 1);
}

struct listing {
    kvffa_item *blocks[MAX_BLOCKS] = {};
    int nblocks = 0;
    size_t count = 0, cap = 0, rejected = 0;
    bool more = false;
    bool active = false; // a listing started by kvffa_list can continue
    ffa_text path;
    bool path_given = false; // a decoded list may have no listed folder
    ffa_text cursor;
    ffa_arena texts; // every text of every entry
    char label[FFA_ID_MAX + 1] = "";
    unsigned generation = 0; // counts clears, to notice a backend that re-entered the layer

    kvffa_item *slot(size_t i) {
        if (i < BLOCK0) return &blocks[0][i];
        size_t q = i / BLOCK0;
        int k = 64 - __builtin_clzll(q);
        return &blocks[k][i - block_items(k)];
    }
    // Drops the entries from index `from` on, with the texts made since `m`.
    void truncate(size_t from, ffa_arena::mark m) {
        count = from;
        texts.rollback(m);
    }
    void clear() {
        generation++;
        count = 0;
        texts.release();
        for (int k = 0; k < nblocks; k++) ffa_free(blocks[k]);
        nblocks = 0;
        cap = rejected = 0;
        more = active = path_given = false;
        path.reset();
        cursor.reset();
        label[0] = 0;
    }
    bool make_room() {
        if (count < cap) return true;
        if (nblocks == MAX_BLOCKS) return false;
        size_t n = block_items(nblocks);
        auto *b = static_cast<kvffa_item *>(ffa_malloc(n * sizeof(kvffa_item)));
        if (!b) return false;
        blocks[nblocks++] = b;
        cap += n;
        return true;
    }
    ~listing() { clear(); }
};
listing s_list;

// Set from another thread or from inside a backend; read and written only with
// atomic operations. It carries no data, so relaxed ordering is enough.
volatile int s_cancel = 0;

bool cancelled() {
    return __atomic_load_n(&s_cancel, __ATOMIC_RELAXED) != 0;
}

void set_label(const char *id) {
    size_t n = strnlen(id, FFA_ID_MAX);
    memcpy(s_list.label, id, n);
    s_list.label[n] = 0;
}

int fetch_page() {
    if (cancelled()) return kvffa__fail(KVFFA_E_CANCELLED, "cancelled");
    const kvffa_backend *b = ffa_open_backend();
    const size_t cap = ffa_page_size();
    ffa_block<kvffa_item> page_items(
        static_cast<kvffa_item *>(ffa_malloc((cap + GUARDS) * sizeof(kvffa_item))));
    kvffa_item *items = page_items.get();
    if (!items)
        return kvffa__fail(KVFFA_E_OOM, "out of memory (page of %lu)", static_cast<unsigned long>(cap));
    for (size_t i = 0; i < cap + GUARDS; i++) ffa_item_blank(&items[i]);
    for (size_t i = cap; i < cap + GUARDS; i++) items[i].name = GUARD_TEXT;

    kvffa_page pg;
    memset(&pg, 0, sizeof pg);
    pg.struct_size = FFA_PAGE_V1;
    pg.cursor = s_list.cursor.get();
    pg.items = items;
    pg.cap = cap;
    pg.cancel = &s_cancel;
    unsigned seq = ffa_error_seq();
    const unsigned generation = s_list.generation;
    int raw = b->list(b->ctx, s_list.path.get(), &pg);
    if (s_list.generation != generation)
        return kvffa__fail(KVFFA_E_TRANSPORT, "backend restarted the listing from inside list");
    if (raw == KVFFA_E_CANCELLED) return kvffa__fail(KVFFA_E_CANCELLED, "cancelled (backend)");
    int rc = ffa_backend_result(raw, "list", s_list.path.get(), seq);
    if (rc != KVFFA_OK) return rc;

    // What the backend says is checked against the layer's own copies of
    // items and cap, never against the page record it could have changed.
    if (cancelled()) return kvffa__fail(KVFFA_E_CANCELLED, "cancelled during page");
    for (size_t i = cap; i < cap + GUARDS; i++)
        if (items[i].name != GUARD_TEXT)
            return kvffa__fail(KVFFA_E_TRANSPORT, "backend wrote past cap %lu",
                               static_cast<unsigned long>(cap));
    if (pg.count > cap)
        return kvffa__fail(KVFFA_E_TRANSPORT, "backend returned %lu entries for cap %lu",
                           static_cast<unsigned long>(pg.count), static_cast<unsigned long>(cap));
    if (pg.more && (!pg.next_cursor || !pg.next_cursor[0]))
        return kvffa__fail(KVFFA_E_TRANSPORT, "backend set more without next_cursor");
    ffa_text next;
    if (pg.more) {
        next.reset(kvffa__strdup(pg.next_cursor));
        if (!next) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    }

    // Either the whole page is taken or none of it: a failure part-way rolls
    // back, so a retry of the same cursor cannot deliver entries twice.
    const size_t count_before = s_list.count, rejected_before = s_list.rejected;
    const ffa_arena::mark texts_before = s_list.texts.where();
    for (size_t i = 0; i < pg.count; i++) {
        const bool stop = cancelled();
        rc = stop ? KVFFA_E_CANCELLED : ffa_take(&items[i]);
        if (rc != KVFFA_OK) {
            s_list.truncate(count_before, texts_before);
            s_list.rejected = rejected_before;
            return stop ? kvffa__fail(rc, "cancelled during copy")
                        : kvffa__fail(rc, "out of memory copying entries");
        }
    }
    s_list.cursor = std::move(next);
    s_list.more = pg.more != 0;
    return KVFFA_OK;
}
} // namespace

void ffa_listing_clear() {
    s_list.clear();
}

int ffa_listing_begin_decoded(const char *path, size_t len) {
    s_list.path.reset(path ? ffa_strndup(path, len) : kvffa__strdup(""));
    if (!s_list.path) return KVFFA_E_OOM;
    s_list.path_given = path != nullptr;
    set_label("decoded");
    return KVFFA_OK;
}

int ffa_take(const kvffa_item *it) {
    const char *why = nullptr;
    if (!kvffa__validate(it, s_list.path_given ? s_list.path.get() : nullptr, 0, &why)) {
        s_list.rejected++;
        kvffa__fail(KVFFA_OK, "rejected entry: %s", why ? why : "?");
        return KVFFA_OK;
    }
    if (!s_list.make_room()) return KVFFA_E_OOM;
    if (ffa_item_copy(s_list.slot(s_list.count), it, &s_list.texts) != KVFFA_OK) return KVFFA_E_OOM;
    s_list.count++;
    return KVFFA_OK;
}

ffa_arena *ffa_listing_texts() {
    return &s_list.texts;
}

int ffa_take_made(const kvffa_item *it, const ffa_arena::mark *give_back, bool check_utf8) {
    const char *why = ffa_refusal(it, s_list.path_given ? s_list.path.get() : nullptr, 0, check_utf8);
    if (why || !s_list.make_room()) {
        if (give_back) s_list.texts.rollback(*give_back);
        if (!why) return KVFFA_E_OOM;
        s_list.rejected++;
        kvffa__fail(KVFFA_OK, "rejected entry: %s", why);
        return KVFFA_OK;
    }
    // The same record a copy would make: texts and values only with their bits.
    kvffa_item &e = *s_list.slot(s_list.count++);
    e = *it;
    uint32_t f = e.fields &= FFA_FIELDS_KNOWN;
    e.struct_size = FFA_ITEM_V1;
    if (!(f & KVFFA_F_SIZE)) e.size = -1;
    if (!(f & KVFFA_F_MTIME)) e.mtime_ms = -1;
    if (!(f & KVFFA_F_YEAR)) e.year = 0;
    if (!(f & KVFFA_F_TITLE)) e.title = nullptr;
    if (!(f & KVFFA_F_ID)) e.backend_id = nullptr;
    if (!(f & KVFFA_F_LOCATOR)) e.locator = nullptr;
    return KVFFA_OK;
}

void ffa_listing_reject_shape(size_t index) {
    s_list.rejected++;
    kvffa__fail(KVFFA_OK, "rejected entry %lu: bad JSON shape", static_cast<unsigned long>(index));
}

const char *ffa_listing_label() {
    return s_list.label;
}

const char *ffa_listing_path() {
    return s_list.path ? s_list.path.get() : "";
}

void ffa_cancel_clear() {
    __atomic_store_n(&s_cancel, 0, __ATOMIC_RELAXED);
}

int kvffa_list(const char *path) {
    s_list.clear();
    ffa_set_kind(ffa_kind::listing);
    ffa_cancel_clear();
    const kvffa_backend *b = ffa_open_backend();
    if (!b) return kvffa__fail(KVFFA_E_NOT_OPEN, "no open backend");
    if (!path) return kvffa__fail(KVFFA_E_INVALID_ARG, "path is NULL");
    size_t n = strnlen(path, FFA_PATH_MAX + 1);
    if (n > FFA_PATH_MAX) return kvffa__fail(KVFFA_E_INVALID_ARG, "path too long");
    s_list.path.reset(ffa_strndup(path, n));
    if (!s_list.path) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    s_list.path_given = true;
    s_list.active = true;
    set_label(b->id);
    kvffa__clear_error();
    int rc = fetch_page();
    if (rc != KVFFA_OK) s_list.more = false;
    return rc;
}

int kvffa_list_next(void) {
    if (!ffa_open_backend()) return -kvffa__fail(KVFFA_E_NOT_OPEN, "no open backend");
    if (!s_list.active || !s_list.more) return 0;
    int rc = fetch_page();
    return rc != KVFFA_OK ? -rc : s_list.more;
}

int kvffa_list_all(const char *path) {
    int rc = kvffa_list(path);
    while (rc == KVFFA_OK && s_list.active && s_list.more) {
        if (!ffa_open_backend()) return kvffa__fail(KVFFA_E_NOT_OPEN, "no open backend");
        rc = fetch_page();
    }
    return rc;
}

int kvffa_more(void) {
    return s_list.more ? 1 : 0;
}

size_t kvffa_count(void) {
    return s_list.count;
}

const kvffa_item *kvffa_item_at(long i) {
    if (i < 0 || static_cast<size_t>(i) >= s_list.count) return nullptr;
    return s_list.slot(static_cast<size_t>(i));
}

size_t kvffa_rejected(void) {
    return s_list.rejected;
}

volatile int *kvffa__cancel_flag(void) {
    return &s_cancel;
}

void kvffa_cancel(void) {
    __atomic_store_n(&s_cancel, 1, __ATOMIC_RELAXED);
}
