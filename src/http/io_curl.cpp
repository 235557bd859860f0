// Built-in HTTP transport on libcurl (POSIX builds). The peers are untrusted LAN devices, so
// every request is bounded in time and size, never follows a redirect, and speaks plain
// HTTP(S) only; the limits, texts and header handling are io_http's.
#include "http/io_curl.h"

#ifdef KVDMC_WITH_CURL

#include <stdlib.h>
#include <string.h>

#include <string>

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/capacity.h"
#include "http/io_http.h"
#include "platform/plat.h"
#include "base/sbuf.h"

namespace {

plat_once_t s_init_once = PLAT_ONCE_INIT;
CURLcode s_init_rc = CURLE_FAILED_INIT;

void global_init(void) {
    s_init_rc = curl_global_init(CURL_GLOBAL_DEFAULT);
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

// The response body accumulates in a builder limited to the cap: its buffer is malloc'd,
// crosses the C ABI and is released through free_buf.
struct body_sink {
    sbuf *b;
    CURL *h;
};

size_t on_body(char *data, size_t size, size_t nmemb, void *ud) {
    body_sink *sink = (body_sink *)ud;
    sbuf *b = sink->b;
    size_t len = size * nmemb;
    // A Browse page is a few hundred kilobytes: sized once from the announced length, its
    // buffer is not grown and copied a dozen times. A length over the cap reserves nothing,
    // and the cap still ends the transfer.
    if (b->n == 0) {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(sink->h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && (uint64_t)announced <= (uint64_t)HTTP_BODY_CAP)
            sb_reserve(b, (size_t)announced);
    }
    sb_putn(b, data, len);
    // Returning less than len aborts the transfer: an endless or huge body stops at the cap.
    return b->over || b->oom ? 0 : len;
}

// A Browse answer is a few hundred kilobytes that the server sends in one go. The default
// receive window closes after some 64 KB; a server on the same host then finishes its send
// inside this thread's reads, one window update at a time. A window that holds a whole page
// lets the server hand the answer over in its own time. A refusal leaves the default.
int open_receive_window(void *, curl_socket_t fd, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) {
        int bytes = HTTP_RECEIVE_WINDOW;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    return CURL_SOCKOPT_OK;
}

// Many servers close the connection after each answer; libcurl finds that out only when
// the next request would reuse it, and closes it then. An orderly close would answer the
// server's FIN with one of ours and take in its last ACK, and on a local link the server's
// side of that runs in this thread as well. The server has already said all it will on
// that connection, so it is reset instead. A connection the peer has not closed (one
// still kept alive, or left with an answer unread) is closed as before.
int close_connection(void *, curl_socket_t fd) {
    char next;
    if (recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        linger at_once{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    }
    return close(fd) == 0 ? 0 : 1;
}

// The calling thread's handle, made on its first request with what every request shares;
// null when libcurl refuses one.
CURL *thread_handle(void) {
    if (t_easy.h) return t_easy.h;
    CURL *h = curl_easy_init();
    if (!h) return nullptr;
    bool ok = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
              // Environment proxies must not see requests meant for devices on the LAN.
              curl_easy_setopt(h, CURLOPT_PROXY, "") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)HTTP_BODY_CAP) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_USERAGENT, io_http_user_agent()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, open_receive_window) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, close_connection) == CURLE_OK;
    if (!ok) {
        curl_easy_cleanup(h);
        return nullptr;
    }
    // A page that has arrived whole is read in a few calls rather than a dozen. The buffer
    // lives as long as the thread, also through a fetch that hangs, so it is kept modest.
    // A libcurl that refuses the size keeps its own.
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, HTTP_READ_CHUNK);
    t_easy.h = h;
    return h;
}

io_http_err why_of(CURLcode rc) {
    switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return IO_HTTP_E_SCHEME;
    case CURLE_URL_MALFORMAT:
        return IO_HTTP_E_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return IO_HTTP_E_RESOLVE;
    case CURLE_COULDNT_CONNECT:
        return IO_HTTP_E_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return IO_HTTP_E_TIMEOUT;
    case CURLE_SEND_ERROR:
        return IO_HTTP_E_SEND;
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return IO_HTTP_E_RECV;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return IO_HTTP_E_PROTOCOL;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
        return IO_HTTP_E_TLS;
    case CURLE_OUT_OF_MEMORY:
        return IO_HTTP_E_NOMEM;
    case CURLE_FILESIZE_EXCEEDED:
        return IO_HTTP_E_TOO_BIG;
    case CURLE_FAILED_INIT:
        return IO_HTTP_E_INIT;
    default:
        return IO_HTTP_E_OTHER;
    }
}

