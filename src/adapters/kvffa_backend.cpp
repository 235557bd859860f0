// The DLNA backend of the file/folder access layer. A folder is a ContentDirectory
// container, a page of it is one Browse window, and an entry's locator is its resource URL.
// Paths are an object id, or an object id, "/" and a child (its index, or its name or title).
#include "kvdmc.h"

#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "upnp/browse.h"
#include "upnp/items.h"
#include "base/config.h"
#include "base/exports.h"
#include "base/json_in.h"
#include "kvffa/kvffa.h"
#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/text.h"

namespace {

// Appends s as valid UTF-8: bytes that start no character become U+FFFD.
void append_clean(std::string *out, const char *s) {
    utf8_pieces(s, [out](const char *p, size_t n) { out->append(p, n); });
}

// Appends the name an entry is shown under: its title, or its object id when the title is
// empty, "." or ".."; every '/' becomes U+FF0F and bytes that are not UTF-8 become U+FFFD,
// so no entry is lost to the layer's rules on names.
void append_name(std::string *out, const char *title, const char *object_id) {
    bool unusable = !title[0] || !strcmp(title, ".") || !strcmp(title, "..");
    size_t at = out->size();
    append_clean(out, unusable ? object_id : title);
    while ((at = out->find('/', at)) != std::string::npos) out->replace(at, 1, "\xEF\xBC\x8F");
}

// A folder's first window, by the ids of its first objects.
struct first_window {
    std::string oid, ids;
};

struct dlna_ctx {
    std::string udn;
    // The texts of the entries handed to the layer by the last call: the layer copies
    // them after the call, and another thread's browse may change the item table
    // meanwhile, so they are the backend's own until its next call.
    std::string texts;
    char cursor[32];
    // The first window of the folder listed last: a later window that begins with the
    // same objects comes from a server that ignores StartingIndex.
    first_window listed;
};

dlna_ctx s_ctx;

struct dlna_path {
    std::string oid;
    std::string child;
};

// Object ids may hold '/' (servers that use file paths or URLs as ids), so in a path
// an id's '/' is written %2F and its '%' %25: the first '/' of a path always ends the
// id. Ids without either character are their own path.
void append_path_of_id(std::string *out, const char *id) {
    for (const char *p = id; *p; p++) {
        if (*p == '/')
            out->append("%2F");
        else if (*p == '%')
            out->append("%25");
        else
            out->push_back(*p);
    }
}

bool id_needs_escapes(const char *id) {
    return strpbrk(id, "/%") != nullptr;
}

// The id a path's first part names: %2F and %25 (either letter case) decoded, every
// other byte, other '%' sequences included, as written.
void decode_path_id(const char *s, size_t n, std::string *out) {
    out->clear();
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (c == '%' && n - i >= 3 && s[i + 1] == '2') {
            char k = s[i + 2];
            if (k == 'F' || k == 'f' || k == '5') {
                out->push_back(k == '5' ? '%' : '/');
                i += 2;
                continue;
            }
        }
        out->push_back(c);
    }
}

// "oid" or "oid/child". An empty object id, or one longer than the ids a server's
// listing can carry, names nothing.
bool split_path(const char *path, dlna_path *p) {
    if (!path) return false;
    const char *slash = strchr(path, '/');
    size_t ol = slash ? (size_t)(slash - path) : strlen(path);
    if (ol == 0) return false;
    decode_path_id(path, ol, &p->oid);
    if (p->oid.size() > ITEM_ID_CAP - 1) return false;
    p->child.assign(slash ? slash + 1 : "");
    return true;
}

bool cancelled(volatile int *flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_SEQ_CST) != 0;
}

// Whether the server says children follow a window: TotalMatches says so when the
// server knows it, otherwise a full window does. A window without objects ends the
// folder whatever the count claims.
bool server_has_more(const browse_win &w) {
    int next = w.start + w.objects;
    return w.objects > 0 && (w.total > 0 ? next < w.total : w.objects >= w.count);
}

// Whether the component's cap on a browse's reach ends a folder the server says goes on:
// a server claiming billions of children cannot make a listing or a search go on without end.
bool capped(const browse_win &w) {
    return server_has_more(w) && w.start + w.objects >= cfg_read(g_cfg.browse_max_items);
}

