// Service description reader on arbitrary bytes: the variables the component asks for,
// with what it keeps bounded and consistent.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "base/text.h"
#include "parse/scpd.h"

static void check_var(const scpd_var &v) {
    if (!memchr(v.values, 0, sizeof v.values)) abort();
    int lines = 0;
    for (const char *p = v.values; *p; p++) lines += *p == '\n';
    if (lines != v.nvalues) abort();
    // Every value kept is found again, and a value never spans a line.
    for (const char *p = v.values; *p;) {
        const char *nl = strchr(p, '\n');
        if (!nl) abort();
        char one[SCPD_VALUES_CAP];
        str_copyn(one, sizeof one, p, (size_t)(nl - p));
        if (!scpd_allows(v, one)) abort();
        p = nl + 1;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const char *name : {"A_ARG_TYPE_SeekMode", "Volume"}) {
        scpd_var v;
        char err[256];
        int rc = scpd_variable((const char *)data, size, name, &v, err, sizeof err);
        if (rc < -1 || rc > 1) abort();
        if (rc < 0 && !memchr(err, 0, sizeof err)) abort();
        if (rc == 1) check_var(v);
        if (rc != 1 && (v.nvalues || v.has_min || v.has_max)) abort();
    }
    return 0;
}
