// Built-in HTTP transport on WinHTTP (Windows builds): the system's HTTP stack behind the same
// contract as the libcurl transport. The peers are untrusted LAN devices, so every request is
// bounded in time and size, never follows a redirect, and speaks plain HTTP(S) only; the
// limits, texts and header handling are io_http's.
#include "http/io_curl.h"

#include <winsock2.h>

#include <windows.h>
#include <winhttp.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/capacity.h"
#include "http/io_http.h"
#include "platform/plat.h"
#include "base/sbuf.h"

namespace {

// One session for the process: its connection pool keeps connections alive between requests.
plat_once_t s_session_once = PLAT_ONCE_INIT;
HINTERNET s_session = nullptr;
DWORD s_session_err = 0;

// Closes a WinHTTP handle on every way out.
struct handle {
    HINTERNET h = nullptr;
    explicit handle(HINTERNET x) : h(x) {}
    handle(const handle &) = delete;
    handle &operator=(const handle &) = delete;
    ~handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

// UTF-8 to UTF-16; false for invalid UTF-8.
bool widen(const char *s, size_t n, std::wstring &out) {
    out.clear();
    if (n == 0) return true;
    int wn = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, (int)n, nullptr, 0);
    if (wn <= 0) return false;
    out.resize((size_t)wn);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, (int)n, out.data(), wn) == wn;
}

