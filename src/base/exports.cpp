// The exported frame: one-time set-up, the library locks and per-thread reporting.
#include "base/exports.h"

#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "base/capacity.h"

plat_mutex g_lock;
plat_mutex g_io_lock;
static plat_once_t g_locks_once = PLAT_ONCE_INIT;

// Reporting is per thread so a host calling from several threads reads the
// error and JSON of its own call.
namespace {
struct report_state {
    char err[REPORT_ERR_CAP] = "";
    int code = 0;
    std::string small;
    std::string result;
    bool has_result = false;
};
thread_local report_state s_report;

void format_err(const char *fmt, va_list ap) {
    if (vsnprintf(s_report.err, sizeof s_report.err, fmt, ap) < 0) s_report.err[0] = 0;
}
} // namespace

static void locks_init_once(void) {
    plat_mutex_init(&g_lock);
    plat_mutex_init(&g_io_lock);
}

void api_enter(void) {
    plat_once(&g_locks_once, locks_init_once);
}

int api_fail(int code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    format_err(fmt, ap);
    va_end(ap);
    s_report.code = code;
    return code;
}

int api_ok(int result) {
    s_report.code = 0;
    return result;
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

} // extern "C"
