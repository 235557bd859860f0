// Questions about single paths: what an entry is (stat), how its content is
// reached (locator), and the path of a child (join, pure text work). What a
// backend answers is checked before it is handed on.
#include <stddef.h>
#include <string.h>

#include "kvffa_int.h"

namespace {
kvffa_item s_stat;
bool s_held = false;
char s_locator[FFA_LOCATOR_BUF];
char s_join[FFA_PATH_MAX + 1];

// End offsets of the record's fields in layout order: a caller's shorter
// record receives only the fields it holds whole, never part of a pointer.
constexpr size_t FIELD_ENDS[] = {
    offsetof(kvffa_item, fields),    offsetof(kvffa_item, name),  offsetof(kvffa_item, path),
    offsetof(kvffa_item, is_folder), offsetof(kvffa_item, year),  offsetof(kvffa_item, size),
    offsetof(kvffa_item, mtime_ms),  offsetof(kvffa_item, title), offsetof(kvffa_item, backend_id),
    offsetof(kvffa_item, locator),   sizeof(kvffa_item)};

size_t whole_fields(size_t n) {
    size_t end = 0;
    for (size_t e : FIELD_ENDS)
        if (e <= n) end = e;
    return end;
}

struct stat_holder {
    ~stat_holder() { ffa_stat_drop(); }
};
stat_holder s_stat_owner;
} // namespace

void ffa_stat_drop() {
    if (s_held) ffa_item_release(&s_stat);
    s_held = false;
}

int kvffa_get(const char *path, kvffa_item *out) {
    ffa_stat_drop();
    ffa_set_kind(ffa_kind::stat);
    ffa_cancel_clear();
    const kvffa_backend *b = ffa_open_backend();
    if (!b) return kvffa__fail(KVFFA_E_NOT_OPEN, "no open backend");
    if (!path) return kvffa__fail(KVFFA_E_INVALID_ARG, "path is NULL");
    if (!b->stat) return kvffa__fail(KVFFA_E_UNSUPPORTED, "backend '%s' cannot stat", b->id);

    kvffa_item it;
    ffa_item_blank(&it);
    unsigned seq = ffa_error_seq();
    int rc = ffa_backend_result(b->stat(b->ctx, path, &it), "stat", path, seq);
    if (rc != KVFFA_OK) return rc;
    const char *why = nullptr;
    if (!kvffa__validate(&it, nullptr, 1, &why))
        return kvffa__fail(KVFFA_E_TRANSPORT, "stat returned an invalid item: %s", why ? why : "?");
    ffa_stat_drop(); // a backend that re-entered the layer may have fetched one meanwhile
    if (ffa_item_copy(&s_stat, &it) != KVFFA_OK) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    s_held = true;

    if (out) {
        size_t n = out->struct_size;
        if (n == 0 || n > FFA_ITEM_V1) n = FFA_ITEM_V1;
        memcpy(out, &s_stat, whole_fields(n));
        out->struct_size = static_cast<uint32_t>(n);
    }
    kvffa__clear_error();
    return KVFFA_OK;
}

const kvffa_item *kvffa_got(void) {
    return s_held ? &s_stat : nullptr;
}

const char *kvffa_locator(const char *path) {
    s_locator[0] = 0;
    ffa_cancel_clear();
    const kvffa_backend *b = ffa_open_backend();
    if (!b) {
        kvffa__fail(KVFFA_E_NOT_OPEN, "no open backend");
        return nullptr;
    }
    if (!path) {
        kvffa__fail(KVFFA_E_INVALID_ARG, "path is NULL");
        return nullptr;
    }
    unsigned seq = ffa_error_seq();
    int raw = b->locator(b->ctx, path, s_locator, sizeof s_locator);
    s_locator[sizeof s_locator - 1] = 0; // an unterminated text is cut, not read past
    if (ffa_backend_result(raw, "locator", path, seq) != KVFFA_OK) {
        s_locator[0] = 0;
        return nullptr;
    }
    if (!s_locator[0] || !kvffa__utf8_valid(s_locator)) {
        kvffa__fail(KVFFA_E_TRANSPORT, "backend returned an empty or non-UTF-8 locator");
        s_locator[0] = 0;
        return nullptr;
    }
    kvffa__clear_error();
    return s_locator;
}

const char *kvffa_path_join(const char *parent, const char *name) {
    if (!parent || !name) {
        kvffa__fail(KVFFA_E_INVALID_ARG, "join: NULL argument");
        return nullptr;
    }
    if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strchr(name, '/')) {
        kvffa__fail(KVFFA_E_INVALID_ARG, "join: name must be one segment, not '.', '..' or empty");
        return nullptr;
    }
    if (!kvffa__utf8_valid(name) || !kvffa__utf8_valid(parent)) {
        kvffa__fail(KVFFA_E_INVALID_ARG, "join: not valid UTF-8");
        return nullptr;
    }
    size_t keep = strlen(parent);
    while (keep > 0 && parent[keep - 1] == '/') keep--;
    size_t nlen = strlen(name);
    if (keep + 1 + nlen > FFA_PATH_MAX) {
        kvffa__fail(KVFFA_E_INVALID_ARG, "join: result longer than %d", static_cast<int>(FFA_PATH_MAX));
        return nullptr;
    }
    memcpy(s_join, parent, keep);
    s_join[keep] = '/';
    memcpy(s_join + keep + 1, name, nlen + 1);
    return s_join;
}
