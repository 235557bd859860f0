// The fake backend "fake": a complete backend over an in-memory tree described
// in JSON, for exercising the layer. Paging is real (a decimal offset as the
// cursor, an optional smaller page limit), capabilities can be switched, and
// every operation can be made to fail with any code, including codes outside
// the taxonomy and a cancellation in the middle of a page. Its tree reader
// takes values that make invalid items, so the layer's checks can be reached.
#include <stdio.h>
#include <string.h>

#include "kvffa_json.h"

namespace {
constexpr int MAX_DEPTH = 64;
constexpr int64_t GENERATE_MAX = 1000000;
constexpr uint32_t NONE = UINT32_MAX;
constexpr uint32_t CAP_TITLES = 0x04; // titles and years are reported
constexpr uint32_t CAP_IDS = 0x08;    // ids are reported
constexpr const char *DEFAULT_TREE = "{\"name\":\"\",\"children\":[]}";

// Fault and counter slots
enum { OP_OPEN = 1, OP_LIST_FIRST = 2, OP_LIST_LATER = 3, OP_STAT = 4, OP_LOCATOR = 5, OP_CANCEL_AFTER = 6 };

struct fnode {
    const char *name, *path, *title, *id; // in the tree's arena
    int32_t is_folder, year;
    uint32_t fields;
    int64_t size, mtime;
    uint32_t *kids; // children in load order
    size_t nkids, capkids;
    size_t plen; // the path's length and hash, kept for lookups
    uint32_t hash;
};

uint32_t path_hash(const char *s, size_t n) {
    uint32_t h = 1469598103u;
    for (size_t i = 0; i < n; i++) {
        h ^= static_cast<unsigned char>(s[i]);
        h *= 16777619u;
    }
    return h;
}

struct ftree {
    fnode *nodes = nullptr;
    size_t n = 0, cap = 0;
    uint32_t *index = nullptr; // open addressing: node index + 1, 0 for an empty slot
    size_t icap = 0;
    ffa_arena texts;
    bool loaded = false;

    ~ftree() { discard(); }
    void discard() {
        for (size_t i = 0; i < n; i++) ffa_free(nodes[i].kids);
        texts.release();
        ffa_free(nodes);
        ffa_free(index);
        nodes = nullptr;
        index = nullptr;
        n = cap = icap = 0;
        loaded = false;
    }

