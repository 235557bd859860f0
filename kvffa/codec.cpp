// The layer's JSON: decoding a list of items into the listing under the same
// validation as a live listing, and rendering the current result (listing,
// stat result, or a text handed over ready-made) as one compact text.
#include <string.h>

#include <string>

#include <rapidjson/writer.h>

#include "kvffa_json.h"

namespace {
// The output text: a growable buffer the writer fills, kept as the built text.
class text_out {
  public:
    typedef char Ch;
    text_out() = default;
    text_out(const text_out &) = delete;
    text_out &operator=(const text_out &) = delete;
    ~text_out() { release(); }
    void Put(char c) {
        if (n_ == cap_) grow(1);
        p_[n_++] = c;
    }
    void PutUnsafe(char c) { p_[n_++] = c; }
    void Reserve(size_t k) {
        if (cap_ - n_ < k) grow(k);
    }
    void Flush() {}
    const char *finish() {
        Put('\0');
        return p_;
    }
    void release() {
        ffa_free(p_);
        p_ = nullptr;
        n_ = cap_ = 0;
    }

  private:
    void grow(size_t k) {
        size_t c = cap_ ? cap_ * 2 : 4096;
        while (c - n_ < k) c *= 2;
        void *q = ffa_realloc(p_, c);
        if (!q) throw std::bad_alloc();
        p_ = static_cast<char *>(q);
        cap_ = c;
    }
    char *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};
} // namespace

namespace rapidjson {
template <> inline void PutReserve(text_out &s, size_t n) {
    s.Reserve(n);
}
template <> inline void PutUnsafe(text_out &s, char c) {
    s.PutUnsafe(c);
}
} // namespace rapidjson

