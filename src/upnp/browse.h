// ContentDirectory Browse with its result cache, and the JSON views of items and devices.
#pragma once

#include <stddef.h>
#include <stdlib.h>

#include <memory>
#include <vector>

#include "base/sbuf.h"
#include "parse/didl.h"
#include "upnp/discover.h"
#include "upnp/items.h"

// A browse in two steps. Fetching makes the requests and parses the pages into a table of
// its own, without any lock, so a server that hangs holds up only the browses of it and a
// parse holds up nobody; publishing puts that table in place of the item table in one
// step. A caller that reads the table afterwards holds browse_serial_guard across
// publishing and reading, so what it reads is what it browsed.
struct browse_pages {
    struct text_free {
        void operator()(char *p) const { free(p); }
    };
    enum kind_t { CHILDREN, METADATA, WINDOW };
    // A Result text and its length, which the decoder measured (it holds no NUL).
    struct page {
        std::unique_ptr<char, text_free> text;
        size_t len;
    };
    std::vector<page> pages; // in order
    void add(char *text, size_t len) { pages.push_back({std::unique_ptr<char, text_free>(text), len}); }
    kind_t kind = CHILDREN;
    int total = -1;    // the last page's TotalMatches
    int update_id = 0; // the last page's UpdateID
    int window = 0;    // WINDOW: children asked for
    int partial = 0;   // stopped at the cap or the time limit
    char partial_err[ERR_CAP] = "";
    // A result the cache may keep (children from index 0): its key and paging.
    char cache_udn[DEVICE_KEY_CAP] = "";
    char cache_oid[ITEM_ID_CAP] = "";
    int cache_page = 0, fetched = 0;
    // The pages parsed: up to the first that is not well-formed, which fails the browse
    // when it is published.
    item_result parsed;
    bool parse_failed = false;
    char parse_err[ERR_CAP] = "";
};

// 0, or a negative code with a message in err; a page that does not parse is the
// failure of browse_publish.
int browse_fetch(const char *udn, const char *object_id, int start, int flag, browse_pages *bp, char *err,
                 size_t errn);
// Replaces the item table with the parsed pages: the items published, or a negative code
// with a message in err. A result stopped at the cap or the time limit (bp.partial) leaves
// its text in err.
int browse_publish(browse_pages &bp, char *err, size_t errn);

// flag 1: the object's own metadata; otherwise its children from start, a page of
// browse_page children per request. Returns the items published, or a negative code with
// a message in err; *cut tells a result stopped at the cap or the time limit (its text in err).
int browse_invoke(const char *udn, const char *object_id, int start, int flag, bool *cut, char *err,
                  size_t errn);
// One window of a container's children, read with one request.
struct browse_win {
    int start;   // in: index of the first child
    int count;   // in: children wanted; out: how many were asked for (at most browse_page,
                 // fewer when the server's page was too large for the reader or the transport)
    int total;   // out: the server's TotalMatches; 0 or less when it does not know
    int objects; // out: objects the server sent, those not kept (cut ids) too
};
// The item table holds the window; returns its size, or a negative code with a message
// in err. Not cached.
int browse_window(const char *udn, const char *oid, browse_win *w, char *err, size_t errn);
// Its first step (w is filled in); browse_publish completes it.
int browse_window_fetch(const char *udn, const char *oid, browse_win *w, browse_pages *bp, char *err,
                        size_t errn);
void browse_cache_clear(void);
// Whether a page whose first object ids (one per line) are `ids` repeats the first page
// of its listing, whose first ids are `first_ids`.
bool page_repeats(const char *first_ids, const char *ids);
// Table refills, with the reads that must see them, are serialised with this lock; no
// request and no parse is ever made while it is held. It is taken before g_lock and the
// item lock, never while holding either, and may be taken again by its holder.
void browse_serial_lock(void);
void browse_serial_unlock(void);

struct browse_serial_guard {
    browse_serial_guard() { browse_serial_lock(); }
    ~browse_serial_guard() { browse_serial_unlock(); }
    browse_serial_guard(const browse_serial_guard &) = delete;
    browse_serial_guard &operator=(const browse_serial_guard &) = delete;
};

// The same lock, taken and dropped at will (dropped at the latest at the end of the scope).
struct browse_serial_hold {
    bool held = false;
    browse_serial_hold() = default;
    ~browse_serial_hold() { drop(); }
    browse_serial_hold(const browse_serial_hold &) = delete;
    browse_serial_hold &operator=(const browse_serial_hold &) = delete;
    void take() {
        if (!held) browse_serial_lock();
        held = true;
    }
    void drop() {
        if (held) browse_serial_unlock();
        held = false;
    }
};

// ---- JSON views (the caller holds the lock of the table read)
void item_json(sbuf *b, const didl_item &it, int i);
void device_json_from(sbuf *b, const device_t *d);
void device_json(sbuf *b, int i);
