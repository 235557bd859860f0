// RapidJSON bound to the layer's allocator, for the units that read or write JSON.
#pragma once

#include <string.h>

#include <new>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include "kvffa_int.h"

// RapidJSON does not check for a failed allocation, so a failure is thrown
// and caught where the layer's C functions call into it.
struct ffa_rj_alloc {
    static const bool kNeedFree = true;
    void *Malloc(size_t n) {
        if (!n) return nullptr;
        void *p = ffa_malloc(n);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void *Realloc(void *p, size_t, size_t n) {
        if (!n) {
            ffa_free(p);
            return nullptr;
        }
        void *q = ffa_realloc(p, n);
        if (!q) throw std::bad_alloc();
        return q;
    }
    static void Free(void *p) { ffa_free(p); }
};

using ffa_pool = rapidjson::MemoryPoolAllocator<ffa_rj_alloc>;
using ffa_doc_t = rapidjson::GenericDocument<rapidjson::UTF8<>, ffa_pool, ffa_rj_alloc>;
using ffa_value = ffa_doc_t::ValueType;

// Strict standard JSON; deep nesting costs heap, not the call stack.
constexpr unsigned FFA_PARSE_STRICT = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
// The same, but bytes inside strings are taken as they come.
constexpr unsigned FFA_PARSE_RAW_STRINGS = rapidjson::kParseIterativeFlag;

// RapidJSON's UTF-8 validation takes all continuation bytes a lead byte
// announces, also past the terminator; strict parses therefore read a copy
// with this much zero padding behind the text.
constexpr size_t FFA_PARSE_PAD = 4;
inline ffa_block<char> ffa_padded_copy(const char *text, size_t len) {
    ffa_block<char> c(static_cast<char *>(ffa_malloc(len + FFA_PARSE_PAD)));
    if (c) {
        memcpy(c.get(), text, len);
        memset(c.get() + len, 0, FFA_PARSE_PAD);
    }
    return c;
}

// A parsed document together with the allocators it refers to.
struct ffa_json {
    ffa_rj_alloc base;
    ffa_pool pool;
    ffa_rj_alloc stack;
    ffa_doc_t doc;
    explicit ffa_json(size_t chunk = 64 * 1024) : pool(chunk, &base), doc(&pool, 1024, &stack) {}
    ffa_json(const ffa_json &) = delete;
    ffa_json &operator=(const ffa_json &) = delete;
};

// The first member named `key`, or NULL. (Indexing rather than iterator
// comparison, which C++20 finds ambiguous in this RapidJSON.)
inline const ffa_value *ffa_member(const ffa_value &obj, const char *key) {
    if (!obj.IsObject()) return nullptr;
    const size_t n = strlen(key);
    const auto members = obj.MemberBegin();
    for (rapidjson::SizeType i = 0, count = obj.MemberCount(); i < count; i++) {
        const auto &m = members[i];
        if (m.name.GetStringLength() == n && memcmp(m.name.GetString(), key, n) == 0) return &m.value;
    }
    return nullptr;
}

// The keys of an item object in output order, what each accepts on input and
// when each is written: one table drives both directions.
enum class ffa_field_kind { text, flag, count, year };
struct ffa_field_rule {
    const char *key;
    size_t len;
    ffa_field_kind k;
    uint32_t bit; // 0: not optional
    const char *kvffa_item::*text;
    int64_t kvffa_item::*count;
};
inline constexpr ffa_field_rule FFA_FIELDS[] = {
    {"name", 4, ffa_field_kind::text, 0, &kvffa_item::name, nullptr},
    {"path", 4, ffa_field_kind::text, 0, &kvffa_item::path, nullptr},
    {"folder", 6, ffa_field_kind::flag, 0, nullptr, nullptr},
    {"size", 4, ffa_field_kind::count, KVFFA_F_SIZE, nullptr, &kvffa_item::size},
    {"mtime_ms", 8, ffa_field_kind::count, KVFFA_F_MTIME, nullptr, &kvffa_item::mtime_ms},
    {"title", 5, ffa_field_kind::text, KVFFA_F_TITLE, &kvffa_item::title, nullptr},
    {"year", 4, ffa_field_kind::year, KVFFA_F_YEAR, nullptr, nullptr},
    {"id", 2, ffa_field_kind::text, KVFFA_F_ID, &kvffa_item::backend_id, nullptr},
    {"locator", 7, ffa_field_kind::text, KVFFA_F_LOCATOR, &kvffa_item::locator, nullptr},
};
inline constexpr int FFA_NFIELDS = sizeof FFA_FIELDS / sizeof FFA_FIELDS[0];
constexpr bool ffa_field_lengths_match() {
    for (const ffa_field_rule &r : FFA_FIELDS)
        if (std::char_traits<char>::length(r.key) != r.len) return false;
    return true;
}
static_assert(ffa_field_lengths_match());
