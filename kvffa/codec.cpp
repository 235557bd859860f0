// The layer's results as JSON: the current result (listing, stat result, or a
// text handed over ready-made) rendered as one compact text; and the check
// that a configuration is a strict JSON object.
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
    for (const ffa_field_rule &r : FFA_FIELDS) {
        bool has = (it.fields & r.bit) != 0;
        if (r.k == ffa_field_kind::text && r.bit && (!has || !(it.*r.text))) continue;
        if (r.k == ffa_field_kind::year && !has) continue;
        w.Key(r.key, static_cast<rapidjson::SizeType>(r.len));
        switch (r.k) {
        case ffa_field_kind::text: {
            const char *s = it.*r.text ? it.*r.text : "";
            w.String(s, static_cast<rapidjson::SizeType>(strlen(s)));
            break;
        }
        case ffa_field_kind::flag:
            w.Bool(it.is_folder != 0);
            break;
        case ffa_field_kind::count:
            w.Int64(has ? it.*r.count : -1);
            break;
        case ffa_field_kind::year:
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
