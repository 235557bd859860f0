// Result codes, their names, and the layer-wide last-error state through which
// the layer and its backends word every failure.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kvffa_int.h"

namespace {
char s_text[FFA_ERROR_BUF];
int s_code = 0;
unsigned s_seq = 0;

constexpr const char *NAMES[] = {"ok",         "no_backend",  "not_open",    "not_found",
                                 "access",     "transport",   "unsupported", "cancelled",
                                 "bad_config", "invalid_arg", "oom"};

// A cut must not leave half a UTF-8 sequence at the end: hosts put this text into JSON.
size_t utf8_safe_end(const char *s, size_t n) {
    size_t i = n;
    while (i > 0 && n - i < 3 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) i--;
    if (i == 0) return n;
    unsigned char lead = static_cast<unsigned char>(s[i - 1]);
    size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n - (i - 1) < need ? i - 1 : n;
}
} // namespace

int kvffa__fail(int code, const char *fmt, ...) {
    // Formatted aside first: a caller may pass kvffa_last_error() as an argument.
    char tmp[FFA_ERROR_BUF];
    int n = 0;
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        n = vsnprintf(tmp, sizeof tmp, fmt, ap);
        va_end(ap);
    }
    size_t len = n < 0 ? 0 : static_cast<size_t>(n);
    if (len >= sizeof tmp) len = utf8_safe_end(tmp, sizeof tmp - 1);
    memcpy(s_text, tmp, len);
    s_text[len] = 0;
    s_code = code;
    s_seq++;
    return code;
}

void kvffa__clear_error(void) {
    s_text[0] = 0;
    s_code = 0;
    s_seq++;
}

const char *kvffa_last_error(void) {
    return s_text;
}

int kvffa_last_code(void) {
    return s_code;
}

const char *kvffa_strerror(int code) {
    // Magnitude taken unsigned so that INT_MIN needs no negation.
    unsigned mag = code < 0 ? 0u - static_cast<unsigned>(code) : static_cast<unsigned>(code);
    return mag < sizeof NAMES / sizeof NAMES[0] ? NAMES[mag] : "unknown";
}

const char *kvffa_version(void) {
    return "1.0.0";
}

unsigned ffa_error_seq() {
    return s_seq;
}

int ffa_backend_result(int raw, const char *op, const char *subject, unsigned seq_before) {
    if (raw == KVFFA_OK) return KVFFA_OK;
    if (static_cast<unsigned>(raw) > KVFFA_E_OOM)
        return kvffa__fail(KVFFA_E_TRANSPORT, "backend %s returned out-of-taxonomy code %d", op, raw);
    // Only a text the backend recorded during this very call is its own; an
    // older failure that happens to carry the same code must not stand in.
    if (s_code == raw && s_seq != seq_before) return raw;
    return kvffa__fail(raw, "%s '%s': %s", op, subject ? subject : "(null)", kvffa_strerror(raw));
}