    // The first node with a path keeps it; later ones are reached only through their parent.
    void index_put(uint32_t k) {
        const fnode &f = nodes[k];
        size_t mask = icap - 1;
        for (size_t s = f.hash & mask;; s = (s + 1) & mask) {
            if (!index[s]) {
                index[s] = k + 1;
                return;
            }
            const fnode &o = nodes[index[s] - 1];
            if (o.hash == f.hash && o.plen == f.plen && memcmp(o.path, f.path, f.plen) == 0) return;
        }
    }
    // Room for `want` nodes: node capacity from 256 doubling, index at least
    // twice the node count plus 2, from 1024 doubling (rebuilt when it grows).
    bool reserve(size_t want) {
        if (want >= NONE) return false;
        if (want > cap) {
            size_t c = cap ? cap : 256;
            while (c < want) c *= 2;
            auto *p = static_cast<fnode *>(ffa_realloc(nodes, c * sizeof(fnode)));
            if (!p) return false;
            nodes = p;
            cap = c;
        }
        size_t ic = icap ? icap : 1024;
        while (ic < 2 * want + 2) ic *= 2;
        if (ic != icap) {
            auto *x = static_cast<uint32_t *>(ffa_malloc(ic * sizeof(uint32_t)));
            if (!x) return false;
            memset(x, 0, ic * sizeof(uint32_t));
            ffa_free(index);
            index = x;
            icap = ic;
            for (size_t k = 0; k < n; k++) index_put(static_cast<uint32_t>(k));
        }
        return true;
    }
    bool kids_reserve(uint32_t parent, size_t want) {
        fnode &p = nodes[parent];
        if (want <= p.capkids) return true;
        size_t c = p.capkids ? p.capkids : 8;
        while (c < want) c *= 2;
        auto *k = static_cast<uint32_t *>(ffa_realloc(p.kids, c * sizeof(uint32_t)));
        if (!k) return false;
        p.kids = k;
        p.capkids = c;
        return true;
    }
    // name and path are texts of the arena; a new node is a file without optional fields.
    bool add(const char *name, const char *path, size_t plen, uint32_t parent, uint32_t *out) {
        if (!name || !path || !reserve(n + 1)) return false;
        if (parent != NONE && !kids_reserve(parent, nodes[parent].nkids + 1)) return false;
        uint32_t k = static_cast<uint32_t>(n);
        fnode &f = nodes[k];
        memset(&f, 0, sizeof f);
        f.name = name;
        f.path = path;
        f.plen = plen;
        f.hash = path_hash(f.path, f.plen);
        f.size = -1;
        f.mtime = -1;
        n++;
        index_put(k);
        if (parent != NONE) nodes[parent].kids[nodes[parent].nkids++] = k;
        *out = k;
        return true;
    }
    // Lookup of a query path: trailing slashes removed, an empty path is the root.
    // Stored paths are not normalised, so one given with a trailing slash is never found.
    uint32_t find(const char *q, size_t len) const {
        while (len > 0 && q[len - 1] == '/') len--;
        if (len == 0) q = "/", len = 1;
        if (!icap) return NONE;
        uint32_t h = path_hash(q, len);
        size_t mask = icap - 1;
        for (size_t s = h & mask; index[s]; s = (s + 1) & mask) {
            const fnode &f = nodes[index[s] - 1];
            if (f.hash == h && f.plen == len && memcmp(f.path, q, len) == 0) return index[s] - 1;
        }
        return NONE;
    }
    uint32_t find(const char *q) const { return find(q, strlen(q)); }
};

ftree s_tree;
uint32_t s_caps = 0x0F;
int s_fault[8];
int s_calls[8];
bool s_open = false;
size_t s_page_limit = 0; // 0: none
char s_cursor[32];

bool is_int(const ffa_value *v) {
    return v && (v->IsInt64() || v->IsUint64());
}
int64_t int_of(const ffa_value &v) {
    return v.IsInt64() ? v.GetInt64() : static_cast<int64_t>(v.GetUint64());
}
// Texts of the tree are C texts: whatever follows a \u0000 is not part of them.
const char *copy_text(const ffa_value &v) {
    return s_tree.texts.copy(v.GetString(), strnlen(v.GetString(), v.GetStringLength()));
}

// A child's path: the parent's path, "/", the name ("/" plus the name under
// "/"), made in the arena with room for the name, which the caller writes at
// the returned offset. Its length goes to *plen.
char *child_path(uint32_t parent, size_t nlen, size_t *name_at, size_t *plen) {
    const fnode &p = s_tree.nodes[parent];
    size_t keep = p.plen == 1 && p.path[0] == '/' ? 0 : p.plen;
    char *path = s_tree.texts.alloc(keep + 1 + nlen + 1);
    if (!path) return nullptr;
    memcpy(path, s_tree.nodes[parent].path, keep); // reread: the arena does not move nodes
    path[keep] = '/';
    path[keep + 1 + nlen] = 0;
    *name_at = keep + 1;
    *plen = keep + 1 + nlen;
    return path;
}

// The generated names d000000 and f000000.bin, without a formatter per node.
size_t generated_name(char *out, size_t i, bool folder) {
    out[0] = folder ? 'd' : 'f';
    for (int k = 6; k >= 1; k--, i /= 10) out[k] = static_cast<char>('0' + i % 10);
    if (folder) return 7;
    memcpy(out + 7, ".bin", 4);
    return 11;
}

int oom() {
    return kvffa__fail(KVFFA_E_OOM, "out of memory");
}

int load_node(const ffa_value &v, uint32_t parent, int depth) {
    if (depth > MAX_DEPTH) return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake tree deeper than %d", MAX_DEPTH);
    if (!v.IsObject()) return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake tree: node is not an object");
    const ffa_value *name = ffa_member(v, "name");
    if (!name || !name->IsString())
        return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake tree: node without string name");

    const ffa_value *path = ffa_member(v, "path"), *children = ffa_member(v, "children");
    const char *nm = nullptr, *pt = nullptr;
    size_t plen = 0;
    if (path && path->IsString()) {
        nm = copy_text(*name);
        pt = copy_text(*path);
        plen = pt ? strlen(pt) : 0;
    } else if (parent == NONE) {
        nm = copy_text(*name);
        pt = s_tree.texts.copy("/", 1);
        plen = 1;
    } else {
        size_t nlen = strnlen(name->GetString(), name->GetStringLength()), at;
        char *p = child_path(parent, nlen, &at, &plen);
        if (p) memcpy(p + at, name->GetString(), nlen);
        nm = p ? p + at : nullptr; // the name is the path's last segment
        pt = p;
    }
    uint32_t k;
    if (!s_tree.add(nm, pt, plen, parent, &k)) return oom();

    fnode &f = s_tree.nodes[k];
    f.is_folder = parent == NONE || children;
    const ffa_value *folder = ffa_member(v, "folder");
    if (folder && folder->IsBool() && parent != NONE && !children) f.is_folder = folder->GetBool();
    if (is_int(folder)) f.is_folder = static_cast<int32_t>(int_of(*folder));
    const ffa_value *size = ffa_member(v, "size");
    if (size && size->IsInt64()) {
        f.size = size->GetInt64();
        if (f.size >= 0 || ffa_member(v, "raw_size")) f.fields |= KVFFA_F_SIZE;
    }
    const ffa_value *mtime = ffa_member(v, "mtime_ms");
    if (mtime && mtime->IsInt64() && mtime->GetInt64() >= 0) {
        f.mtime = mtime->GetInt64();
        f.fields |= KVFFA_F_MTIME;
    }
    const ffa_value *year = ffa_member(v, "year");
    if (is_int(year)) {
        f.year = static_cast<int32_t>(int_of(*year));
        f.fields |= KVFFA_F_YEAR;
    }
    const ffa_value *title = ffa_member(v, "title"), *id = ffa_member(v, "id");
    if (title && title->IsString()) {
        if (!(f.title = copy_text(*title))) return oom();
        f.fields |= KVFFA_F_TITLE;
    }
    if (id && id->IsString()) {
        if (!(f.id = copy_text(*id))) return oom();
        f.fields |= KVFFA_F_ID;
    }

    if (!children) return KVFFA_OK;
    if (!children->IsArray()) return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake tree: children is not an array");
    for (const ffa_value &c : children->GetArray()) {
        int rc = load_node(c, k, depth + 1);
        if (rc != KVFFA_OK) return rc;
    }
    return KVFFA_OK;
}

// The folder a generator fills, created under an existing parent when missing.
int generator_folder(const char *path, size_t len, uint32_t *out) {
    while (len > 0 && path[len - 1] == '/') len--;
    if (len == 0) path = "/", len = 1;
    if ((*out = s_tree.find(path, len)) != NONE) return KVFFA_OK;
    const char *slash = nullptr;
    for (size_t i = len; i > 0 && !slash; i--)
        if (path[i - 1] == '/') slash = path + i - 1;
    uint32_t parent = 0;
    if (slash && slash != path) {
        parent = s_tree.find(path, static_cast<size_t>(slash - path));
        if (parent == NONE)
            return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake generate: parent of '%.*s' missing",
                               static_cast<int>(len), path);
    }
    const char *pt = s_tree.texts.copy(path, len);
    const char *nm = pt ? pt + (slash ? slash + 1 - path : 0) : nullptr;
    if (!s_tree.add(nm, pt, len, parent, out)) return oom();
    s_tree.nodes[*out].is_folder = 1;
    return KVFFA_OK;
}

