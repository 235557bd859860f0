/* Compiled as C99: the layer's header must stay valid C, with the record
 * layouts backends are built against. */
#include "kvffa/kvffa.h"

#include <string.h>

/* Negative array sizes fail the build where _Static_assert is not C99. */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef char kvffa_c99_item_is_72[sizeof(kvffa_item) == 72 ? 1 : -1];
typedef char kvffa_c99_page_is_64[sizeof(kvffa_page) == 64 ? 1 : -1];
typedef char kvffa_c99_backend_is_72[sizeof(kvffa_backend) == 72 ? 1 : -1];
#endif

static int c99_list(void *ctx, const char *path, kvffa_page *page) {
    (void)ctx;
    (void)path;
    return *page->cancel ? KVFFA_E_CANCELLED : KVFFA_OK;
}

int kvffa_c99_header_ok(void);
int kvffa_c99_header_ok(void) {
    kvffa_item it;
    kvffa_backend b;
    memset(&it, 0, sizeof it);
    memset(&b, 0, sizeof b);
    b.list = c99_list;
    it.fields = KVFFA_F_SIZE | KVFFA_F_LOCATOR;
    return kvffa_item_has(&it, KVFFA_F_LOCATOR) && KVFFA_E_OOM == 10 && KVFFA_CAP_STAT == 0x02 &&
           strcmp(kvffa_strerror(-KVFFA_E_NOT_FOUND), "not_found") == 0 && b.list != 0;
}
