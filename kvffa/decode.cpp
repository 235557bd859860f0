// Decoding a list of items given as JSON into the listing, entry by entry
// under the same validation as a live listing. The text is read as a stream
// of events, without building a document or copying the text: each string an
// entry keeps is copied once, straight into the listing's own storage, and
// the entry is taken (or its texts given back) as soon as it ends.
#include <string.h>

#include <vector>

#include "kvffa_json.h"

namespace {
// The recursive reader is the faster one, but its depth is the call stack's:
// a text nested deeper than this is read again by the iterative reader.
constexpr size_t RECURSIVE_DEPTH = 64;

// Lets a standard container draw on the layer's allocator; a failure is
// thrown and caught where decoding started.
template <typename T> struct ffa_std_alloc {
    using value_type = T;
    ffa_std_alloc() = default;
    template <typename U> ffa_std_alloc(const ffa_std_alloc<U> &) {}
    T *allocate(size_t n) {
        void *p = n > SIZE_MAX / sizeof(T) ? nullptr : ffa_malloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) { ffa_free(p); }
    template <typename U> bool operator==(const ffa_std_alloc<U> &) const { return true; }
};

// One scalar JSON value, as the events deliver it.
struct scalar {
    enum { null, boolean, integer, other_number, string } type;
    bool b = false;
    int64_t i = 0;
    const char *s = nullptr;
    size_t n = 0;
};

// A JSON string may hold \u0000; as a C text it would be silently cut.
bool plain_string(const scalar &v) {
    if (v.type != scalar::string) return false;
    if (v.n > 64) return !memchr(v.s, 0, v.n);
    for (size_t i = 0; i < v.n; i++) // names and paths are short: no call
        if (!v.s[i]) return false;
    return true;
}

// RapidJSON turns "\\udc00" alone into the bytes of a surrogate, which are no UTF-8
// (raw surrogate bytes in the text are refused by its check): ED followed by A0..BF.
bool has_surrogate(const char *s, size_t n) {
    for (const char *p = s, *end = s + n; (p = static_cast<const char *>(memchr(p, 0xED, end - p))); p++)
        if (p + 1 < end && static_cast<unsigned char>(p[1]) >= 0xA0) return true;
    return false;
}

int field_of(const char *key, size_t n) {
    for (int i = 0; i < FFA_NFIELDS; i++)
        if (FFA_FIELDS[i].len == n && memcmp(FFA_FIELDS[i].key, key, n) == 0) return i;
    return -1;
}

enum class took { ok, refused, oom };

// Applies one value to the item; a text is copied into `texts`. *not_utf8 is set for a
// text that is not UTF-8, which validation then refuses under the field's own name.
took take_value(const ffa_field_rule &r, const scalar &v, kvffa_item &it, ffa_arena &texts, bool *not_utf8) {
    if (v.type == scalar::null) return r.k != ffa_field_kind::flag ? took::ok : took::refused;
    switch (r.k) {
    case ffa_field_kind::text:
        if (!plain_string(v)) return took::refused;
        if (has_surrogate(v.s, v.n)) *not_utf8 = true;
        if (!(it.*r.text = texts.copy(v.s, v.n))) return took::oom;
        it.fields |= r.bit;
        return took::ok;
    case ffa_field_kind::flag:
        if (v.type != scalar::boolean) return took::refused;
        it.is_folder = v.b ? 1 : 0;
        return took::ok;
    case ffa_field_kind::count:
        if (v.type != scalar::integer || v.i < -1) return took::refused;
        if (v.i >= 0) {
            it.*r.count = v.i;
            it.fields |= r.bit;
        }
        return took::ok;
    case ffa_field_kind::year:
        if (v.type != scalar::integer || v.i < -2147483647 || v.i > 2147483647) return took::refused;
        it.year = static_cast<int32_t>(v.i);
        it.fields |= r.bit;
        return took::ok;
    }
    return took::refused;
}

// Either a root array of entries, or a root object whose first "items" holds
// the array and whose first "path" may name the listed folder. Keys given
// twice count the first time. When the entries come before any "path", they
// wait until the root ends, their texts already in the listing's storage.
class decoder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, decoder> {
  public:
    explicit decoder(bool recursive) : recursive_(recursive) {}
    bool oom = false;      // taking an entry ran out of memory
    bool too_deep = false; // nested deeper than a recursive read may go
    bool found = false;

