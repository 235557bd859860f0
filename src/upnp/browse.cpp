// ContentDirectory Browse: paging into the item table, and a small cache of single-page results.
#include "upnp/browse.h"

#include <limits.h>
#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "base/protocol.h"
#include "upnp/soap.h"
#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/text.h"

namespace {

constexpr int CACHE_SLOTS = BROWSE_CACHE_SLOTS;
constexpr size_t CACHE_BYTES = BROWSE_CACHE_BYTES;

// A result as the server sent it: its Result texts, totals and update id, so that a hit
// publishes the very table the fresh browse did.
struct bcent {
    char udn[DEVICE_KEY_CAP];
    char oid[ITEM_ID_CAP];
    uint64_t at; // only results from index 0 are kept
    std::vector<browse_pages::page> pages;
    size_t bytes;
    int total;
    int uid;
};

std::vector<bcent> g_bc; // oldest first
size_t g_bc_bytes = 0;   // the texts of all entries

// Caller holds g_lock.
void cache_drop(size_t i) {
    g_bc_bytes -= g_bc[i].bytes;
    g_bc.erase(g_bc.begin() + (ptrdiff_t)i);
}

// A copy of len bytes of text, terminated, or null.
char *copy_text(const char *text, size_t len) {
    char *p = (char *)malloc(len + 1);
    if (!p) return nullptr;
    memcpy(p, text, len);
    p[len] = 0;
    return p;
}

plat_mutex s_browse_lock;
plat_once_t s_browse_once = PLAT_ONCE_INIT;
void browse_lock_init(void) {
    plat_mutex_init(&s_browse_lock);
}

// The content directory to call: version 1, or the first newer one the device offers.
void content_directory(const device_t *d, char *frag, size_t n) {
    soap_pick_version(d, SVC_CONTENT_DIRECTORY, 4, 1, frag, n);
}

// Finds the device and copies its record, so no lock is needed during the calls.
int lookup_device(const char *udn, device_t *out, char *err, size_t errn) {
    char key[DEVICE_KEY_CAP];
    udn_key_of(udn, key);
    {
        plat_guard g(&g_lock);
        const device_t *d = device_find(key);
        if (d) {
            *out = *d;
            return 0;
        }
    }
    str_fmt(err, errn, "unknown device %s", udn);
    return KVDMC_E_UNKNOWN;
}

void browse_args(sbuf *b, const char *oid, const char *flag, int index, int count) {
    sb_puts(b, "<ObjectID>");
    sb_xml(b, oid);
    sb_printf(b,
              "</ObjectID><BrowseFlag>%s</BrowseFlag><Filter>*</Filter><StartingIndex>%d</StartingIndex>"
              "<RequestedCount>%d</RequestedCount><SortCriteria></SortCriteria>",
              flag, index, count);
}

// Keeps the pages of a result; the oldest entries make room. The texts are copied
// without the lock; only putting the entry in place takes g_lock.
void cache_store(const browse_pages &bp) {
    size_t bytes = 0;
    for (const auto &page : bp.pages) bytes += page.len;
    if (bytes > CACHE_BYTES) return;
    bcent e{};
    for (const auto &page : bp.pages) {
        char *text = copy_text(page.text.get(), page.len);
        if (!text) return;
        e.pages.push_back({std::unique_ptr<char, browse_pages::text_free>(text), page.len});
    }
    str_copy(e.udn, sizeof e.udn, bp.cache_udn);
    str_copy(e.oid, sizeof e.oid, bp.cache_oid);
    e.at = plat_now_ms();
    e.bytes = bytes;
    e.total = bp.total;
    e.uid = bp.update_id;
    plat_guard g(&g_lock);
    for (size_t i = g_bc.size(); i-- > 0;)
        if (!strcmp(g_bc[i].udn, bp.cache_udn) && !strcmp(g_bc[i].oid, bp.cache_oid)) cache_drop(i);
    while (!g_bc.empty() && (g_bc.size() >= (size_t)CACHE_SLOTS || g_bc_bytes + bytes > CACHE_BYTES))
        cache_drop(0);
    g_bc.push_back(std::move(e));
    g_bc_bytes += bytes;
}

// Caller holds g_lock. On a hit the cached pages become the browse's pages.
bool cache_lookup(const char *udn, const char *oid, int max_age_ms, browse_pages *bp) {
    for (size_t i = 0; i < g_bc.size(); i++) {
        const bcent &e = g_bc[i];
        if (strcmp(e.udn, udn) != 0 || strcmp(e.oid, oid) != 0) continue;
        if (plat_now_ms() - e.at > (uint64_t)max_age_ms) {
            cache_drop(i);
            return false;
        }
        for (const auto &page : e.pages) {
            char *text = copy_text(page.text.get(), page.len);
            if (!text) {
                bp->pages.clear();
                return false;
            }
            bp->add(text, page.len);
        }
        bp->total = e.total;
        bp->update_id = e.uid;
        return true;
    }
    return false;
}

// Moves a Result text into the pages.
int keep_page(sbuf *result, size_t len, browse_pages *bp, char *err, size_t errn) {
    char *text = sb_release(result);
    if (!text) {
        str_copy(err, errn, "out of memory");
        return KVDMC_E_NOMEM;
    }
    bp->add(text, len);
    return 0;
}

// What one Browse page said about itself.
struct page_info {
    int64_t returned = 0; // NumberReturned, clamped
    int objects = 0;      // objects the page held
};

// Buffers of a paging loop, kept across its requests.
struct page_bufs {
    sbuf_scoped args, result;
};

// Servers that will not serve a page of that size say "cannot process the request",
// "action failed" or "invalid args"; pages down to BROWSE_PAGE_FLOOR objects may suit them.
bool refuses_page_size(int upnp, int count) {
    return count > BROWSE_PAGE_FLOOR && (upnp == 720 || upnp == 501 || upnp == 402);
}

int smaller_page(int count) {
    return count / 2 < BROWSE_PAGE_FLOOR ? BROWSE_PAGE_FLOOR : count / 2;
}

// The page size a server's row says it serves, when below `page`.
int served_page(const device_t *d, int page) {
    int learned = d->learned.page;
    return learned > 0 && learned < page ? learned : page;
}

// Keeps the page size a server served with, for its next browses.
void learn_page(const device_t *d, int page) {
    plat_guard g(&g_lock);
    device_t *row = device_find(d->udn_key);
    if (row && strcmp(row->location, d->location) == 0) row->learned.page = page;
}

// One Browse request for the children of oid from index, at most *count of them, kept
// in bp (nothing else is touched: no lock is held). A page too large for the reader or
// the transport is asked for again in halves while the deadline allows; *count keeps the size that
// fitted. 0, or a negative code with the message in err; *late is set when the deadline
// stopped the halving.
int fetch_page(const device_t *d, const char *frag, const char *oid, int index, int *count, uint64_t deadline,
               page_bufs &bufs, browse_pages *bp, page_info *pi, bool *late, char *err, size_t errn) {
    *late = false;
    bool refused = false; // a size the server refused: the one it then served is kept
    char nret[BROWSE_COUNT_CAP], total[BROWSE_COUNT_CAP], uid[BROWSE_COUNT_CAP];
    for (;;) {
        soap_out outs[4] = {{"Result", nullptr, 0, &bufs.result.b, 0},
                            {"NumberReturned", nret, sizeof nret, nullptr, 0},
                            {"TotalMatches", total, sizeof total, nullptr, 0},
                            {"UpdateID", uid, sizeof uid, nullptr, 0}};
        sb_reset(&bufs.args.b);
        browse_args(&bufs.args.b, oid, "BrowseDirectChildren", index, *count);
        int code = 0, too_large = 0;
        int r = soap_call(d, frag, "Browse", bufs.args.str(), outs, 4, &code, &too_large, err, errn);
        if (r != 0 && too_large && *count > 1) {
            // A slow server with oversized pages must not stretch a browse past its time.
            if (plat_now_ms() >= deadline) {
                *late = true;
                str_copy(err, errn, "browse time limit reached");
                return KVDMC_E_CAP;
            }
            *count /= 2;
            continue;
        }
        if (r != 0 && refuses_page_size(code, *count)) {
            if (plat_now_ms() >= deadline) {
                *late = true;
                str_copy(err, errn, "browse time limit reached");
                return KVDMC_E_CAP;
            }
            *count = smaller_page(*count);
            refused = true;
            continue;
        }
        // The ContentDirectory's own object errors mean: no such object.
        if (r != 0) return code >= 701 && code <= 710 ? KVDMC_E_UNKNOWN : r;
        break;
    }
    if (refused) learn_page(d, *count);
    // Claims beyond any real folder are clamped so no index can overflow.
    pi->returned = leading_int(nret, 1000000000);
    int64_t tm = leading_int(total, INT64_MAX);
    bp->total = tm > INT_MAX ? INT_MAX : tm < -INT_MAX ? -1 : (int)tm;
    // UpdateID is an unsigned 32-bit counter, kept in an int as the device wraps it.
    bp->update_id = (int)(uint32_t)leading_int(uid, INT64_MAX);
    size_t len = bufs.result.b.n;
    pi->objects = didl_count_objects_n(bufs.result.str(), len, err, errn);
    if (pi->objects < 0) return KVDMC_E_PARSE;
    return keep_page(&bufs.result.b, len, bp, err, errn);
}

// The first page's ids are kept; a later page that begins with them is dropped and ends
// the listing as partial, so nothing is handed out twice.
bool repeated_page(browse_pages *bp, int index, bool first, char (&first_ids)[BROWSE_REPEAT_IDS_CAP]) {
    const browse_pages::page &pg = bp->pages.back();
    if (first) {
        didl_first_ids(pg.text.get(), pg.len, BROWSE_REPEAT_IDS, first_ids, sizeof first_ids);
        return false;
    }
    // Nearly every later page differs from the first at its first object: one id, read
    // from the page's head, settles it; only a match reads the rest.
    char ids[BROWSE_REPEAT_IDS_CAP];
    didl_first_ids(pg.text.get(), pg.len, 1, ids, sizeof ids);
    if (!page_repeats(first_ids, ids)) return false;
    didl_first_ids(pg.text.get(), pg.len, BROWSE_REPEAT_IDS, ids, sizeof ids);
    if (!page_repeats(first_ids, ids)) return false;
    bp->pages.pop_back();
    bp->partial = 1;
    str_fmt(bp->partial_err, sizeof bp->partial_err, "server repeated page at index %d", index);
    return true;
}

int fetch_metadata(const device_t *d, const char *oid, browse_pages *bp, char *err, size_t errn) {
    sbuf_scoped args, result;
    browse_args(&args, oid, "BrowseMetadata", 0, 1);
    soap_out out{"Result", nullptr, 0, &result, 0};
    int code = 0;
    char frag[SOAP_FRAG_CAP];
    content_directory(d, frag, sizeof frag);
    if (int rc = soap_action_args(d, frag, "Browse", args.str(), &out, 1, &code, err, errn)) return rc;
    if (int rc = keep_page(&result.b, result.b.n, bp, err, errn)) return rc;
    bp->kind = browse_pages::METADATA;
    return 0;
}

int fetch_children(const device_t *d, const char *udn, const char *oid, int start, browse_pages *bp,
                   char *err, size_t errn) {
    int page, max_items, cache_ms;
    uint64_t deadline;
    {
        plat_guard g(&g_lock);
        page = g_cfg.browse_page;
        max_items = g_cfg.browse_max_items;
        cache_ms = g_cfg.browse_cache_ms;
        deadline = plat_now_ms() + (uint64_t)g_cfg.browse_timeout_ms;
    }
    // The cache keys on the texts as passed; one too long for its field could
    // collide with another, so such a browse is neither served nor stored.
    bool cacheable = start == 0 && strlen(udn) < sizeof g_bc[0].udn && strlen(oid) < sizeof g_bc[0].oid;
    if (cacheable && cache_ms > 0) {
        plat_guard g(&g_lock);
        if (cache_lookup(udn, oid, cache_ms, bp)) return 0;
    }

    char frag[SOAP_FRAG_CAP];
    content_directory(d, frag, sizeof frag);
    int index = start, fetched = 0, seen = 0;
    page = served_page(d, page);
    char first_ids[BROWSE_REPEAT_IDS_CAP] = "";
    page_bufs bufs;
    for (;;) {
        page_info pi;
        bool late;
        // A page that did not fit the reader is asked for in halves, here and after.
        if (int rc = fetch_page(d, frag, oid, index, &page, deadline, bufs, bp, &pi, &late, err, errn)) {
            if (!late || index == start) return rc;
            // What the earlier pages brought stays, as below.
            bp->partial = 1;
            str_copy(bp->partial_err, sizeof bp->partial_err, "browse time limit reached");
            break;
        }
        // A negative count would walk backwards for ever, and a page without a single
        // object, whatever it claims, would make every further request just as empty.
        int64_t returned = pi.returned;
        if (returned <= 0 || pi.objects == 0) break;
        if (repeated_page(bp, index, index == start, first_ids)) break;
        // More objects than the table holds: publishing refuses the result, so asking
        // for further pages would be wasted.
        seen += pi.objects;
        if (seen > ITEM_MAX) break;
        // Near the top of the int range the index stops there, which ends paging at the cap.
        if (returned > (int64_t)INT_MAX - index) returned = (int64_t)INT_MAX - index;
        index += (int)returned;
        fetched += (int)returned;
        if (bp->total > 0 && index >= bp->total) break;
        if (index >= max_items) {
            bp->partial = 1;
            str_fmt(bp->partial_err, sizeof bp->partial_err, "browse cap %d hit", max_items);
            break;
        }
        // A server that claims endless children and answers slowly must not hold
        // the browse for ever: what was read stays, as at the cap.
        if (plat_now_ms() >= deadline) {
            bp->partial = 1;
            str_copy(bp->partial_err, sizeof bp->partial_err, "browse time limit reached");
            break;
        }
    }
    if (cacheable) {
        str_copy(bp->cache_udn, sizeof bp->cache_udn, udn);
        str_copy(bp->cache_oid, sizeof bp->cache_oid, oid);
        bp->cache_page = page;
        bp->fetched = fetched;
    }
    return 0;
}

// The pages into bp->parsed, without any lock: a slow parse holds up no other call. The
// first page that is not well-formed ends it; publishing reports it. The texts stay for
// the cache, which keeps what the server said.
void parse_pages(browse_pages *bp) {
    didl_table &t = bp->parsed.items;
    t.clear();
    items_take_room(&t);
    for (auto &page : bp->pages) {
        int objects = 0;
        int r = bp->kind == browse_pages::METADATA
                    ? didl_parse(page.text.get(), &t, bp->parse_err, sizeof bp->parse_err)
                    : didl_parse_more_n(page.text.get(), page.len, &t, &objects, bp->parse_err,
                                        sizeof bp->parse_err);
        if (r < 0) {
            bp->parse_failed = true;
            return;
        }
    }
}

} // namespace

