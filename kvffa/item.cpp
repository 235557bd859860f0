// The item record: the strict UTF-8 check, the validation rules that keep a
// malformed entry from any caller, deep copy and release, and the accessors.
#include <string.h>

#include "kvffa_int.h"

namespace {
inline bool cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the trailing-slash-free part of s.
size_t trimmed_len(const char *s) {
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == '/') n--;
    return n;
}

const char *check_text(uint32_t fields, uint32_t bit, const char *text, const char *null_why,
                       const char *utf8_why, bool check_utf8) {
    if (!(fields & bit)) return nullptr;
    if (!text) return null_why;
    return !check_utf8 || kvffa__utf8_valid(text) ? nullptr : utf8_why;
}
} // namespace

// The rules in their order; the first that fails gives the reason.
const char *ffa_refusal(const kvffa_item *it, const char *listed_path, int stat_mode, bool check_utf8) {
    if (!it) return "null item";
    const char *name = it->name;
    if (!name) return "name is NULL";
    if (!name[0] && !stat_mode) return "empty name";
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return "name is '.' or '..' (cycle)";
    if (strchr(name, '/')) return "name contains '/'";
    if (check_utf8 && !kvffa__utf8_valid(name)) return "name is not valid UTF-8";
    if (!it->path || !it->path[0]) return "path is empty";
    if (check_utf8 && !kvffa__utf8_valid(it->path)) return "path is not valid UTF-8";
    if (!stat_mode && listed_path) {
        size_t a = trimmed_len(it->path), b = trimmed_len(listed_path);
        if (a == b && memcmp(it->path, listed_path, a) == 0)
            return "path equals the listed folder (self-loop)";
    }
    if (static_cast<uint32_t>(it->is_folder) > 1) return "is_folder not 0/1";
    uint32_t f = it->fields;
    if ((f & KVFFA_F_SIZE) && it->size < 0) return "F_SIZE with negative size";
    if ((f & KVFFA_F_MTIME) && it->mtime_ms < 0) return "F_MTIME with negative mtime";
    if ((f & KVFFA_F_YEAR) && (it->year < 1800 || it->year > 9999)) return "F_YEAR outside 1800..9999";
    if (const char *why = check_text(f, KVFFA_F_TITLE, it->title, "F_TITLE with NULL title",
                                     "title is not valid UTF-8", check_utf8))
        return why;
    if (const char *why = check_text(f, KVFFA_F_ID, it->backend_id, "F_ID with NULL id",
                                     "id is not valid UTF-8", check_utf8))
        return why;
    return check_text(f, KVFFA_F_LOCATOR, it->locator, "F_LOCATOR with NULL locator",
                      "locator is not valid UTF-8", check_utf8);
}

size_t ffa_utf8_seq(const char *s) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    unsigned char c = p[0];
    if (!c) return 0;
    if (c < 0x80) return 1;
    // A NUL is never a continuation byte, so a sequence cut short by the end
    // fails before anything past the NUL is read.
    if (c >= 0xC2 && c <= 0xDF) return cont(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

int kvffa__utf8_valid(const char *text) {
    if (!text) return 0;
    for (;;) {
        while (static_cast<unsigned char>(*text) - 1u < 0x7Fu) text++; // ASCII without NUL
        if (!*text) return 1;
        size_t n = ffa_utf8_seq(text);
        if (!n) return 0;
        text += n;
    }
}

int kvffa__validate(const kvffa_item *it, const char *listed_path, int stat_mode, const char **why) {
    const char *reason = ffa_refusal(it, listed_path, stat_mode, true);
    if (reason && why) *why = reason;
    return reason ? 0 : 1;
}

int kvffa_validate_item(const kvffa_item *it, const char *listed_path) {
    const char *why = nullptr;
    if (kvffa__validate(it, listed_path, 0, &why)) return KVFFA_OK;
    return kvffa__fail(KVFFA_E_INVALID_ARG, "item rejected: %s", why ? why : "?");
}

void ffa_item_blank(kvffa_item *it) {
    memset(it, 0, sizeof *it);
    it->struct_size = FFA_ITEM_V1;
    it->size = -1;
    it->mtime_ms = -1;
}

void ffa_item_release(kvffa_item *it) {
    ffa_free(const_cast<char *>(it->name));
    ffa_free(const_cast<char *>(it->path));
    ffa_free(const_cast<char *>(it->title));
    ffa_free(const_cast<char *>(it->backend_id));
    ffa_free(const_cast<char *>(it->locator));
    memset(it, 0, sizeof *it);
}

int ffa_item_copy(kvffa_item *dst, const kvffa_item *src, ffa_arena *arena) {
    kvffa_item c;
    memset(&c, 0, sizeof c);
    uint32_t f = src->fields & FFA_FIELDS_KNOWN;
    c.struct_size = FFA_ITEM_V1;
    c.fields = f;
    c.is_folder = src->is_folder;
    c.size = (f & KVFFA_F_SIZE) ? src->size : -1;
    c.mtime_ms = (f & KVFFA_F_MTIME) ? src->mtime_ms : -1;
    c.year = (f & KVFFA_F_YEAR) ? src->year : 0;
    const ffa_arena::mark start = arena ? arena->where() : ffa_arena::mark{};
    auto dup = [arena](const char *s) { return arena ? arena->copy(s, strlen(s)) : kvffa__strdup(s); };
    bool ok = src->name && src->path;
    if (ok) {
        c.name = dup(src->name);
        c.path = dup(src->path);
        // Texts whose bit is clear are not copied, whatever the source holds.
        if ((f & KVFFA_F_TITLE) && src->title) c.title = dup(src->title);
        if ((f & KVFFA_F_ID) && src->backend_id) c.backend_id = dup(src->backend_id);
        if ((f & KVFFA_F_LOCATOR) && src->locator) c.locator = dup(src->locator);
        ok = c.name && c.path && (!(f & KVFFA_F_TITLE) || c.title) && (!(f & KVFFA_F_ID) || c.backend_id) &&
             (!(f & KVFFA_F_LOCATOR) || c.locator);
    }
    if (!ok) {
        if (arena)
            arena->rollback(start);
        else
            ffa_item_release(&c);
        memset(dst, 0, sizeof *dst);
        return KVFFA_E_OOM;
    }
    *dst = c;
    return KVFFA_OK;
}

// ---- accessors ----

const char *kvffa_item_name(const kvffa_item *it) {
    return it && it->name ? it->name : "";
}

const char *kvffa_item_path(const kvffa_item *it) {
    return it && it->path ? it->path : "";
}

int kvffa_item_is_folder(const kvffa_item *it) {
    return it ? it->is_folder : 0;
}

int64_t kvffa_item_size(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_SIZE) ? it->size : -1;
}

int64_t kvffa_item_mtime_ms(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_MTIME) ? it->mtime_ms : -1;
}

int kvffa_item_year(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_YEAR) ? it->year : 0;
}

const char *kvffa_item_title(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_TITLE) && it->title ? it->title : "";
}

const char *kvffa_item_backend_id(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_ID) && it->backend_id ? it->backend_id : "";
}

const char *kvffa_item_locator(const kvffa_item *it) {
    return it && (it->fields & KVFFA_F_LOCATOR) && it->locator ? it->locator : "";
}

uint32_t kvffa_item_fields(const kvffa_item *it) {
    return it ? it->fields : 0;
}

int kvffa_item_has(const kvffa_item *it, uint32_t mask) {
    return it && mask && (it->fields & mask) == mask;
}