    bool finish() {
        if (!found) return true;
        settle_path();
        for (const pending &p : waiting_) {
            if (oom) return false;
            if (p.bad)
                ffa_listing_reject_shape(p.index);
            else if (ffa_take_made(&p.it, nullptr, p.not_utf8) != KVFFA_OK)
                oom = true;
        }
        return !oom;
    }

    bool Null() { return value({scalar::null}); }
    bool Bool(bool b) {
        scalar v{scalar::boolean};
        v.b = b;
        return value(v);
    }
    bool Int(int i) { return integer(i); }
    bool Uint(unsigned u) { return integer(u); }
    bool Int64(int64_t i) { return integer(i); }
    bool Uint64(uint64_t u) {
        return u <= INT64_MAX ? integer(static_cast<int64_t>(u)) : value({scalar::other_number});
    }
    bool Double(double) { return value({scalar::other_number}); }
    bool String(const char *s, rapidjson::SizeType n, bool) {
        scalar v{scalar::string};
        v.s = s;
        v.n = n;
        return value(v);
    }
    bool Key(const char *s, rapidjson::SizeType n, bool) {
        if (skip_) return true;
        if (at_ == at::root_key) {
            root_key_ = other;
            if (n == 5 && memcmp(s, "items", 5) == 0 && !seen_items_) root_key_ = items, seen_items_ = true;
            if (n == 4 && memcmp(s, "path", 4) == 0 && !seen_path_) root_key_ = path, seen_path_ = true;
            at_ = at::root_value;
        } else { // at::entry_key
            int f = field_of(s, n);
            field_ = f >= 0 && !(seen_ & (1u << f)) ? f : -1;
            if (field_ >= 0) seen_ |= 1u << f;
            at_ = at::entry_value;
        }
        return true;
    }
    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

  private:
    enum class at { root, root_key, root_value, items, entry_key, entry_value, done };
    enum { other, items, path } root_key_ = other;
    struct pending {
        kvffa_item it;
        bool bad;
        size_t index;
        bool not_utf8;
    };

    at at_ = at::root;
    size_t depth_ = 0;
    bool recursive_;
    bool root_object_ = false, seen_items_ = false, seen_path_ = false, path_settled_ = false;
    ffa_text path_; // the listed folder, or none
    size_t path_len_ = 0;
    ffa_arena &texts_ = *ffa_listing_texts();
    ffa_arena::mark entry_start_{};
    size_t skip_ = 0; // open containers inside a value that is being skipped
    size_t index_ = 0;
    kvffa_item entry_;
    unsigned seen_ = 0;
    int field_ = -1;
    bool bad_ = false;
    bool not_utf8_ = false;
    std::vector<pending, ffa_std_alloc<pending>> waiting_;

    bool integer(int64_t i) {
        scalar v{scalar::integer};
        v.i = i;
        return value(v);
    }

    void settle_path() {
        if (path_settled_) return;
        path_settled_ = true;
        // An empty path is what a rendering holds for "no listed folder".
        bool has = path_ && path_len_ > 0;
        if (ffa_listing_begin_decoded(has ? path_.get() : nullptr, has ? path_len_ : 0) != KVFFA_OK)
            oom = true;
    }

    // An entry (or a value in the entries' place) ended.
    bool entry_done(bool bad) {
        size_t index = index_++;
        if (oom) return false;
        if (!path_settled_) {
            waiting_.push_back({entry_, bad, index, not_utf8_});
            return true;
        }
        if (bad) {
            texts_.rollback(entry_start_);
            ffa_listing_reject_shape(index);
        } else if (ffa_take_made(&entry_, &entry_start_, not_utf8_) != KVFFA_OK) {
            oom = true;
        }
        return !oom;
    }

    void items_begin() {
        found = true;
        // Without a "path" before the entries, one may still follow.
        if (!root_object_ || seen_path_) settle_path();
        at_ = at::items;
    }