// Whether a page's first objects are those of the listing's first page (ids as
// didl_first_ids lists them): a server that ignores StartingIndex.
bool page_repeats(const char *first_ids, const char *ids) {
    size_t a = strlen(first_ids), b = strlen(ids);
    return a && b && memcmp(first_ids, ids, a < b ? a : b) == 0;
}

void browse_serial_lock(void) {
    plat_once(&s_browse_once, browse_lock_init);
    plat_lock(&s_browse_lock);
}

void browse_serial_unlock(void) {
    plat_unlock(&s_browse_lock);
}

int browse_fetch(const char *udn, const char *object_id, int start, int flag, browse_pages *bp, char *err,
                 size_t errn) {
    if (!udn || !object_id) {
        str_copy(err, errn, "browse: null arg");
        return KVDMC_E_ARG;
    }
    device_t d;
    if (int rc = lookup_device(udn, &d, err, errn)) return rc;
    int rc = flag == KVDMC_BROWSE_METADATA ? fetch_metadata(&d, object_id, bp, err, errn)
                                           : fetch_children(&d, udn, object_id, start, bp, err, errn);
    if (rc == 0) parse_pages(bp);
    return rc;
}

int browse_window_fetch(const char *udn, const char *oid, browse_win *w, browse_pages *bp, char *err,
                        size_t errn) {
    w->total = -1;
    w->objects = 0;
    if (!udn || !oid || w->start < 0 || w->count < 1) {
        str_copy(err, errn, "browse: null arg");
        return KVDMC_E_ARG;
    }
    device_t d;
    if (int rc = lookup_device(udn, &d, err, errn)) return rc;
    uint64_t deadline;
    {
        plat_guard g(&g_lock);
        int page = served_page(&d, g_cfg.browse_page);
        if (w->count > page) w->count = page;
        deadline = plat_now_ms() + (uint64_t)g_cfg.browse_timeout_ms;
    }
    char frag[SOAP_FRAG_CAP];
    content_directory(&d, frag, sizeof frag);
    page_bufs bufs;
    page_info pi;
    bool late;
    if (int rc = fetch_page(&d, frag, oid, w->start, &w->count, deadline, bufs, bp, &pi, &late, err, errn))
        return rc;
    bp->kind = browse_pages::WINDOW;
    bp->window = w->count;
    w->total = bp->total;
    w->objects = pi.objects < w->count ? pi.objects : w->count;
    parse_pages(bp);
    return 0;
}