bool window_more(const browse_win &w) {
    return server_has_more(w) && !capped(w);
}

// One Browse window into the item table: the request without any lock, then `hold` is
// taken for publishing, and stays taken for the caller's read of the table.
int window_now(const char *udn, const char *oid, browse_win *w, browse_serial_hold &hold, char *err,
               size_t errn) {
    browse_pages pages;
    if (int rc = browse_window_fetch(udn, oid, w, &pages, err, errn)) return rc;
    hold.take();
    return browse_publish(pages, err, errn);
}

// The ids of the first objects of the item table, one per line, as page_repeats reads them.
// Caller holds g_lock.
std::string table_first_ids(void) {
    std::string ids;
    const didl_table &t = g_items.items;
    for (int i = 0; i < t.size() && i < BROWSE_REPEAT_IDS; i++) ids.append(t[i].id).push_back('\n');
    return ids;
}

// Keeps the ids of a folder's first window in `first`, or tells that a later window
// repeats them. Caller holds the item lock.
bool window_repeats(first_window &first, const std::string &oid, int start) {
    if (start == 0) {
        first.oid = oid;
        first.ids = table_first_ids();
        return false;
    }
    return first.oid == oid && page_repeats(first.ids.c_str(), table_first_ids().c_str());
}

// A browse failure as the layer's transport failure, with the browse's own text.
int transport_fail(const char *err) {
    return kvffa__fail(KVFFA_E_TRANSPORT, "%s", err[0] ? err : "browse failed");
}

// Looks for the child of oid whose title, or name as shown, is `child`, one window after
// the other, within the browse cap and the browse time limit, and while not cancelled. On
// success the item table holds the window, *at is the entry's index in it and `hold` is
// taken; each window's request is made without it. A look-up that ends without a match
// says where.
int find_child(const dlna_path &p, volatile int *cancel, int *at, browse_serial_hold &hold) {
    std::string name;
    first_window first; // a look-up leaves the listing's own memory as it was
    uint64_t deadline = plat_now_ms() + (uint64_t)cfg_read(g_cfg.browse_timeout_ms);
    browse_win w{0, ITEM_MAX, -1, 0}; // browse_window asks for at most browse_page
    for (;;) {
        if (cancelled(cancel)) return kvffa__fail(KVFFA_E_CANCELLED, "cancelled after %d children", w.start);
        char err[ERR_CAP] = "";
        hold.drop();
        int n = window_now(s_ctx.udn.c_str(), p.oid.c_str(), &w, hold, err, sizeof err);
        if (n < 0) return transport_fail(err);
        {
            items_guard g;
            if (window_repeats(first, p.oid, w.start))
                return kvffa__fail(KVFFA_E_NOT_FOUND, "no such child among %d children", w.start);
            const didl_table &t = g_items.items;
            for (int i = 0; i < t.size(); i++) {
                name.clear();
                append_name(&name, t[i].title, t[i].id);
                if (p.child == t[i].title || p.child == name) {
                    *at = i;
                    return KVFFA_OK;
                }
            }
        }
        int seen = w.start + w.objects;
        if (capped(w))
            return kvffa__fail(KVFFA_E_NOT_FOUND,
                               "no such child among the first %d children (browse_max_items)", seen);
        if (!server_has_more(w))
            return kvffa__fail(KVFFA_E_NOT_FOUND, "no such child among %d children", seen);
        if (plat_now_ms() >= deadline)
            return kvffa__fail(KVFFA_E_NOT_FOUND,
                               "no such child among the first %d children (browse_timeout_ms)", seen);
        w.start = seen;
        w.count = ITEM_MAX;
    }
}

// Only digits alone are an index: "01 - Overture" and "2001 A Space Odyssey" are names.
bool is_index(const std::string &child) {
    return !child.empty() && child.find_first_not_of("0123456789") == std::string::npos;
}

