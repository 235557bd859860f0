// Library frame: locks, one-time set-up and the per-thread reporting state. It is the
// bottom of the component: every other unit may use it, it uses none of them.
#pragma once

#include <stddef.h>

#include "kvdmc.h"
#include "platform/plat.h"

extern plat_mutex g_lock;    // device table, item table, cache, allow-list, configuration
extern plat_mutex g_io_lock; // transport selection; may be taken inside g_lock, never around it

// Shared entry step of every exported function that touches shared state.
void api_enter(void);

// Reporting state of the calling thread. Only the exported functions (and the tool's and
// the source handler's entry points) write it, each once at its end: the units below them
// return a code and leave their message in a buffer the caller owns.
// Records a failure's text and code; returns the code.
int api_fail(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Records success as the last code 0 (leaving the last text); returns result.
int api_ok(int result);
// Replace the small JSON text (and drop any held large text): results of parse entry points.
void set_small_json(const char *json, size_t len);
// Replace only the small JSON text and return it; a held large text stays the last JSON
// (device and item views are not parse results).
const char *put_small_json(const char *json, size_t len);
// Replace the large JSON text (kept until the next small or large result).
void set_result_json(const char *json, size_t len);