int generate(const ffa_value &g) {
    const ffa_value *path = ffa_member(g, "path"), *count = ffa_member(g, "count");
    if (!path || !path->IsString() || !is_int(count))
        return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake generate: need path + count");
    if (!count->IsInt64() || count->GetInt64() < 0 || count->GetInt64() > GENERATE_MAX)
        return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake generate: count 0..%d", static_cast<int>(GENERATE_MAX));
    const size_t n = static_cast<size_t>(count->GetInt64());
    const ffa_value *folders_v = ffa_member(g, "folders"), *size_v = ffa_member(g, "size");
    const int64_t folders = is_int(folders_v) ? int_of(*folders_v) : 0;
    const int64_t size = size_v && size_v->IsInt64() ? size_v->GetInt64() : -1;

    uint32_t dir;
    int rc = generator_folder(path->GetString(), strnlen(path->GetString(), path->GetStringLength()), &dir);
    if (rc != KVFFA_OK) return rc;
    if (!s_tree.nodes[dir].is_folder) return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake generate: not a folder");
    if (!s_tree.reserve(s_tree.n + n) || !s_tree.kids_reserve(dir, s_tree.nodes[dir].nkids + n)) return oom();
    for (size_t i = 0; i < n; i++) {
        const bool is_dir = static_cast<int64_t>(i) < folders;
        size_t at, plen;
        char *p = child_path(dir, is_dir ? 7 : 11, &at, &plen);
        if (p) generated_name(p + at, i, is_dir);
        uint32_t k;
        if (!p || !s_tree.add(p + at, p, plen, dir, &k)) return oom();
        fnode &f = s_tree.nodes[k];
        f.is_folder = is_dir;
        if (!is_dir && size >= 0) {
            f.size = size;
            f.fields |= KVFFA_F_SIZE;
        }
    }
    return KVFFA_OK;
}