    // A complete scalar value, or the start of a container (in open()).
    bool value(const scalar &v) {
        if (skip_) return true;
        switch (at_) {
        case at::root:
            at_ = at::done;
            return true;
        case at::root_value:
            if (root_key_ == path && plain_string(v) && !has_surrogate(v.s, v.n)) {
                path_.reset(ffa_strndup(v.s, v.n));
                path_len_ = v.n;
                if (!path_) oom = true;
            }
            at_ = at::root_key;
            return !oom;
        case at::items:
            entry_start_ = texts_.where();
            return entry_done(true);
        case at::entry_value:
            at_ = at::entry_key;
            if (field_ < 0 || bad_) return true;
            switch (take_value(FFA_FIELDS[field_], v, entry_, texts_, &not_utf8_)) {
            case took::ok:
                return true;
            case took::refused:
                bad_ = true;
                return true;
            case took::oom:
                oom = true;
                return false;
            }
            return true;
        default:
            return true;
        }
    }

    bool open(bool object) {
        if (++depth_ > RECURSIVE_DEPTH && recursive_) {
            too_deep = true;
            return false;
        }
        if (skip_) {
            skip_++;
            return true;
        }
        switch (at_) {
        case at::root:
            if (object) {
                root_object_ = true;
                at_ = at::root_key;
            } else {
                items_begin();
            }
            return true;
        case at::root_value:
            if (root_key_ == items && !object) {
                items_begin();
                return true;
            }
            break;
        case at::items:
            if (object) {
                ffa_item_blank(&entry_);
                entry_start_ = texts_.where();
                seen_ = 0;
                bad_ = false;
                not_utf8_ = false;
                at_ = at::entry_key;
                return true;
            }
            entry_start_ = texts_.where();
            if (!entry_done(true)) return false;
            break;
        case at::entry_value:
            if (field_ >= 0) bad_ = true;
            break;
        default:
            break;
        }
        skip_ = 1;
        return true;
    }

    bool close() {
        depth_--;
        if (skip_) {
            if (--skip_ == 0) // the skipped value ended; what follows it:
                at_ = at_ == at::root_value ? at::root_key : at_ == at::entry_value ? at::entry_key : at_;
            return true;
        }
        switch (at_) {
        case at::entry_key: // an entry ends
            at_ = at::items;
            return entry_done(bad_);
        case at::items: // the entries end
            at_ = root_object_ ? at::root_key : at::done;
            return true;
        default: // the root object ends
            at_ = at::done;
            return true;
        }
    }
};

// RapidJSON's UTF-8 check takes the continuation bytes a lead byte announces
// without stopping at the terminator; only a lead byte among the last three
// bytes can take it past, and then the text is read from a padded copy.
bool lead_near_end(const char *json, size_t len) {
    for (size_t i = len > 3 ? len - 3 : 0; i < len; i++)
        if (static_cast<unsigned char>(json[i]) >= 0xC0) return true;
    return false;
}

template <unsigned flags> bool parse(const char *json, decoder &d) {
    ffa_rj_alloc stack;
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ffa_rj_alloc> reader(&stack, 1024);
    rapidjson::StringStream in(json);
    return !reader.Parse<flags>(in, d).IsError();
}

int decode(const char *json) {
    size_t len = strlen(json);
    ffa_block<char> padded;
    if (lead_near_end(json, len)) {
        padded = ffa_padded_copy(json, len);
        if (!padded) return kvffa__fail(KVFFA_E_OOM, "out of memory");
        json = padded.get();
    }
    decoder fast(true);
    bool parsed = parse<FFA_PARSE_STRICT & ~rapidjson::kParseIterativeFlag>(json, fast);
    decoder deep(false);
    if (fast.too_deep) {
        ffa_listing_clear();
        parsed = parse<FFA_PARSE_STRICT>(json, deep);
    }
    decoder &d = fast.too_deep ? deep : fast;
    if (d.oom) return kvffa__fail(KVFFA_E_OOM, "out of memory"); // the entries taken so far stay
    if (!parsed) {
        ffa_listing_clear(); // entries met before the error were not entries of a JSON text
        return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: not JSON");
    }
    if (!d.found) return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: expected an items array");
    if (!d.finish()) return kvffa__fail(KVFFA_E_OOM, "out of memory");
    return KVFFA_OK;
}
} // namespace

int kvffa_decode(const char *json) {
    ffa_listing_clear();
    ffa_set_kind(ffa_kind::listing);
    if (!json) return kvffa__fail(KVFFA_E_INVALID_ARG, "decode: NULL");
    try {
        return decode(json);
    } catch (const std::bad_alloc &) {
        // The text was not read to its end, so nothing of it is kept.
        ffa_listing_clear();
        return kvffa__fail(KVFFA_E_OOM, "out of memory");
    }
}