namespace {
using writer_t = rapidjson::Writer<text_out, rapidjson::UTF8<>, rapidjson::UTF8<>, ffa_rj_alloc>;

ffa_kind s_kind = ffa_kind::listing;
ffa_text s_owned;
text_out s_built; // the last rendering

void release_built() {
    s_built.release();
}

// One table drives both directions: the keys of an item object in output
// order, what each accepts on input and when each is written.
enum class kind { text, flag, count, year };
struct field_rule {
    const char *key;
    size_t len;
    kind k;
    uint32_t bit; // 0: not optional
    const char *kvffa_item::*text;
    int64_t kvffa_item::*count;
};
constexpr field_rule FIELDS[] = {
    {"name", 4, kind::text, 0, &kvffa_item::name, nullptr},
    {"path", 4, kind::text, 0, &kvffa_item::path, nullptr},
    {"folder", 6, kind::flag, 0, nullptr, nullptr},
    {"size", 4, kind::count, KVFFA_F_SIZE, nullptr, &kvffa_item::size},
    {"mtime_ms", 8, kind::count, KVFFA_F_MTIME, nullptr, &kvffa_item::mtime_ms},
    {"title", 5, kind::text, KVFFA_F_TITLE, &kvffa_item::title, nullptr},
    {"year", 4, kind::year, KVFFA_F_YEAR, nullptr, nullptr},
    {"id", 2, kind::text, KVFFA_F_ID, &kvffa_item::backend_id, nullptr},
    {"locator", 7, kind::text, KVFFA_F_LOCATOR, &kvffa_item::locator, nullptr},
};
constexpr int NFIELDS = sizeof FIELDS / sizeof FIELDS[0];
constexpr bool lengths_match() {
    for (const field_rule &r : FIELDS)
        if (std::char_traits<char>::length(r.key) != r.len) return false;
    return true;
}
static_assert(lengths_match());

int field_of(const ffa_value &key) {
    size_t n = key.GetStringLength();
    for (int i = 0; i < NFIELDS; i++)
        if (FIELDS[i].len == n && memcmp(FIELDS[i].key, key.GetString(), n) == 0) return i;
    return -1;
}

// A JSON string may hold \u0000; as a C text it would be silently cut.
bool plain_string(const ffa_value &v) {
    return v.IsString() && !memchr(v.GetString(), 0, v.GetStringLength());
}

// Applies one value to the item; false when the value's type is refused.
bool take_value(const field_rule &r, const ffa_value &v, kvffa_item &it) {
    if (v.IsNull()) return r.k != kind::flag;
    switch (r.k) {
    case kind::text:
        if (!plain_string(v)) return false;
        it.*r.text = v.GetString();
        it.fields |= r.bit;
        return true;
    case kind::flag:
        if (!v.IsBool()) return false;
        it.is_folder = v.GetBool() ? 1 : 0;
        return true;
    case kind::count:
        if (!v.IsInt64() || v.GetInt64() < -1) return false;
        if (v.GetInt64() >= 0) {
            it.*r.count = v.GetInt64();
            it.fields |= r.bit;
        }
        return true;
    case kind::year:
        if (!v.IsInt64() || v.GetInt64() < -2147483647 || v.GetInt64() > 2147483647) return false;
        it.year = static_cast<int32_t>(v.GetInt64());
        it.fields |= r.bit;
        return true;
    }
    return false;
}

// Fills a blank item from one entry; false for a bad shape. A key given twice
// counts once, the first time.
bool read_entry(const ffa_value &e, kvffa_item &it) {
    if (!e.IsObject()) return false;
    unsigned seen = 0;
    const auto members = e.MemberBegin();
    for (rapidjson::SizeType i = 0, n = e.MemberCount(); i < n; i++) {
        int f = field_of(members[i].name);
        if (f < 0 || (seen & (1u << f))) continue;
        seen |= 1u << f;
        if (!take_value(FIELDS[f], members[i].value, it)) return false;
    }
    return true;
}

int decode(const char *json) {
    size_t len = strlen(json);
    // Parsed in place in a private copy: strings need no second buffer.
    ffa_block<char> copy = ffa_padded_copy(json, len);
    if (!copy) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    size_t chunk = len < 64 * 1024 ? 64 * 1024 : len < 32 * 1024 * 1024 ? len : 32 * 1024 * 1024;
    ffa_json j(chunk);
    j.doc.ParseInsitu<FFA_PARSE_STRICT>(copy.get());
    if (j.doc.HasParseError()) return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: not JSON");

    const ffa_value &root = j.doc;
    const ffa_value *items = root.IsArray() ? &root : ffa_member(root, "items");
    if (!items || !items->IsArray())
        return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: expected an items array");
    // An empty path is what the output holds for "no listed folder", so it
    // reads back as none: a round trip then keeps the same entries.
    const ffa_value *path = root.IsObject() ? ffa_member(root, "path") : nullptr;
    bool has_path = path && plain_string(*path) && path->GetStringLength() > 0;
    if (ffa_listing_begin_decoded(has_path ? path->GetString() : nullptr,
                                  has_path ? path->GetStringLength() : 0))
        return kvffa__fail(KVFFA_E_OOM, "out of memory");

    size_t index = 0;
    for (const ffa_value &e : items->GetArray()) {
        kvffa_item it;
        ffa_item_blank(&it);
        if (!read_entry(e, it))
            ffa_listing_reject_shape(index);
        else if (ffa_take(&it) != KVFFA_OK)
            return kvffa__fail(KVFFA_E_OOM, "out of memory");
        index++;
    }
    return KVFFA_OK;
}

template <size_t N> void key(writer_t &w, const char (&k)[N]) {
    w.Key(k, static_cast<rapidjson::SizeType>(N - 1));
}

// Texts the layer did not validate (a listed path comes from the caller) get
// U+FFFD for each ill-formed byte: the output must stay readable JSON.
void text(writer_t &w, const char *s) {
    if (!s) s = "";
    if (kvffa__utf8_valid(s)) {
        w.String(s, static_cast<rapidjson::SizeType>(strlen(s)));
        return;
    }
    size_t n = strlen(s);
    ffa_block<char> clean(static_cast<char *>(ffa_malloc(3 * n + 1)));
    if (!clean) throw std::bad_alloc();
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        size_t k = ffa_utf8_seq(s + i);
        if (k) {
            memcpy(clean.get() + o, s + i, k);
            o += k;
            i += k;
        } else {
            memcpy(clean.get() + o, "\xEF\xBF\xBD", 3);
            o += 3;
            i++;
        }
    }
    w.String(clean.get(), static_cast<rapidjson::SizeType>(o));
}