// The table goes in place whatever the outcome: a page that did not parse leaves what was
// read before it, with the totals unknown.
int browse_publish(browse_pages &bp, char *err, size_t errn) {
    item_result &r = bp.parsed;
    if (bp.parse_failed) {
        str_copy(err, errn, bp.parse_err);
        items_publish(&r);
        return KVDMC_E_PARSE;
    }
    if (bp.kind == browse_pages::METADATA) {
        int n = r.total_matches = r.items.size();
        items_publish(&r);
        return n;
    }
    r.total_matches = bp.total;
    r.update_id = bp.update_id;
    // A server that sends more than it was asked for gets no room beyond the window.
    if (bp.kind == browse_pages::WINDOW) r.items.truncate(bp.window);
    int n = r.items.size();
    if (bp.kind == browse_pages::WINDOW) {
        items_publish(&r);
        return n;
    }
    if (bp.partial) {
        r.items.partial = 1;
        items_publish(&r);
        str_copy(err, errn, bp.partial_err);
        return n;
    }
    if (bp.cache_udn[0] && bp.cache_page >= (bp.fetched > n ? bp.fetched : n)) cache_store(bp);
    items_publish(&r);
    return n;
}

int browse_invoke(const char *udn, const char *object_id, int start, int flag, bool *cut, char *err,
                  size_t errn) {
    browse_pages bp;
    *cut = false;
    if (int rc = browse_fetch(udn, object_id, start, flag, &bp, err, errn)) return rc;
    // Pages of two folders must never mix in the one table: only publishing is serialised.
    browse_serial_guard serial;
    int r = browse_publish(bp, err, errn);
    *cut = r >= 0 && bp.partial;
    return r;
}

