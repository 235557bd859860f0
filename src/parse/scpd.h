// Service descriptions (SCPD): what a renderer allows for one of its state variables.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/capacity.h"

// A state variable's allowedValueList and allowedValueRange, as the service lists them.
struct scpd_var {
    char values[SCPD_VALUES_CAP]; // the allowed values, each followed by '\n'; cut at a value
    int nvalues;
    bool has_min, has_max; // allowedValueRange's bounds that were given and are integers
    int64_t min, max;
};

// Reads the state variable named `name` from one untrusted description of len bytes.
// 1 when it is there (out filled), 0 when not, -1 with the message in err when the
// document cannot be read.
int scpd_variable(const char *xml, size_t len, const char *name, scpd_var *out, char *err, size_t errn);
// Whether `value` is one of the variable's allowed values (exact).
bool scpd_allows(const scpd_var &v, const char *value);