void write_item(writer_t &w, const kvffa_item &it) {
    w.StartObject();
    for (const field_rule &r : FIELDS) {
        bool has = (it.fields & r.bit) != 0;
        if (r.k == kind::text && r.bit && (!has || !(it.*r.text))) continue;
        if (r.k == kind::year && !has) continue;
        w.Key(r.key, static_cast<rapidjson::SizeType>(r.len));
        switch (r.k) {
        case kind::text: {
            const char *s = it.*r.text ? it.*r.text : "";
            w.String(s, static_cast<rapidjson::SizeType>(strlen(s)));
            break;
        }
        case kind::flag:
            w.Bool(it.is_folder != 0);
            break;
        case kind::count:
            w.Int64(has ? it.*r.count : -1);
            break;
        case kind::year:
            w.Int(it.year);
            break;
        }
    }
    w.EndObject();
}

void write_listing(writer_t &w) {
    w.StartObject();
    key(w, "backend");
    text(w, ffa_listing_label());
    key(w, "path");
    text(w, ffa_listing_path());
    key(w, "count");
    w.Uint64(kvffa_count());
    key(w, "more");
    w.Bool(kvffa_more() != 0);
    key(w, "rejected");
    w.Uint64(kvffa_rejected());
    key(w, "items");
    w.StartArray();
    for (size_t i = 0, n = kvffa_count(); i < n; i++) write_item(w, *kvffa_item_at(static_cast<long>(i)));
    w.EndArray();
    w.EndObject();
}

void write_stat(writer_t &w) {
    const kvffa_backend *b = ffa_open_backend();
    w.StartObject();
    key(w, "backend");
    text(w, b ? b->id : "");
    key(w, "item");
    if (const kvffa_item *it = kvffa_got())
        write_item(w, *it);
    else
        w.Null();
    w.EndObject();
}

// Reports only whether the root is an object; the parse checks the rest.
struct root_probe : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, root_probe> {
    bool first = true, object = false;
    bool Default() {
        first = false;
        return true;
    }
    bool StartObject() {
        object = object || first;
        first = false;
        return true;
    }
};
} // namespace

void ffa_set_kind(ffa_kind k) {
    s_kind = k;
}

void ffa_results_release() {
    s_owned.reset();
    release_built();
}

int ffa_config_check(const char *text) {
    try {
        ffa_block<char> copy = ffa_padded_copy(text, strlen(text));
        if (!copy) return KVFFA_E_OOM;
        ffa_rj_alloc a;
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ffa_rj_alloc> reader(&a, 256);
        rapidjson::StringStream in(copy.get());
        root_probe probe;
        if (!reader.Parse<FFA_PARSE_STRICT>(in, probe)) return KVFFA_E_BAD_CONFIG;
        return probe.object ? KVFFA_OK : KVFFA_E_BAD_CONFIG;
    } catch (const std::bad_alloc &) {
        return KVFFA_E_OOM;
    }
}

int kvffa_decode(const char *json) {
    ffa_listing_clear();
    ffa_set_kind(ffa_kind::listing);
    if (!json) return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: NULL");
    try {
        return decode(json);
    } catch (const std::bad_alloc &) {
        // Only parsing throws, so no entry has been taken yet.
        return kvffa__fail(KVFFA_E_OOM, "out of memory");
    }
}

const char *kvffa_result_json(void) {
    if (s_kind == ffa_kind::owned && s_owned) return s_owned.get();
    release_built();
    try {
        ffa_rj_alloc levels;
        writer_t w(s_built, &levels);
        if (s_kind == ffa_kind::stat)
            write_stat(w);
        else
            write_listing(w);
        return s_built.finish();
    } catch (const std::bad_alloc &) {
        release_built();
        return "{}";
    }
}

void kvffa__set_result_owned(char *json) {
    s_owned.reset(json);
    s_kind = ffa_kind::owned;
}
