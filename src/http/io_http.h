// What every built-in HTTP transport shares: the limits, the User-Agent, the body
// accumulator, the header lines of a POST and the failure texts. The transports (libcurl on
// POSIX, WinHTTP on Windows) are thin adapters around it, so both keep one contract:
// http and https only, no redirects, bounded time and size, the same texts for the same
// failures.
#pragma once

#include <stddef.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/sbuf.h"
#include "kvdmc.h"

// The body cap and the default time-outs are HTTP_BODY_CAP, HTTP_CONNECT_MS and HTTP_TOTAL_MS
// (capacity.h); a response body accumulates in an sbuf limited to the cap (sbuf.h).

// Connect and whole-request time-outs in milliseconds. The setter is for tests that must see
// a time-out quickly; 0 restores the defaults (2 s, 10 s).
long io_http_connect_ms(void);
long io_http_total_ms(void);
void io_http_set_timeouts(long connect_ms, long total_ms);

// KVDMC_USER_AGENT_FMT with the version: "kvdmc/<version> UPnP/1.0 DLNADOC/1.50"
const char *io_http_user_agent(void);

// True for an absolute http:// or https:// URL (scheme in any letter case).
bool io_http_scheme_ok(const char *url);

// True when such a URL names its host by address (a dotted IPv4 quad or a bracketed IPv6
// literal), as device descriptions nearly always do, rather than by a name to resolve.
bool io_http_host_is_address(const char *url);

// The header lines of a POST. `ct` is the content type, optionally followed by further header
// lines after CR LF. Each line becomes a header of its own, so a stray CR or LF can never end
// up inside a header value; a line without a name before its colon is dropped.
std::vector<std::string> io_http_post_headers(const char *ct);

// Why a request failed. Every transport maps its own failures onto these, so a caller sees
// the same text for the same failure on every system.
enum io_http_err {
    IO_HTTP_E_ARGS,     // null URL or out pointers
    IO_HTTP_E_NOMEM,    // out of memory
    IO_HTTP_E_TOO_BIG,  // body beyond HTTP_BODY_CAP
    IO_HTTP_E_SCHEME,   // not http or https
    IO_HTTP_E_URL,      // malformed URL
    IO_HTTP_E_RESOLVE,  // host name not resolved
    IO_HTTP_E_CONNECT,  // no connection (refused, unreachable)
    IO_HTTP_E_TIMEOUT,  // connect or whole-request time-out
    IO_HTTP_E_SEND,     // request could not be sent
    IO_HTTP_E_RECV,     // connection lost while receiving
    IO_HTTP_E_PROTOCOL, // malformed response
    IO_HTTP_E_TLS,      // TLS handshake or certificate failure
    IO_HTTP_E_INIT,     // the transport could not start
    IO_HTTP_E_OTHER     // anything else
};

// A request on a reused kept-alive connection that fails before any byte of the response
// arrived most likely met a connection the peer had just closed. Such a request is sent once
// more on a new connection when it cannot change anything on the peer: a GET (description
// fetch), or a POST of a read-only action; the second attempt gets only what is left of the
// first one's time. A POST of an action that changes the peer's state is never sent twice:
// it goes out on a connection of its own. The caller says which kind its POSTs are, for the
// calling thread, while a scope is alive; other POSTs keep the transport's plain behaviour.
enum io_http_post_kind { IO_HTTP_POST_PLAIN, IO_HTTP_POST_READ_ONLY, IO_HTTP_POST_CHANGES_STATE };
struct io_http_post_scope {
    explicit io_http_post_scope(io_http_post_kind kind);
    ~io_http_post_scope();
    io_http_post_scope(const io_http_post_scope &) = delete;
    io_http_post_scope &operator=(const io_http_post_scope &) = delete;

  private:
    io_http_post_kind prev_;
};
bool io_http_may_resend(bool is_get);
bool io_http_send_once(void);

// Stores the failure's text in *out_err (when given) and returns -1, the transport's failure
// result. A non-zero `sys_err` (the system's or HTTP stack's error number) is appended as
// " (system error N)".
int io_http_fail(char **out_err, io_http_err why, long sys_err = 0);
// Whether a transport's error text is the refusal of a body over HTTP_BODY_CAP: a caller
// that can ask for less (a pager) then does.
bool io_http_refused_size(const char *text);
// A body that ran over HTTP_BODY_CAP or out of memory: that failure (-1); else 0.
int io_http_body_fail(const sbuf *body, char **out_err);
// Hands the gathered body (released with free) and the status to the caller: 0, or -1
// when the body cannot be handed out.
int io_http_deliver(sbuf *body, long code, char **out_body, int *http_code, char **out_err);

// One request of a built-in transport, post_body null for a GET: 0 with the body and status,
// or -1 with the failure in *out_err.
using io_http_perform = int (*)(const char *url, const char *post_body, const char *ct, char **out_body,
                                int *http_code, char **out_err);

// The built-in transports' releaser: every text they hand out is malloc'd (io_texts_are_heap).
void io_free_text(void *ctx, void *p);

// The transport record around a transport's perform: a POST always has a body, and every text
// it hands out is malloc'd and released with io_free_text.
template <io_http_perform perform> struct io_http_record {
    static int get(void *, const char *url, char **out_body, int *http_code, char **out_err) {
        return perform(url, nullptr, nullptr, out_body, http_code, out_err);
    }
    static int post(void *, const char *url, const char *body, const char *ct, char **out_body,
                    int *http_code, char **out_err) {
        return perform(url, body ? body : "", ct, out_body, http_code, out_err);
    }
    static constexpr quorlin_io io = {nullptr, get, post, io_free_text};
};
