// What the units of the file/folder access layer share with each other.
// Nothing here is part of the layer's API.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>

#include "kvffa.h"

// Record sizes of the first version; copies the layer makes carry these.
constexpr uint32_t FFA_ITEM_V1 = sizeof(kvffa_item);
constexpr uint32_t FFA_PAGE_V1 = sizeof(kvffa_page);
constexpr uint32_t FFA_BACKEND_V1 = sizeof(kvffa_backend);
constexpr uint32_t FFA_FIELDS_KNOWN = 0x3F;
constexpr uint32_t FFA_CAPS_KNOWN = 0x1F;

constexpr int FFA_MAX_BACKENDS = 64;
constexpr size_t FFA_ID_MAX = 32;
constexpr long FFA_PAGE_MAX = 65536;
constexpr long FFA_PAGE_DEFAULT = 256;
constexpr size_t FFA_PATH_MAX = 4096;
constexpr size_t FFA_LOCATOR_BUF = 8192;
constexpr size_t FFA_ERROR_BUF = 1024;

// ---- allocation (alloc.cpp): every block the layer owns, so tests can fail it ----
void *ffa_malloc(size_t n);
void *ffa_realloc(void *p, size_t n);
inline void ffa_free(void *p) {
    free(p);
}
char *ffa_strndup(const char *s, size_t n);

// Texts that are released all together (the entries of a listing, the fake's
// tree) are bumped out of chunks: no allocation per text, nothing ever moves,
// and a whole page of entries is undone by going back to a mark.
class ffa_arena {
  public:
    struct mark {
        const void *chunk;
        size_t used;
    };
    ffa_arena() = default;
    ffa_arena(const ffa_arena &) = delete;
    ffa_arena &operator=(const ffa_arena &) = delete;
    ~ffa_arena() { release(); }
    char *alloc(size_t n);               // n bytes, or NULL when out of memory
    char *copy(const char *s, size_t n); // s[0..n) and a NUL
    mark where() const { return {head_, head_ ? head_->used : 0}; }
    void rollback(mark m);
    void release();

  private:
    struct chunk {
        chunk *prev;
        size_t cap, used;
        char *data() { return reinterpret_cast<char *>(this + 1); }
    };
    chunk *head_ = nullptr;
    size_t next_ = 0; // size of the next chunk
};

struct ffa_free_deleter {
    void operator()(void *p) const { ffa_free(p); }
};
// An owned heap text, or an owned heap block of T.
using ffa_text = std::unique_ptr<char, ffa_free_deleter>;
template <typename T> using ffa_block = std::unique_ptr<T, ffa_free_deleter>;

// ---- errors (error.cpp) ----
// Counts recordings, so a caller can tell whether a backend recorded its own text.
unsigned ffa_error_seq();
// Maps what a backend operation returned onto the taxonomy and words a failure
// the backend left unworded: "<op> '<subject>': <name>". Returns the code.
int ffa_backend_result(int raw, const char *op, const char *subject, unsigned seq_before);

// ---- items (item.cpp) ----
// Length of the well-formed UTF-8 sequence at s: 1 to 4, or 0 when ill-formed or at the NUL.
size_t ffa_utf8_seq(const char *s);
// kvffa__validate, with the UTF-8 checks left out for texts already known well-formed.
const char *ffa_refusal(const kvffa_item *it, const char *listed_path, int stat_mode, bool check_utf8);
void ffa_item_blank(kvffa_item *it);
// Deep copy; the texts go into `arena`, or each into a block of its own
// (released by ffa_item_release) when it is NULL. A failure leaves dst zeroed.
int ffa_item_copy(kvffa_item *dst, const kvffa_item *src, ffa_arena *arena = nullptr);
void ffa_item_release(kvffa_item *it);

// ---- registry and session (session.cpp) ----
const kvffa_backend *ffa_open_backend();
size_t ffa_page_size();

// ---- listing (list.cpp) ----
void ffa_listing_clear();
// A decoded list: listed path (NULL: none), label "decoded", nothing to continue.
int ffa_listing_begin_decoded(const char *path, size_t len);
// Validates one item against the listed path and copies it in; a refused item
// is counted and warned about. Returns KVFFA_OK or KVFFA_E_OOM (unworded).
int ffa_take(const kvffa_item *it);
// Where a decoder makes the texts of entries it then takes with ffa_take_made.
ffa_arena *ffa_listing_texts();
// ffa_take for an item whose texts were made in ffa_listing_texts(), checked for
// UTF-8 only when `check_utf8` says they may not be. When `give_back` is given, a
// refused item's texts (made since that mark) go back.
int ffa_take_made(const kvffa_item *it, const ffa_arena::mark *give_back, bool check_utf8 = false);
void ffa_listing_reject_shape(size_t index);
const char *ffa_listing_label();
const char *ffa_listing_path();
void ffa_cancel_clear();

// ---- stat (stat.cpp) ----
void ffa_stat_drop();

// ---- codec (codec.cpp) ----
enum class ffa_kind { listing, stat, owned };
void ffa_set_kind(ffa_kind k);
void ffa_results_release();
// KVFFA_OK when text is strict JSON with an object at its root, else
// KVFFA_E_BAD_CONFIG, or KVFFA_E_OOM when checking ran out of memory.
int ffa_config_check(const char *text);
