// The transport-neutral half of the built-in HTTP transports.
#include "http/io_http.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "base/capacity.h"
#include "kvdmc.h"
#include "base/protocol.h"
#include "base/sbuf.h"
#include "base/text.h"

namespace {

std::atomic<long> s_connect_ms{HTTP_CONNECT_MS};
std::atomic<long> s_total_ms{HTTP_TOTAL_MS};
thread_local io_http_post_kind t_post_kind = IO_HTTP_POST_PLAIN;

struct err_text {
    io_http_err why;
    const char *text;
};

// The texts say what went wrong in words that hold for every HTTP stack.
constexpr err_text ERR_TEXTS[] = {
    {IO_HTTP_E_ARGS, "http: bad arguments"},
    {IO_HTTP_E_NOMEM, "out of memory"},
    {IO_HTTP_E_TOO_BIG, "response body larger than 8 MiB (8388608 bytes)"},
    {IO_HTTP_E_SCHEME, "http: unsupported URL scheme (only http and https)"},
    {IO_HTTP_E_URL, "http: malformed URL"},
    {IO_HTTP_E_RESOLVE, "http: could not resolve host"},
    {IO_HTTP_E_CONNECT, "http: could not connect"},
    {IO_HTTP_E_TIMEOUT, "http: timed out"},
    {IO_HTTP_E_SEND, "http: sending the request failed"},
    {IO_HTTP_E_RECV, "http: receiving the response failed"},
    {IO_HTTP_E_PROTOCOL, "http: malformed response"},
    {IO_HTTP_E_TLS, "http: TLS failure"},
    {IO_HTTP_E_INIT, "http: transport start-up failed"},
    {IO_HTTP_E_OTHER, "http: request failed"},
};

char *heap_text(const char *s) {
    size_t n = strlen(s);
    char *p = (char *)malloc(n + 1);
    if (p) memcpy(p, s, n + 1);
    return p;
}

} // namespace

long io_http_connect_ms(void) {
    return s_connect_ms.load();
}

long io_http_total_ms(void) {
    return s_total_ms.load();
}

void io_http_set_timeouts(long connect_ms, long total_ms) {
    s_connect_ms = connect_ms > 0 ? connect_ms : HTTP_CONNECT_MS;
    s_total_ms = total_ms > 0 ? total_ms : HTTP_TOTAL_MS;
}

const char *io_http_user_agent(void) {
    // Built once, on first use (a thread-safe static).
    static const std::string s_ua = [] {
        char ua[64];
        str_fmt(ua, sizeof ua, KVDMC_USER_AGENT_FMT, kvdmc_version());
        return std::string(ua);
    }();
    return s_ua.c_str();
}

bool io_http_scheme_ok(const char *url) {
    return url && (str_nieq(url, "http://", 7) || str_nieq(url, "https://", 8));
}

bool io_http_host_is_address(const char *url) {
    const char *host;
    size_t n;
    if (!io_http_scheme_ok(url) || !url_host_span(url, &host, &n)) return false;
    if (host[0] == '[') return host[n - 1] == ']';
    char quad[16];
    if (n >= sizeof quad) return false;
    memcpy(quad, host, n);
    quad[n] = 0;
    return parse_ipv4(quad, nullptr) == 0;
}

std::vector<std::string> io_http_post_headers(const char *ct) {
    std::vector<std::string> out;
    const char *p = ct ? ct : "";
    bool first = true;
    for (;;) {
        size_t len = strcspn(p, "\r\n");
        if (first) {
            std::string line("Content-Type:");
            if (len) line.append(" ").append(p, len);
            out.push_back(std::move(line));
            first = false;
        } else if (len) {
            const char *colon = (const char *)memchr(p, ':', len);
            if (colon && colon != p) out.emplace_back(p, len);
        }
        p += len;
        if (!*p) break;
        p++;
    }
    return out;
}

io_http_post_scope::io_http_post_scope(io_http_post_kind kind) : prev_(t_post_kind) {
    t_post_kind = kind;
}

io_http_post_scope::~io_http_post_scope() {
    t_post_kind = prev_;
}

bool io_http_may_resend(bool is_get) {
    return is_get || t_post_kind == IO_HTTP_POST_READ_ONLY;
}

bool io_http_send_once(void) {
    return t_post_kind == IO_HTTP_POST_CHANGES_STATE;
}

int io_http_fail(char **out_err, io_http_err why, long sys_err) {
    if (!out_err) return -1;
    const char *text = "http: request failed";
    for (const err_text &e : ERR_TEXTS)
        if (e.why == why) text = e.text;
    char msg[160];
    if (sys_err)
        snprintf(msg, sizeof msg, "%s (system error %ld)", text, sys_err);
    else
        snprintf(msg, sizeof msg, "%s", text);
    *out_err = heap_text(msg);
    return -1;
}

bool io_http_refused_size(const char *text) {
    if (!text) return false;
    for (const err_text &e : ERR_TEXTS)
        if (e.why == IO_HTTP_E_TOO_BIG) return strncmp(text, e.text, strlen(e.text)) == 0;
    return false;
}

int io_http_body_fail(const sbuf *body, char **out_err) {
    if (body->over) return io_http_fail(out_err, IO_HTTP_E_TOO_BIG);
    if (body->oom) return io_http_fail(out_err, IO_HTTP_E_NOMEM);
    return 0;
}

int io_http_deliver(sbuf *body, long code, char **out_body, int *http_code, char **out_err) {
    char *text = sb_release(body);
    if (!text) return io_http_fail(out_err, IO_HTTP_E_NOMEM);
    *http_code = (int)code;
    *out_body = text;
    return 0;
}

void io_free_text(void *, void *p) {
    free(p);
}