// The child of p given by index or by name; the item table then holds it at *at, and
// `hold` is taken.
int resolve_child(const dlna_path &p, volatile int *cancel, int *at, browse_serial_hold &hold) {
    if (!is_index(p.child)) return find_child(p, cancel, at, hold);
    int64_t index = leading_int(p.child.c_str(), INT32_MAX);
    browse_win w{(int)index, 1, -1, 0};
    char err[ERR_CAP] = "";
    int n = window_now(s_ctx.udn.c_str(), p.oid.c_str(), &w, hold, err, sizeof err);
    if (n < 0) return transport_fail(err);
    if (n < 1) return kvffa__fail(KVFFA_E_NOT_FOUND, "no child at index %lld", (long long)index);
    // A server known to begin this folder with these objects ignored StartingIndex: what
    // it sent is not the child asked for.
    if (index > 0) {
        items_guard g;
        if (s_ctx.listed.oid == p.oid && page_repeats(s_ctx.listed.ids.c_str(), table_first_ids().c_str()))
            return kvffa__fail(KVFFA_E_NOT_FOUND, "server repeated page at index %lld", (long long)index);
    }
    *at = 0;
    return KVFFA_OK;
}

// Entry `i` of the item table into a page item. Its texts go to s_ctx.texts; the offsets
// are turned into pointers once every text is in place.
struct entry_texts {
    size_t name, title, id, path, locator;
    bool has_locator;
};

// The caller holds the item lock.
entry_texts take_entry(int i, kvffa_item *it) {
    const didl_item &d = g_items.items[i];
    entry_texts t;
    std::string &texts = s_ctx.texts;
    t.name = texts.size();
    append_name(&texts, d.title, d.id);
    texts.push_back(0);
    t.title = texts.size();
    append_clean(&texts, d.title);
    texts.push_back(0);
    t.id = texts.size();
    texts.append(d.id).push_back(0);
    t.path = t.id;
    if (id_needs_escapes(d.id)) {
        t.path = texts.size();
        append_path_of_id(&texts, d.id);
        texts.push_back(0);
    }
    t.has_locator = d.res_url[0] != 0;
    t.locator = texts.size();
    texts.append(d.res_url).push_back(0);
    it->fields = KVFFA_F_ID | KVFFA_F_TITLE;
    if (t.has_locator) it->fields |= KVFFA_F_LOCATOR;
    // The table holds 0 for a resource without a size: only a size the server gave is one.
    if (d.res_url[0] && d.res_size_given && d.res_size >= 0) {
        it->fields |= KVFFA_F_SIZE;
        it->size = d.res_size;
    }
    it->is_folder = d.is_folder ? 1 : 0;
    return t;
}

void point_at_texts(kvffa_item *it, const entry_texts &t) {
    const char *base = s_ctx.texts.c_str();
    it->name = base + t.name;
    it->path = base + t.path;
    it->title = base + t.title;
    it->backend_id = base + t.id;
    it->locator = t.has_locator ? base + t.locator : nullptr;
}

int dlna_open(void *ctx, const char *config_json) {
    dlna_ctx *c = (dlna_ctx *)ctx;
    rapidjson::Document doc;
    if (!json_parse_strict(doc, config_json) || !doc.IsObject())
        return kvffa__fail(KVFFA_E_BAD_CONFIG, "config_json is not a JSON object");
    if (!doc.HasMember("udn") || !doc["udn"].IsString() || doc["udn"].GetStringLength() == 0)
        return kvffa__fail(KVFFA_E_BAD_CONFIG, "config needs udn");
    const rapidjson::Value &v = doc["udn"];
    c->udn.assign(v.GetString(), utf8_cut(v.GetString(), v.GetStringLength(), DEVICE_KEY_CAP - 1));
    return KVFFA_OK;
}