// Whether a failed request may go out again, on a new connection, within its time. A request
// that never left (the connection was not made in time: a busy server's full accept queue
// drops the handshake) may always. One that failed on the way (a reused kept-alive connection
// the peer had closed, a connection reset before the server took it, a body cut short) only
// when it cannot change anything on the peer. A time-out once the request went out is the
// peer being slow, not gone: never.
bool worth_resending(CURL *h, CURLcode rc, bool is_get) {
    curl_off_t sent_at = -1;
    curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &sent_at);
    if (rc == CURLE_OPERATION_TIMEDOUT) return sent_at == 0;
    if (rc != CURLE_SEND_ERROR && rc != CURLE_RECV_ERROR && rc != CURLE_GOT_NOTHING &&
        rc != CURLE_PARTIAL_FILE)
        return false;
    return io_http_may_resend(is_get);
}

int perform(const char *url, const char *post_body, const char *ct, char **out_body, int *http_code,
            char **out_err) {
    if (!url || !out_body || !http_code) return io_http_fail(out_err, IO_HTTP_E_ARGS);
    if (!io_http_scheme_ok(url)) return io_http_fail(out_err, IO_HTTP_E_SCHEME);
    plat_once(&s_init_once, global_init);
    if (s_init_rc != CURLE_OK) return io_http_fail(out_err, IO_HTTP_E_INIT);
    CURL *h = thread_handle();
    if (!h) return io_http_fail(out_err, IO_HTTP_E_INIT);

    sbuf_scoped body;
    sb_init_limit(&body.b, HTTP_BODY_CAP);
    slist_holder hdrs;

    // Every option a request may change is set for each one: the handle keeps what the
    // previous request set.
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, io_http_connect_ms());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, io_http_total_ms());
    // libcurl starts its second-address-family timer even for a host given by address,
    // which has only one, and wakes the waiting thread for it: a server slower than that
    // (a NAS building a large page) would cost a wake-up per request for nothing.
    curl_easy_setopt(h, CURLOPT_HAPPY_EYEBALLS_TIMEOUT_MS,
                     io_http_host_is_address(url) ? io_http_connect_ms() : CURL_HET_DEFAULT);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 0L);
    body_sink sink{&body.b, h};
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    if (post_body) {
        for (const std::string &line : io_http_post_headers(ct))
            if (!hdrs.add(line.c_str())) return io_http_fail(out_err, IO_HTTP_E_NOMEM);
        // A 100-continue round trip only costs time; devices often mishandle it.
        if (!hdrs.add("Expect:")) return io_http_fail(out_err, IO_HTTP_E_NOMEM);
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, post_body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)strlen(post_body));
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, hdrs.l);
        // libcurl sends a request again by itself when a reused connection turns out to be
        // closed, whatever the method: a request that changes the peer's state never goes out
        // on a kept connection, so it is never sent twice.
        if (io_http_send_once()) curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    uint64_t started = plat_now_ms();
    CURLcode rc = curl_easy_perform(h);
    // At most two more attempts, all within the first one's time.
    for (int again = 0; again < 2 && rc != CURLE_OK && !body.b.over && !body.b.oom; again++) {
        if (!worth_resending(h, rc, post_body == nullptr)) break;
        long left = io_http_total_ms() - (long)(plat_now_ms() - started);
        if (left <= 0) break;
        sb_reset(&body.b);
        curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left);
        if (left < io_http_connect_ms()) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, left);
        rc = curl_easy_perform(h);
    }
    // The handle outlives this frame: drop the pointers into it.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, (curl_slist *)nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, (const char *)nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, (void *)nullptr);

    if (rc != CURLE_OK) {
        if (io_http_body_fail(&body.b, out_err)) return -1;
        long os_errno = 0;
        curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
        return io_http_fail(out_err, why_of(rc), os_errno);
    }
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    return io_http_deliver(&body.b, code, out_body, http_code, out_err);
}

} // namespace

const quorlin_io *io_curl(void) {
    return &io_http_record<perform>::io;
}

#else

const quorlin_io *io_curl(void) {
    return nullptr;
}

#endif
