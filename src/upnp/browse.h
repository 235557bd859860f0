// ContentDirectory Browse with its result cache, and the JSON views of items and devices.
#pragma once

#include <stddef.h>

#include "parse/didl.h"
#include "upnp/discover.h"
#include "base/util.h"

// flag 1: the object's own metadata; otherwise its children from start.
// Returns g_nitem, or a negative code with a message in err (also recorded as the last code).
int browse_invoke(const char *udn, const char *object_id, int start, int count, int flag, char *err,
                  size_t errn);
// One window of a container's children, read with one request.
struct browse_win {
    int start;   // in: index of the first child
    int count;   // in: children wanted; out: how many were asked for (at most browse_page,
                 // fewer when the server's page was too large for the reader)
    int total;   // out: the server's TotalMatches; 0 or less when it does not know
    int objects; // out: objects the server sent, those not kept (cut ids) too
};
// The item table holds the window; returns its size, or a negative code with a message
// in err (also recorded as the last code). Not cached.
int browse_window(const char *udn, const char *oid, browse_win *w, char *err, size_t errn);
void browse_cache_clear(void);
// Whole browses (and whole table refills) are serialised with this lock. It is
// taken before g_lock, never while holding it, and may be taken again by its holder:
// a caller that browses and then reads the table holds it across both.
void browse_serial_lock(void);
void browse_serial_unlock(void);

struct browse_serial_guard {
    browse_serial_guard() { browse_serial_lock(); }
    ~browse_serial_guard() { browse_serial_unlock(); }
    browse_serial_guard(const browse_serial_guard &) = delete;
    browse_serial_guard &operator=(const browse_serial_guard &) = delete;
};

// ---- JSON views (caller holds g_lock)
void item_json(sbuf *b, int i);
void device_json_from(sbuf *b, const device_t *d);
void device_json(sbuf *b, int i);
