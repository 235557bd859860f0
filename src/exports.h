// Library frame: locks, one-time set-up, and the per-thread reporting state.
#pragma once

#include <stddef.h>

#include "plat.h"

extern plat_mutex g_lock;    // device table, item table, cache, allow-list, configuration
extern plat_mutex g_io_lock; // transport selection; may be taken inside g_lock, never around it

// Shared entry steps of every exported function that touches shared state.
void locks_once(void);
void api_enter(void); // locks_once, then cfg_once

// Reporting state of the calling thread.
void set_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_code(int code);
// Replace the small JSON text (and drop any held large text): results of parse entry points.
void set_small_json(const char *json, size_t len);
// Replace only the small JSON text and return it; a held large text stays the last JSON
// (device and item views are not parse results).
const char *put_small_json(const char *json, size_t len);
// Replace the large JSON text (kept until the next small or large result).
void set_result_json(const char *json, size_t len);

// Error codes shared across the component.
enum {
    KVDMC_E_ARG = -1,
    KVDMC_E_FAKE = -2,
    KVDMC_E_NET = -3,
    KVDMC_E_UNKNOWN = -4,
    KVDMC_E_NOMEM = -5,
    KVDMC_E_UPNP = -6,
    KVDMC_E_REFUSED = -7,
    KVDMC_E_CAP = -8,
    KVDMC_E_PARSE = -9,
    KVDMC_E_CONFIG = -10,
    KVDMC_E_NOCURL = -11,
    KVDMC_E_AUTH = -12
};
