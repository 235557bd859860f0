// Casting's allow-list: the renderers a host allowed to be changed, by device key.
#include "upnp/cast_int.h"

#include <string.h>

#include "base/capacity.h"
#include "base/exports.h"
#include "base/text.h"
#include "parse/description.h"

// Allow-list (guarded by g_lock): device keys in insertion order.
static char s_allow[CAST_ALLOW_MAX][DEVICE_KEY_CAP];
static int s_nallow;

bool cast_allow_has(const char *key) {
    for (int i = 0; i < s_nallow; i++)
        if (strcmp(s_allow[i], key) == 0) return true;
    return false;
}

static int cast_allow(const char *udn) {
    if (!udn) return api_fail(KVDMC_E_ARG, "cast_allow: null udn");
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    if (!key[0]) return api_fail(KVDMC_E_ARG, "cast_allow: empty udn");
    {
        plat_guard g(&g_lock);
        if (cast_allow_has(key)) return 0;
        if (s_nallow < CAST_ALLOW_MAX) {
            str_copy(s_allow[s_nallow++], DEVICE_KEY_CAP, key);
            return 0;
        }
    }
    return api_fail(KVDMC_E_CAP, "allow-list full");
}

static void cast_clear(void) {
    plat_guard g(&g_lock);
    s_nallow = 0;
}

static int cast_allowed(const char *udn) {
    if (!udn) return 0;
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    plat_guard g(&g_lock);
    return cast_allow_has(key) ? 1 : 0;
}

// ---- exported ----

extern "C" {

KVDMC_API int kvdmc_cast_allow(const char *udn) {
    api_enter();
    return cast_allow(udn);
}

KVDMC_API void kvdmc_cast_clear(void) {
    api_enter();
    cast_clear();
}

KVDMC_API int kvdmc_cast_allowed(const char *udn) {
    api_enter();
    return cast_allowed(udn);
}

} // extern "C"
