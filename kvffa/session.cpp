// The backend registry (64 rows, dense, in registration order) and the
// session: at most one backend open, opened with a JSON object as its
// configuration, and the page size that listings use.
#include <string.h>

#include <utility>

#include "kvffa_int.h"

namespace {
struct reg_row {
    kvffa_backend rec; // the layer's copy; rec.id refers to id below
    ffa_text id;
};

struct registry {
    reg_row rows[FFA_MAX_BACKENDS];
    int count = 0;
    int open = -1; // index of the open backend, or -1
    long page = FFA_PAGE_DEFAULT;
};
registry s_reg;

bool id_ok(const char *id) {
    if (!id) return false;
    size_t n = strnlen(id, FFA_ID_MAX + 1);
    if (n < 1 || n > FFA_ID_MAX) return false;
    for (size_t i = 0; i < n; i++) {
        char c = id[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c == '-' && i > 0);
        if (!ok) return false;
    }
    return true;
}

int find_row(const char *id) {
    if (!id) return -1;
    for (int i = 0; i < s_reg.count; i++)
        if (strcmp(s_reg.rows[i].id.get(), id) == 0) return i;
    return -1;
}
} // namespace

int kvffa_register(const kvffa_backend *b) {
    if (!b) return kvffa__fail(KVFFA_E_INVALID_ARG, "register: NULL backend");
    if (b->struct_size < FFA_BACKEND_V1)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register: struct_size %u < v1 size %u", b->struct_size,
                           FFA_BACKEND_V1);
    if (!id_ok(b->id))
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register: id must match [a-z0-9][a-z0-9-]{0,31}");
    if (!b->open || !b->list || !b->locator || !b->close)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register '%s': open/list/locator/close required", b->id);
    if (b->capabilities & ~FFA_CAPS_KNOWN)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register '%s': unknown capability bits 0x%x", b->id,
                           b->capabilities & ~FFA_CAPS_KNOWN);
    if ((b->capabilities & KVFFA_CAP_STAT) && !b->stat)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register '%s': CAP_STAT without stat()", b->id);
    if (find_row(b->id) >= 0)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "register: id '%s' already registered", b->id);
    if (s_reg.count == FFA_MAX_BACKENDS)
        return kvffa__fail(KVFFA_E_OOM, "register: registry full (%d)", FFA_MAX_BACKENDS);

    ffa_text id(kvffa__strdup(b->id));
    if (!id) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    reg_row &row = s_reg.rows[s_reg.count];
    // A longer record of a later version is cut to the fields this version knows.
    memcpy(&row.rec, b, sizeof row.rec);
    row.rec.struct_size = FFA_BACKEND_V1;
    row.rec.id = id.get();
    if (!(row.rec.capabilities & KVFFA_CAP_STAT)) row.rec.stat = nullptr;
    row.id = std::move(id);
    s_reg.count++;
    kvffa__clear_error();
    return KVFFA_OK;
}

int kvffa__unregister(const char *id) {
    int i = find_row(id);
    if (i < 0) return 1;
    if (i == s_reg.open)
        kvffa_close();
    else if (s_reg.open > i)
        s_reg.open--;
    for (int j = i; j + 1 < s_reg.count; j++) {
        s_reg.rows[j].rec = s_reg.rows[j + 1].rec;
        s_reg.rows[j].id = std::move(s_reg.rows[j + 1].id);
    }
    s_reg.count--;
    s_reg.rows[s_reg.count].id.reset();
    memset(&s_reg.rows[s_reg.count].rec, 0, sizeof(kvffa_backend));
    return 0;
}

const kvffa_backend *kvffa__find(const char *id) {
    int i = find_row(id);
    return i < 0 ? nullptr : &s_reg.rows[i].rec;
}

int kvffa_backend_count(void) {
    return s_reg.count;
}

const char *kvffa_backend_id(int i) {
    return i >= 0 && i < s_reg.count ? s_reg.rows[i].id.get() : "";
}

int kvffa_backend_caps(int i) {
    return i >= 0 && i < s_reg.count ? static_cast<int>(s_reg.rows[i].rec.capabilities) : -1;
}

int kvffa_open(const char *id, const char *config_json) {
    kvffa_close();
    ffa_cancel_clear();
    int i = find_row(id);
    if (i < 0) return kvffa__fail(KVFFA_E_NO_BACKEND, "no backend '%s'", id ? id : "(null)");
    const char *config = config_json ? config_json : "{}";
    int rc = ffa_config_check(config);
    if (rc == KVFFA_E_OOM) return kvffa__fail(rc, "out of memory");
    if (rc != KVFFA_OK) return kvffa__fail(KVFFA_E_BAD_CONFIG, "config must be a JSON object");

    const kvffa_backend b = s_reg.rows[i].rec;
    char name[FFA_ID_MAX + 1];
    memcpy(name, s_reg.rows[i].id.get(), strlen(s_reg.rows[i].id.get()) + 1);
    unsigned seq = ffa_error_seq();
    rc = ffa_backend_result(b.open(b.ctx, config), "open", name, seq);
    if (rc != KVFFA_OK) return rc;
    s_reg.open = find_row(name); // the row may have moved if the backend touched the registry
    kvffa__clear_error();
    return KVFFA_OK;
}

void kvffa_close(void) {
    if (s_reg.open >= 0) {
        kvffa_backend b = s_reg.rows[s_reg.open].rec;
        s_reg.open = -1;
        b.close(b.ctx);
    }
    ffa_listing_clear();
    ffa_stat_drop();
    ffa_set_kind(ffa_kind::listing);
}

int kvffa_set_page_size(long n) {
    if (n < 1 || n > FFA_PAGE_MAX)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "page size must be 1..%ld", FFA_PAGE_MAX);
    s_reg.page = n;
    return KVFFA_OK;
}

void kvffa_reset(void) {
    kvffa_close();
    for (int i = 0; i < s_reg.count; i++) {
        s_reg.rows[i].id.reset();
        memset(&s_reg.rows[i].rec, 0, sizeof(kvffa_backend));
    }
    s_reg.count = 0;
    s_reg.page = FFA_PAGE_DEFAULT;
    ffa_results_release();
    kvffa__clear_error();
    ffa_set_kind(ffa_kind::listing);
}

const kvffa_backend *ffa_open_backend() {
    return s_reg.open >= 0 ? &s_reg.rows[s_reg.open].rec : nullptr;
}

size_t ffa_page_size() {
    return static_cast<size_t>(s_reg.page);
}
