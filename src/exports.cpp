// The exported frame: one-time set-up, the library locks and per-thread reporting.
#include "exports.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "discover.h"
#include "kvdmc.h"
#include "util.h"

plat_mutex g_lock;
plat_mutex g_io_lock;
static plat_once_t g_locks_once = PLAT_ONCE_INIT;

// Reporting is per thread so a host calling from several threads reads the
// error and JSON of its own call.
namespace {
struct report_state {
    char err[1024] = "";
    int code = 0;
    std::string small;
    std::string result;
    bool has_result = false;
};
thread_local report_state s_report;
} // namespace

static void locks_init_once(void) {
    plat_mutex_init(&g_lock);
    plat_mutex_init(&g_io_lock);
}

void locks_once(void) {
    plat_once(&g_locks_once, locks_init_once);
}

void api_enter(void) {
    locks_once();
    cfg_once();
}

void set_err(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(s_report.err, sizeof s_report.err, fmt, ap);
    va_end(ap);
    if (r < 0) s_report.err[0] = 0;
}

void set_code(int code) {
    s_report.code = code;
}

void set_small_json(const char *json, size_t len) {
    s_report.small.assign(json, len);
    s_report.result.clear();
    s_report.result.shrink_to_fit();
    s_report.has_result = false;
}

const char *put_small_json(const char *json, size_t len) {
    s_report.small.assign(json, len);
    return s_report.small.c_str();
}

void set_result_json(const char *json, size_t len) {
    s_report.result.assign(json, len);
    s_report.has_result = true;
}

extern "C" {

KVDMC_API const char *kvdmc_version(void) {
    return "1.0.0";
}
KVDMC_API const char *kvdmc_last_error(void) {
    return s_report.err;
}
KVDMC_API int kvdmc_last_code(void) {
    return s_report.code;
}

KVDMC_API const char *kvdmc_last_json(void) {
    return s_report.has_result ? s_report.result.c_str() : s_report.small.c_str();
}

KVDMC_API int kvdmc_parse_ssdp(const char *packet) {
    api_enter();
    if (!packet) {
        set_err("parse_ssdp: null packet");
        return -1;
    }
    ssdp_reply r;
    int kind = ssdp_parse_packet(packet, strlen(packet), &r);
    if (kind <= 0) {
        set_err("parse_ssdp: not an SSDP reply or alive NOTIFY (kind %d)", kind);
        set_code(KVDMC_E_ARG);
        return -1;
    }
    sbuf_scoped js;
    sb_printf(&js, "{\"packet_kind\":%d,\"st\":", kind);
    sb_json_str(&js, r.st);
    sb_puts(&js, ",\"usn\":");
    sb_json_str(&js, r.usn);
    sb_puts(&js, ",\"location\":");
    sb_json_str(&js, r.location);
    sb_printf(&js, ",\"max_age\":%d}", (int)r.max_age_s);
    if (js.b.oom) {
        set_err("parse_ssdp: out of memory");
        set_code(KVDMC_E_NOMEM);
        return KVDMC_E_NOMEM;
    }
    {
        // The JSON buffers are per thread; the lock keeps the frame's rule that
        // result building happens under the library lock.
        plat_guard g(&g_lock);
        set_small_json(js.b.p, js.b.n);
    }
    set_code(0);
    return 0;
}

KVDMC_API int kvdmc_config(const char *key, const char *value) {
    api_enter();
    int r;
    {
        plat_guard g(&g_lock);
        r = cfg_set(key, value);
    }
    if (r != 0) set_code(r);
    return r;
}

} // extern "C"