void fill(kvffa_item *it, const fnode &f) {
    it->name = f.name;
    it->path = f.path;
    it->is_folder = f.is_folder;
    it->size = f.size;
    it->mtime_ms = f.mtime;
    it->title = f.title;
    it->year = f.year;
    it->backend_id = f.id;
    uint32_t fields = f.fields & ~static_cast<uint32_t>(KVFFA_F_LOCATOR);
    if (!(s_caps & CAP_TITLES)) fields &= ~static_cast<uint32_t>(KVFFA_F_TITLE | KVFFA_F_YEAR);
    if (!(s_caps & CAP_IDS)) fields &= ~static_cast<uint32_t>(KVFFA_F_ID);
    it->fields = fields;
}

bool raised(const kvffa_page *page) {
    return page->cancel && __atomic_load_n(page->cancel, __ATOMIC_RELAXED) != 0;
}

// A cursor is a decimal offset; none or an empty one is 0.
bool parse_offset(const char *cursor, size_t *out) {
    size_t v = 0;
    if (cursor)
        for (const char *p = cursor; *p; p++) {
            if (*p < '0' || *p > '9') return false;
            size_t d = static_cast<size_t>(*p - '0');
            if (v > (SIZE_MAX - d) / 10) return false;
            v = v * 10 + d;
        }
    *out = v;
    return true;
}

int fake_open(void *, const char *config) {
    s_calls[OP_OPEN]++;
    if (s_fault[OP_OPEN]) return s_fault[OP_OPEN];
    try {
        if (!config) return KVFFA_E_BAD_CONFIG;
        ffa_block<char> copy = ffa_padded_copy(config, strlen(config));
        if (!copy) return KVFFA_E_OOM;
        ffa_json j;
        j.doc.Parse<FFA_PARSE_STRICT>(copy.get());
        if (j.doc.HasParseError() || !j.doc.IsObject()) return KVFFA_E_BAD_CONFIG;
        s_page_limit = 0;
        if (const ffa_value *ps = ffa_member(j.doc, "page_size")) {
            if (!ps->IsUint64() || ps->GetUint64() == 0) return KVFFA_E_BAD_CONFIG;
            s_page_limit = ps->GetUint64() > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(ps->GetUint64());
        }
    } catch (const std::bad_alloc &) {
        return KVFFA_E_OOM;
    }
    if (!s_tree.loaded && kvffa_fake_load_tree(DEFAULT_TREE) != KVFFA_OK) return KVFFA_E_OOM;
    s_open = true;
    return KVFFA_OK;
}

void fake_close(void *) {
    s_open = false;
}

int fake_list(void *, const char *path, kvffa_page *page) {
    s_calls[OP_LIST_FIRST]++;
    if (!s_open) return KVFFA_E_NOT_OPEN;
    if (!page || !page->items || !page->cap || !path) return KVFFA_E_INVALID_ARG;
    size_t offset;
    if (!parse_offset(page->cursor, &offset)) return KVFFA_E_INVALID_ARG;
    if (offset > 0) {
        s_calls[OP_LIST_LATER]++;
        if (s_fault[OP_LIST_LATER]) return s_fault[OP_LIST_LATER];
    } else if (s_fault[OP_LIST_FIRST]) {
        return s_fault[OP_LIST_FIRST];
    }
    uint32_t k = s_tree.find(path);
    if (k == NONE) return KVFFA_E_NOT_FOUND;
    const fnode &dir = s_tree.nodes[k];
    if (!dir.is_folder || offset > dir.nkids) return KVFFA_E_INVALID_ARG;

    size_t limit = page->cap;
    if (s_page_limit && s_page_limit < limit) limit = s_page_limit;
    page->count = 0;
    while (offset < dir.nkids && page->count < limit) {
        if (s_fault[OP_CANCEL_AFTER] > 0 && static_cast<size_t>(s_fault[OP_CANCEL_AFTER]) == page->count) {
            s_fault[OP_CANCEL_AFTER] = 0;
            kvffa_cancel();
        }
        if (raised(page)) return KVFFA_E_CANCELLED;
        fill(&page->items[page->count], s_tree.nodes[dir.kids[offset]]);
        page->count++;
        offset++;
    }
    if (raised(page)) return KVFFA_E_CANCELLED;
    page->more = offset < dir.nkids;
    if (page->more) {
        snprintf(s_cursor, sizeof s_cursor, "%lu", static_cast<unsigned long>(offset));
        page->next_cursor = s_cursor;
    }
    return KVFFA_OK;
}