// A session: the pool of kept-alive connections its requests share.
HINTERNET new_session(DWORD *err) {
    std::wstring ua;
    const char *u = io_http_user_agent();
    widen(u, strlen(u), ua);
    // No proxy: requests meant for devices on the LAN must not leave through one.
    HINTERNET h = WinHttpOpen(ua.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    if (!h) {
        *err = GetLastError();
        return nullptr;
    }
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(h, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    return h;
}

void open_session(void) {
    s_session = new_session(&s_session_err);
}

// WinHTTP's and Winsock's error numbers in the shared terms. `dflt` names the step that failed
// when the number says nothing more specific.
io_http_err why_of(DWORD e, io_http_err dflt) {
    switch (e) {
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: // how wine reports a receive time-out
        return IO_HTTP_E_TIMEOUT;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return IO_HTTP_E_RESOLVE;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return IO_HTTP_E_CONNECT;
    case ERROR_WINHTTP_INVALID_URL:
        return IO_HTTP_E_URL;
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return IO_HTTP_E_SCHEME;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return IO_HTTP_E_PROTOCOL;
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return IO_HTTP_E_RECV;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return IO_HTTP_E_TLS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return IO_HTTP_E_NOMEM;
    default:
        return dflt;
    }
}

int fail_last(char **out_err, io_http_err dflt) {
    DWORD e = GetLastError();
    return io_http_fail(out_err, why_of(e, dflt), (long)e);
}

// Bounds the next blocking step by what is left of the whole request. WinHttpSetTimeouts'
// receive time-out does not bound the wait for the response headers under wine, the
// response-specific option does: both are set. Returns false once the time is up.
bool arm_timeouts(HINTERNET req, uint64_t deadline) {
    uint64_t now = plat_now_ms();
    if (now >= deadline) return false;
    int left = (int)(deadline - now);
    int connect = (int)io_http_connect_ms() < left ? (int)io_http_connect_ms() : left;
    WinHttpSetTimeouts(req, left, connect, left, left);
    DWORD resp = (DWORD)left;
    WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &resp, sizeof resp);
    return true;
}

// The declared Content-Length, or -1 when there is none.
long long declared_length(HINTERNET req) {
    wchar_t buf[32];
    DWORD len = sizeof buf;
    if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, buf, &len,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    long long v = 0;
    for (const wchar_t *p = buf; *p >= L'0' && *p <= L'9'; p++) {
        if (v > (long long)HTTP_BODY_CAP) break; // already too big; no overflow
        v = v * 10 + (*p - L'0');
    }
    return v;
}

// Whether a failed send or wait for the response headers lost its connection: WinHTTP does
// not tell whether the connection came from its pool, so every such failure counts as the
// peer having closed a kept-alive connection (no byte of a response has come yet). wine
// reports such a connection either as reset or, depending on timing, as an answer it could
// not read; a truly malformed answer is then asked for once more, which is harmless for the
// requests that are resent at all.
bool connection_lost(void) {
    DWORD e = GetLastError();
    return e == ERROR_WINHTTP_CONNECTION_ERROR || e == WSAECONNRESET || e == WSAECONNABORTED ||
           e == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

int attempt(HINTERNET session, const char *url, const char *post_body, const char *ct, uint64_t deadline,
            char **out_body, int *http_code, char **out_err, bool *lost_early) {

    std::wstring wurl;
    if (!widen(url, strlen(url), wurl)) return io_http_fail(out_err, IO_HTTP_E_URL);
    URL_COMPONENTS uc;
    memset(&uc, 0, sizeof uc);
    uc.dwStructSize = sizeof uc;
    uc.dwHostNameLength = (DWORD)-1;
    uc.dwUrlPathLength = (DWORD)-1;
    uc.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(wurl.c_str(), (DWORD)wurl.size(), 0, &uc)) return fail_last(out_err, IO_HTTP_E_URL);
    if (uc.nScheme != INTERNET_SCHEME_HTTP && uc.nScheme != INTERNET_SCHEME_HTTPS)
        return io_http_fail(out_err, IO_HTTP_E_SCHEME);
    std::wstring host(uc.lpszHostName, uc.dwHostNameLength);
    std::wstring path(uc.lpszUrlPath ? uc.lpszUrlPath : L"", uc.dwUrlPathLength);
    if (uc.lpszExtraInfo) path.append(uc.lpszExtraInfo, uc.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    handle conn(WinHttpConnect(session, host.c_str(), uc.nPort, 0));
    if (!conn.h) return fail_last(out_err, IO_HTTP_E_CONNECT);
    DWORD flags = uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    handle req(WinHttpOpenRequest(conn.h, post_body ? L"POST" : L"GET", path.c_str(), nullptr,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!req.h) return fail_last(out_err, IO_HTTP_E_OTHER);
    DWORD off = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    WinHttpSetOption(req.h, WINHTTP_OPTION_DISABLE_FEATURE, &off, sizeof off);

    std::wstring headers;
    if (post_body) {
        for (const std::string &line : io_http_post_headers(ct)) {
            std::wstring w;
            if (!widen(line.data(), line.size(), w)) continue; // not text: never sent
            headers.append(w).append(L"\r\n");
        }
    }
    DWORD body_len = post_body ? (DWORD)strlen(post_body) : 0;
    if (!arm_timeouts(req.h, deadline)) return io_http_fail(out_err, IO_HTTP_E_TIMEOUT);
    if (!WinHttpSendRequest(req.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : (DWORD)headers.size(),
                            body_len ? const_cast<char *>(post_body) : WINHTTP_NO_REQUEST_DATA, body_len,
                            body_len, 0)) {
        *lost_early = connection_lost();
        return fail_last(out_err, IO_HTTP_E_SEND);
    }
    if (!arm_timeouts(req.h, deadline)) return io_http_fail(out_err, IO_HTTP_E_TIMEOUT);
    if (!WinHttpReceiveResponse(req.h, nullptr)) {
        *lost_early = connection_lost();
        return fail_last(out_err, IO_HTTP_E_RECV);
    }

    DWORD code = 0, code_len = sizeof code;
    if (!WinHttpQueryHeaders(req.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_len, WINHTTP_NO_HEADER_INDEX))
        return fail_last(out_err, IO_HTTP_E_PROTOCOL);
    // A declared length beyond the cap is refused before any of the body is read.
    if (declared_length(req.h) > (long long)HTTP_BODY_CAP) return io_http_fail(out_err, IO_HTTP_E_TOO_BIG);

    sbuf_scoped body;
    sb_init_limit(&body.b, HTTP_BODY_CAP);
    char buf[65536];
    for (;;) {
        // Asking what is available first bounds a stalled body by the receive time-out.
        if (!arm_timeouts(req.h, deadline)) return io_http_fail(out_err, IO_HTTP_E_TIMEOUT);
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable(req.h, &avail)) return fail_last(out_err, IO_HTTP_E_RECV);
        if (avail == 0) break;
        DWORD want = avail < sizeof buf ? avail : (DWORD)sizeof buf, got = 0;
        if (!WinHttpReadData(req.h, buf, want, &got)) return fail_last(out_err, IO_HTTP_E_RECV);
        if (got == 0) break;
        sb_putn(&body.b, buf, got);
        if (io_http_body_fail(&body.b, out_err)) return -1;
    }
    return io_http_deliver(&body.b, code, out_body, http_code, out_err);
}

int perform(const char *url, const char *post_body, const char *ct, char **out_body, int *http_code,
            char **out_err) {
    if (!url || !out_body || !http_code) return io_http_fail(out_err, IO_HTTP_E_ARGS);
    if (!io_http_scheme_ok(url)) return io_http_fail(out_err, IO_HTTP_E_SCHEME);
    uint64_t deadline = plat_now_ms() + (uint64_t)io_http_total_ms();
    plat_once(&s_session_once, open_session);
    if (!s_session) return io_http_fail(out_err, IO_HTTP_E_INIT, (long)s_session_err);
    // An action that changes the peer's state goes out in a session of its own, so on a
    // connection of its own: the system's HTTP stack never sends it again after meeting a
    // pooled connection that the peer had closed.
    DWORD own_err = 0;
    handle own(io_http_send_once() ? new_session(&own_err) : nullptr);
    if (io_http_send_once() && !own.h) return io_http_fail(out_err, IO_HTTP_E_INIT, (long)own_err);
    HINTERNET session = own.h ? own.h : s_session;
    bool lost_early = false;
    int r = attempt(session, url, post_body, ct, deadline, out_body, http_code, out_err, &lost_early);
    if (r == 0 || !lost_early || !io_http_may_resend(post_body == nullptr) || plat_now_ms() >= deadline)
        return r;
    // Once more, within what is left of the first attempt's time.
    if (out_err) {
        free(*out_err);
        *out_err = nullptr;
    }
    lost_early = false;
    return attempt(session, url, post_body, ct, deadline, out_body, http_code, out_err, &lost_early);
}

} // namespace

// The built-in transport keeps the API's name: on Windows it is the system's HTTP stack.
const quorlin_io *io_curl(void) {
    return &io_http_record<perform>::io;
}
