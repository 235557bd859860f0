// Built-in HTTP transport on libcurl. The peers are untrusted LAN devices, so every request is
// bounded in time and size, never follows a redirect, and speaks plain HTTP(S) only.
#include "io_curl.h"

#ifdef KVDMC_WITH_CURL

#include <atomic>
#include <stdlib.h>
#include <string.h>
#include <string>

#include <curl/curl.h>

#include "capacity.h"
#include "plat.h"
#include "protocol.h"
#include "util.h"

namespace {

std::atomic<long> s_connect_ms{HTTP_CONNECT_MS};
std::atomic<long> s_total_ms{HTTP_TOTAL_MS};

plat_once_t s_init_once = PLAT_ONCE_INIT;
CURLcode s_init_rc = CURLE_FAILED_INIT;
char s_user_agent[64];

void global_init(void) {
    s_init_rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    str_fmt(s_user_agent, sizeof s_user_agent, KVDMC_USER_AGENT_FMT, kvdmc_version());
}

// One easy handle per thread keeps its connection cache between requests, so the many
// requests of a browse reuse one keep-alive connection; the destructor frees it at thread exit.
struct easy_holder {
    CURL *h = nullptr;
    easy_holder() = default;
    easy_holder(const easy_holder &) = delete;
    easy_holder &operator=(const easy_holder &) = delete;
    ~easy_holder() {
        if (h) curl_easy_cleanup(h);
    }
};
thread_local easy_holder t_easy;

struct slist_holder {
    curl_slist *l = nullptr;
    slist_holder() = default;
    slist_holder(const slist_holder &) = delete;
    slist_holder &operator=(const slist_holder &) = delete;
    ~slist_holder() { curl_slist_free_all(l); }
    bool add(const char *line) {
        curl_slist *n = curl_slist_append(l, line);
        if (!n) return false;
        l = n;
        return true;
    }
};

// The response body accumulates in a builder limited to the cap: its buffer is
// malloc'd, crosses the C ABI and is released through free_buf.
size_t on_body(char *data, size_t size, size_t nmemb, void *ud) {
    sbuf *b = (sbuf *)ud;
    size_t len = size * nmemb;
    sb_putn(b, data, len);
    // Returning less than len aborts the transfer: an endless or huge body stops at the cap.
    return b->over || b->oom ? 0 : len;
}

char *heap_text(const char *s) {
    size_t n = strlen(s);
    char *p = (char *)malloc(n + 1);
    if (p) memcpy(p, s, n + 1);
    return p;
}

int fail(char **out_err, const char *msg) {
    if (out_err) *out_err = heap_text(msg);
    return -1;
}

// `ct` is the content type, optionally followed by further header lines after CR LF. Each line
// becomes a header of its own; a stray CR or LF can never end up inside a header value.
bool add_post_headers(slist_holder &hdrs, const char *ct) {
    std::string line;
    bool first = true;
    const char *p = ct ? ct : "";
    for (;;) {
        size_t len = strcspn(p, "\r\n");
        if (first) {
            line.assign("Content-Type:");
            if (len) line.append(" ").append(p, len);
            if (!hdrs.add(line.c_str())) return false;
            first = false;
        } else if (len) {
            line.assign(p, len);
            const char *colon = (const char *)memchr(p, ':', len);
            if (colon && colon != p && !hdrs.add(line.c_str())) return false;
        }
        p += len;
        if (!*p) break;
        p++;
    }
    // A 100-continue round trip only costs time; devices often mishandle it.
    return hdrs.add("Expect:");
}

int perform(const char *url, const char *post_body, const char *ct, char **out_body, int *http_code,
            char **out_err) {
    if (!url || !out_body || !http_code) return fail(out_err, "http: bad arguments");
    plat_once(&s_init_once, global_init);
    if (s_init_rc != CURLE_OK) return fail(out_err, curl_easy_strerror(s_init_rc));
    if (!t_easy.h) t_easy.h = curl_easy_init();
    CURL *h = t_easy.h;
    if (!h) return fail(out_err, "curl_easy_init failed");
    // Reset drops the previous request's options but keeps the connection cache.
    curl_easy_reset(h);

    char errbuf[CURL_ERROR_SIZE];
    errbuf[0] = 0;
    sbuf_scoped body;
    sb_init_limit(&body.b, HTTP_BODY_CAP);
    slist_holder hdrs;

    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Environment proxies must not see requests meant for devices on the LAN.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, s_connect_ms.load());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, s_total_ms.load());
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)HTTP_BODY_CAP);
    curl_easy_setopt(h, CURLOPT_USERAGENT, s_user_agent);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body.b);
    if (post_body) {
        if (!add_post_headers(hdrs, ct)) return fail(out_err, "out of memory");
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, post_body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)strlen(post_body));
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, hdrs.l);
    }

    CURLcode rc = curl_easy_perform(h);
    // The handle outlives this frame: drop the pointers into it.
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, (char *)nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, (curl_slist *)nullptr);

    if (rc != CURLE_OK) {
        if (body.b.over || rc == CURLE_FILESIZE_EXCEEDED)
            return fail(out_err, "response body larger than 8 MiB (8388608 bytes)");
        if (body.b.oom) return fail(out_err, "out of memory");
        return fail(out_err, errbuf[0] ? errbuf : curl_easy_strerror(rc));
    }
    char *text = sb_release(&body.b);
    if (!text) return fail(out_err, "out of memory");
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    *http_code = (int)code;
    *out_body = text;
    return 0;
}

int curl_get(void *, const char *url, char **out_body, int *http_code, char **out_err) {
    return perform(url, nullptr, nullptr, out_body, http_code, out_err);
}

int curl_post(void *, const char *url, const char *body, const char *ct, char **out_body, int *http_code,
              char **out_err) {
    return perform(url, body ? body : "", ct, out_body, http_code, out_err);
}

void curl_free(void *, void *p) {
    free(p);
}

const quorlin_io s_curl_io = {nullptr, curl_get, curl_post, curl_free};

} // namespace

const quorlin_io *kvdmc_io_curl(void) {
    return &s_curl_io;
}

void io_curl_set_timeouts(long connect_ms, long total_ms) {
    s_connect_ms = connect_ms > 0 ? connect_ms : HTTP_CONNECT_MS;
    s_total_ms = total_ms > 0 ? total_ms : HTTP_TOTAL_MS;
}

#else

const quorlin_io *kvdmc_io_curl(void) {
    return nullptr;
}

void io_curl_set_timeouts(long, long) {}

#endif