int browse_window(const char *udn, const char *oid, browse_win *w, char *err, size_t errn) {
    browse_pages bp;
    if (int rc = browse_window_fetch(udn, oid, w, &bp, err, errn)) return rc;
    browse_serial_guard serial;
    return browse_publish(bp, err, errn);
}

void browse_cache_clear(void) {
    plat_guard g(&g_lock);
    g_bc.clear();
    g_bc_bytes = 0;
}

extern "C" {

KVDMC_API int kvdmc_browse(const char *udn, const char *object_id, int start, int count, int flag) {
    api_enter();
    if (!udn || !object_id) return api_fail(KVDMC_E_ARG, "browse: null arg");
    if (start < 0 || count < 0) return api_fail(KVDMC_E_ARG, "browse: negative index");
    char err[ERR_CAP] = "";
    bool cut;
    int r = browse_invoke(udn, object_id, start, flag, &cut, err, sizeof err);
    // The browse's own code is the last code; the host gets one code for all its failures.
    if (r < 0) {
        api_fail(r, "%s", err);
        return KVDMC_E_UPNP;
    }
    // A listing stopped at the cap is a result all the same, with the cap as its code.
    if (cut) {
        api_fail(KVDMC_E_CAP, "%s", err);
        return r;
    }
    return api_ok(r);
}

KVDMC_API int kvdmc_item_count(void) {
    api_enter();
    items_guard g;
    return g_items.items.size();
}

KVDMC_API int kvdmc_total_matches(void) {
    api_enter();
    items_guard g;
    return g_items.total_matches;
}

KVDMC_API int kvdmc_update_id(void) {
    api_enter();
    items_guard g;
    return g_items.update_id;
}

KVDMC_API const char *kvdmc_best_res_url(int i) {
    static thread_local char s_url[BEST_URL_CAP];
    api_enter();
    items_guard g;
    if (i < 0 || i >= g_items.items.size()) return "";
    str_copy(s_url, sizeof s_url, g_items.items[i].res_url);
    return s_url;
}

KVDMC_API void kvdmc_cache_clear(void) {
    api_enter();
    browse_cache_clear();
}

} // extern "C"
