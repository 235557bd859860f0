// Fake transport: canned HTTP answers per URL, and the record of SSDP packets sent while faked.
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "base/exports.h"
#include "http/io.h"
#include "http/io_fake.h"
#include "http/io_http.h"

namespace {
struct route {
    std::string url;
    int code = 0;
    bool has_body = false; // a row holds a body or an error, never both
    std::string body;
    bool has_err = false;
    std::string err;
    unsigned calls = 0;
};

struct broute {
    std::string url;
    std::string contains;
    int code = 0;
    std::string body;
};
} // namespace

// No lock of their own: configured and used from one thread at a time.
static std::vector<route> s_routes;
static std::vector<broute> s_broutes;
static unsigned s_total = 0;
static std::vector<std::string> s_sent; // packets sent while faked; nothing records them

// Hands out a heap copy that the transport user releases with io_free_text.
static char *dup_text(const char *s, size_t n) {
    char *p = (char *)malloc(n + 1);
    if (p) {
        memcpy(p, s, n);
        p[n] = 0;
    }
    return p;
}
static char *dup_text(const char *s) {
    return dup_text(s, strlen(s));
}
static char *dup_text(const std::string &s) {
    return dup_text(s.data(), s.size());
}

// Grows a table the same way for both kinds: first capacity, then doubling.
template <class T> static void grow_for_one(std::vector<T> &v, size_t first) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() ? v.capacity() * 2 : first);
}

static route *route_upsert(const char *url) {
    for (route &r : s_routes)
        if (r.url == url) {
            r.has_body = r.has_err = false;
            r.body.clear();
            r.err.clear();
            return &r;
        }
    grow_for_one(s_routes, 8);
    s_routes.emplace_back();
    s_routes.back().url = url;
    return &s_routes.back();
}

int fake_route(const char *url, int *http_code, char **out_body, char **out_err) {
    *out_body = nullptr;
    *out_err = nullptr;
    *http_code = 0;
    route *hit = nullptr;
    for (route &r : s_routes)
        if (url && r.url == url) {
            hit = &r;
            break;
        }
    if (!hit) {
        *out_err = dup_text("fake: no route for this URL");
        return -1;
    }
    s_total++;
    hit->calls++; // failure rows count as hits too
    if (hit->has_body) {
        *out_body = dup_text(hit->body);
        if (!*out_body) {
            *out_err = dup_text("fake: oom");
            return -1;
        }
        *http_code = hit->code;
        return 0;
    }
    *out_err = dup_text(hit->has_err ? hit->err.c_str() : "fake: transport failure");
    return -1;
}

static int fake_get(void *, const char *url, char **out_body, int *http_code, char **out_err) {
    return fake_route(url, http_code, out_body, out_err);
}

static int fake_post(void *, const char *url, const char *body, const char *, char **out_body, int *http_code,
                     char **out_err) {
    if (body && url) {
        for (const broute &b : s_broutes) {
            if (b.url != url || !strstr(body, b.contains.c_str())) continue;
            *out_err = nullptr;
            *http_code = 0;
            *out_body = dup_text(b.body);
            if (!*out_body) {
                *out_err = dup_text("fake: oom");
                return -1;
            }
            *http_code = b.code;
            s_total++;
            return 0;
        }
    }
    return fake_route(url, http_code, out_body, out_err);
}

static const quorlin_io s_fake_io = {nullptr, fake_get, fake_post, io_free_text};

const quorlin_io *io_fake(void) {
    return &s_fake_io;
}

int fake_set_post(const char *url, const char *body_contains, int http_code, const char *resp) {
    api_enter();
    if (!url || !body_contains || !resp) return api_fail(KVDMC_E_ARG, "fake_set_post: null arg");
    try {
        for (broute &b : s_broutes)
            if (b.url == url && b.contains == body_contains) {
                b.body = resp;
                b.code = http_code;
                return 0;
            }
        broute b;
        b.url = url;
        b.contains = body_contains;
        b.code = http_code;
        b.body = resp;
        grow_for_one(s_broutes, 4);
        s_broutes.push_back(std::move(b));
    } catch (const std::bad_alloc &) {
        return api_fail(KVDMC_E_NOMEM, "out of memory");
    }
    return 0;
}

extern "C" {

KVDMC_API int kvdmc_fake_set(const char *url, int http_code, const char *body) {
    api_enter();
    if (!url || !body) return api_fail(KVDMC_E_ARG, "fake_set: null arg");
    try {
        route *r = route_upsert(url);
        r->body = body;
        r->has_body = true;
        r->code = http_code;
    } catch (const std::bad_alloc &) {
        return api_fail(KVDMC_E_NOMEM, "out of memory");
    }
    return 0;
}

KVDMC_API int kvdmc_fake_fail(const char *url, const char *transport_error) {
    api_enter();
    if (!url) return api_fail(KVDMC_E_ARG, "fake_fail: null arg");
    try {
        route *r = route_upsert(url);
        r->err = transport_error ? transport_error : "fake: transport failure";
        r->has_err = true;
    } catch (const std::bad_alloc &) {
        return api_fail(KVDMC_E_NOMEM, "out of memory");
    }
    return 0;
}

KVDMC_API unsigned kvdmc_fake_calls(const char *url) {
    if (!url) return s_total;
    for (const route &r : s_routes)
        if (r.url == url) return r.calls;
    return 0;
}

KVDMC_API void kvdmc_fake_reset(void) {
    std::vector<route>().swap(s_routes);
    std::vector<broute>().swap(s_broutes);
    s_total = 0;
    s_sent.clear();
}

KVDMC_API const char *kvdmc_fake_ssdp_sent(int i) {
    if (i < 0 || (size_t)i >= s_sent.size()) return nullptr;
    return s_sent[(size_t)i].c_str();
}

} // extern "C"
