/* File/folder access layer: presents registered backends as folders of
 * validated items, read page by page. Backends and tests are written against
 * this header; it compiles as C99 and as C++.
 *
 * Result codes are positive (0 is success); only kvffa_list_next returns them
 * negated. Every failure leaves its text in kvffa_last_error(). Texts handed
 * out are owned by the layer. The layer is used from one thread at a time;
 * only kvffa_cancel may be called from another thread. A backend reads the
 * page's cancel flag with an atomic load (for example __atomic_load_n). */
#ifndef KVFFA_H
#define KVFFA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* clang-format off */
#if defined(__GNUC__)
#define KVFFA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KVFFA_PRINTF(f, a)
#endif

enum { KVFFA_OK = 0, KVFFA_E_NO_BACKEND = 1, KVFFA_E_NOT_OPEN = 2, KVFFA_E_NOT_FOUND = 3, KVFFA_E_ACCESS = 4,
       KVFFA_E_TRANSPORT = 5, KVFFA_E_UNSUPPORTED = 6, KVFFA_E_CANCELLED = 7, KVFFA_E_BAD_CONFIG = 8,
       KVFFA_E_INVALID_ARG = 9, KVFFA_E_OOM = 10 };
/* Presence bits of kvffa_item.fields: the optional field is meaningful only with its bit. */
enum { KVFFA_F_SIZE = 0x01, KVFFA_F_MTIME = 0x02, KVFFA_F_TITLE = 0x04, KVFFA_F_YEAR = 0x08,
       KVFFA_F_ID = 0x10, KVFFA_F_LOCATOR = 0x20 };
enum { KVFFA_CAP_STAT = 0x02 };

typedef struct kvffa_item {          /* 72 bytes on a 64-bit build */
    uint32_t struct_size; uint32_t fields;
    const char *name; const char *path;
    int32_t is_folder; int32_t year;
    int64_t size; int64_t mtime_ms;
    const char *title; const char *backend_id; const char *locator;
} kvffa_item;

/* One page of a listing, handed to a backend's list(): fill at most cap items,
 * set count, and set more with a non-empty next_cursor when entries follow. */
typedef struct kvffa_page {          /* 64 bytes on a 64-bit build */
    uint32_t struct_size; const char *cursor; kvffa_item *items; size_t cap; size_t count;
    int more; const char *next_cursor; volatile int *cancel;
} kvffa_page;

typedef struct kvffa_backend {       /* 72 bytes on a 64-bit build */
    uint32_t struct_size; const char *id; uint32_t capabilities; void *ctx;
    int (*open)(void *ctx, const char *config_json);
    int (*list)(void *ctx, const char *path, kvffa_page *page);
    int (*stat)(void *ctx, const char *path, kvffa_item *item);
    int (*locator)(void *ctx, const char *path, char *out, size_t size);
    void (*close)(void *ctx);
} kvffa_backend;

/* Errors and the layer's own helpers (also for backends) */
int kvffa__fail(int code, const char *fmt, ...) KVFFA_PRINTF(2, 3);
void kvffa__clear_error(void);
const char *kvffa_last_error(void);
int kvffa_last_code(void);
const char *kvffa_strerror(int code);
const char *kvffa_version(void);
int kvffa__utf8_valid(const char *text);
char *kvffa__strdup(const char *text);
int kvffa__validate(const kvffa_item *it, const char *listed_path, int stat_mode, const char **why);
int kvffa_validate_item(const kvffa_item *it, const char *listed_path);

/* Item accessors: NULL-safe; texts are never NULL */
const char *kvffa_item_name(const kvffa_item *it);
const char *kvffa_item_path(const kvffa_item *it);
int kvffa_item_is_folder(const kvffa_item *it);
int64_t kvffa_item_size(const kvffa_item *it);
int64_t kvffa_item_mtime_ms(const kvffa_item *it);
int kvffa_item_year(const kvffa_item *it);
const char *kvffa_item_title(const kvffa_item *it);
const char *kvffa_item_backend_id(const kvffa_item *it);
const char *kvffa_item_locator(const kvffa_item *it);
uint32_t kvffa_item_fields(const kvffa_item *it);
int kvffa_item_has(const kvffa_item *it, uint32_t mask);

/* Registry and session */
int kvffa_register(const kvffa_backend *b);
int kvffa__unregister(const char *id);
const kvffa_backend *kvffa__find(const char *id);
int kvffa_backend_count(void);
const char *kvffa_backend_id(int i);
int kvffa_backend_caps(int i);
int kvffa_open(const char *id, const char *config_json);
void kvffa_close(void);
int kvffa_set_page_size(long n);
void kvffa_reset(void);

/* Listing */
int kvffa_list(const char *path);
int kvffa_list_next(void);
int kvffa_list_all(const char *path);
int kvffa_more(void);
size_t kvffa_count(void);
const kvffa_item *kvffa_item_at(long i);
size_t kvffa_rejected(void);
void kvffa_cancel(void);
/* The flag kvffa_cancel sets, for a backend's locator (a listing gets it in its page) */
volatile int *kvffa__cancel_flag(void);

/* Stat, locator and path join */
int kvffa_get(const char *path, kvffa_item *out);
const kvffa_item *kvffa_got(void);
const char *kvffa_locator(const char *path);
const char *kvffa_path_join(const char *parent, const char *name);

/* JSON codec; kvffa__set_result_owned takes a text from malloc and frees it */
int kvffa_decode(const char *json);
const char *kvffa_result_json(void);
void kvffa__set_result_owned(char *json);

/* Fake backend "fake" over an in-memory tree, for exercising the layer */
int kvffa_fake_load_tree(const char *json);
int kvffa_fake_register(void);
int kvffa_fake_set_caps(uint32_t caps);
int kvffa_fake_set_fault(int op, int err);
int kvffa_fake_calls(int op);

/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* KVFFA_H */