int fake_stat(void *, const char *path, kvffa_item *item) {
    s_calls[OP_STAT]++;
    if (!s_open) return KVFFA_E_NOT_OPEN;
    if (s_fault[OP_STAT]) return s_fault[OP_STAT];
    if (!(s_caps & KVFFA_CAP_STAT)) return KVFFA_E_UNSUPPORTED;
    if (!path || !item) return KVFFA_E_INVALID_ARG;
    uint32_t k = s_tree.find(path);
    if (k == NONE) return KVFFA_E_NOT_FOUND;
    fill(item, s_tree.nodes[k]);
    return KVFFA_OK;
}

int fake_locator(void *, const char *path, char *out, size_t size) {
    s_calls[OP_LOCATOR]++;
    if (!s_open) return KVFFA_E_NOT_OPEN;
    if (s_fault[OP_LOCATOR]) return s_fault[OP_LOCATOR];
    if (!path || !out) return KVFFA_E_INVALID_ARG;
    uint32_t k = s_tree.find(path);
    if (k == NONE) return KVFFA_E_NOT_FOUND;
    const fnode &f = s_tree.nodes[k];
    if (f.is_folder || size < f.plen + 8) return KVFFA_E_INVALID_ARG;
    memcpy(out, "fake://", 7);
    memcpy(out + 7, f.path, f.plen + 1);
    return KVFFA_OK;
}
} // namespace

int kvffa_fake_load_tree(const char *json) {
    if (!json) return kvffa__fail(KVFFA_E_INVALID_ARG, "fake tree: NULL");
    int rc;
    try {
        ffa_json j;
        j.doc.Parse<FFA_PARSE_RAW_STRINGS>(json);
        if (j.doc.HasParseError()) return kvffa__fail(KVFFA_E_BAD_CONFIG, "fake tree: not JSON");
        // Reading the document allocates nothing, so only the parse can throw
        // and the old tree is still whole then.
        s_tree.discard();
        rc = load_node(j.doc, NONE, 0);
        const ffa_value *gen = rc == KVFFA_OK ? ffa_member(j.doc, "generate") : nullptr;
        if (gen && !gen->IsArray()) rc = kvffa__fail(KVFFA_E_BAD_CONFIG, "fake generate: not an array");
        if (gen && gen->IsArray())
            for (const ffa_value &g : gen->GetArray())
                if ((rc = generate(g)) != KVFFA_OK) break;
    } catch (const std::bad_alloc &) {
        return oom();
    }
    if (rc != KVFFA_OK) {
        s_tree.discard();
        return rc;
    }
    s_tree.loaded = true;
    kvffa__clear_error();
    return KVFFA_OK;
}

int kvffa_fake_register(void) {
    if (kvffa__find("fake")) kvffa__unregister("fake");
    kvffa_backend b;
    memset(&b, 0, sizeof b);
    b.struct_size = FFA_BACKEND_V1;
    b.id = "fake";
    b.capabilities = s_caps;
    b.open = fake_open;
    b.list = fake_list;
    b.stat = fake_stat;
    b.locator = fake_locator;
    b.close = fake_close;
    return kvffa_register(&b);
}

int kvffa_fake_set_caps(uint32_t caps) {
    if (caps >= 32) return kvffa__fail(KVFFA_E_INVALID_ARG, "unknown capability bits");
    s_caps = caps;
    return kvffa__find("fake") ? kvffa_fake_register() : KVFFA_OK;
}

int kvffa_fake_set_fault(int op, int err) {
    if (op == 0) {
        memset(s_fault, 0, sizeof s_fault);
        memset(s_calls, 0, sizeof s_calls);
        return KVFFA_OK;
    }
    if (op < OP_OPEN || op > OP_CANCEL_AFTER)
        return kvffa__fail(KVFFA_E_INVALID_ARG, "unknown fault op %d", op);
    s_fault[op] = err;
    return KVFFA_OK;
}

int kvffa_fake_calls(int op) {
    return op >= OP_OPEN && op <= OP_CANCEL_AFTER ? s_calls[op] : -1;
}
