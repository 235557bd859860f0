// SOAP action client, DIDL-Lite item table, Browse and the JSON views.
#pragma once

#include <stddef.h>

#include "discover.h"
#include "util.h"

// First service whose type ends with svc_frag; copies its control URL.
int cast_service_url(const device_t *d, const char *svc_frag, char *out, size_t n);

// One output argument of a UPnP action. Returns 0, -1 or 2 (no response element).
int soap_action_arg(const device_t *d, const char *svc_frag, const char *action, const char *args,
                    const char *want, char *out, size_t outn, int *upnp_code, char *err, size_t errn);

// Several output arguments of one action from one request.
struct soap_out {
    const char *name; // local name of the output argument
    char *buf;        // receives its text, cut to cap - 1 bytes (unless sb is given)
    size_t cap;
    sbuf *sb;  // when non-null, receives the whole text instead of buf
    int found; // set to 1 when the argument was present
};
int soap_action_args(const device_t *d, const char *svc_frag, const char *action, const char *args,
                     soap_out *outs, int nout, int *upnp_code, char *err, size_t errn);
