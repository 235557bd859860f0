// ContentDirectory Browse with its result cache, and the JSON views of items and devices.
#pragma once

#include <stddef.h>

#include "didl.h"
#include "discover.h"
#include "util.h"

// flag 1: the object's own metadata; otherwise its children from start.
// Returns g_nitem or -1 with a message; records the last code.
int browse_invoke(const char *udn, const char *object_id, int start, int count, int flag, char *err,
                  size_t errn);
void browse_cache_clear(void);
// Whole browses (and whole table refills) are serialised with this lock. It is
// taken before g_lock, never while holding it.
void browse_serial_lock(void);
void browse_serial_unlock(void);

// ---- JSON views (caller holds g_lock)
void item_json(sbuf *b, int i);
void device_json_from(sbuf *b, const device_t *d);
void device_json(sbuf *b, int i);