int dlna_list(void *ctx, const char *path, kvffa_page *page) {
    api_enter();
    dlna_ctx *c = (dlna_ctx *)ctx;
    c->texts.clear();
    if (!page || !page->items || page->cap == 0) return KVFFA_E_INVALID_ARG;
    dlna_path p;
    if (!split_path(path, &p)) return KVFFA_E_NOT_FOUND;
    // Publishing a browse and reading the result are one step: no other thread's browse
    // in between. The requests themselves are made without it.
    browse_serial_hold one_step;
    if (!p.child.empty()) {
        int at = 0;
        if (int rc = resolve_child(p, page->cancel, &at, one_step)) return rc;
        items_guard g;
        entry_texts t = take_entry(at, &page->items[0]);
        point_at_texts(&page->items[0], t);
        page->count = 1;
        return KVFFA_OK;
    }

    // One Browse window per page, from the cursor on: a page never costs the whole folder.
    int64_t start = page->cursor ? leading_int(page->cursor, INT32_MAX) : 0;
    if (start < 0) start = 0;
    browse_win w{(int)start, page->cap > (size_t)INT32_MAX ? INT32_MAX : (int)page->cap, -1, 0};
    char err[ERR_CAP] = "";
    if (cancelled(page->cancel)) return KVFFA_E_CANCELLED;
    int n = window_now(c->udn.c_str(), p.oid.c_str(), &w, one_step, err, sizeof err);
    if (n < 0) return transport_fail(err);
    std::vector<entry_texts> offs((size_t)n);
    {
        items_guard g;
        if (window_repeats(s_ctx.listed, p.oid, w.start)) {
            // What it sends now was listed already: the listing ends here, marked.
            page->count = 0;
            page->more = 0;
            page->next_cursor = nullptr;
            return kvffa__fail(KVFFA_OK, "server repeated page at index %d", w.start);
        }
        n = g_items.items.size() < n ? g_items.items.size() : n;
        for (int i = 0; i < n; i++) offs[(size_t)i] = take_entry(i, &page->items[i]);
    }
    for (int i = 0; i < n; i++) point_at_texts(&page->items[i], offs[(size_t)i]);
    page->count = (size_t)n;
    int next = w.start + w.objects;
    page->more = window_more(w);
    // A capped folder still lists; the note tells it from a complete one.
    if (capped(w)) kvffa__fail(KVFFA_OK, "listing stopped at %d entries (browse_max_items)", next);
    str_fmt(c->cursor, sizeof c->cursor, "%d", next);
    page->next_cursor = page->more ? c->cursor : nullptr;
    return KVFFA_OK;
}

int dlna_locator(void *ctx, const char *path, char *out, size_t n) {
    api_enter();
    dlna_ctx *c = (dlna_ctx *)ctx;
    dlna_path p;
    if (!split_path(path, &p)) return kvffa__fail(KVFFA_E_NOT_FOUND, "empty path");
    browse_serial_hold one_step;
    int at = 0;
    if (p.child.empty()) {
        // A bare object id: the object's own metadata says whether it has a resource.
        char err[ERR_CAP] = "";
        browse_pages pages;
        int r = browse_fetch(c->udn.c_str(), p.oid.c_str(), 0, 1, &pages, err, sizeof err);
        one_step.take();
        if (r < 0 || browse_publish(pages, err, sizeof err) < 0) return transport_fail(err);
    } else if (int rc = resolve_child(p, kvffa__cancel_flag(), &at, one_step)) {
        return rc;
    }
    items_guard g;
    const didl_table &t = g_items.items;
    if (at >= t.size() || !t[at].res_url[0] || t[at].is_folder)
        return kvffa__fail(KVFFA_E_NOT_FOUND, "no locator for this path");
    str_copy(out, n, t[at].res_url);
    return KVFFA_OK;
}

void dlna_close(void *ctx) {
    dlna_ctx *c = (dlna_ctx *)ctx;
    c->texts.clear();
    c->texts.shrink_to_fit();
}

} // namespace

extern "C" KVDMC_API int kvdmc_kvffa_register(void) {
    api_enter();
    kvffa_backend b{};
    b.struct_size = sizeof b;
    b.id = "dlna";
    // 0x01 and 0x10 are stored and reported by the layer, not interpreted; no stat.
    b.capabilities = 0x11;
    b.ctx = &s_ctx;
    b.open = dlna_open;
    b.list = dlna_list;
    b.locator = dlna_locator;
    b.close = dlna_close;
    // The layer keeps its own account of a refusal (an id already taken, say).
    if (kvffa_register(&b) != KVFFA_OK) return api_fail(KVDMC_E_CAP, "kvffa_register failed");
    return 0;
}
