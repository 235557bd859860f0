// SOAP action client: one POST per action to a device's service, output arguments and
// UPnP faults read in one pass.
#pragma once

#include <stddef.h>

#include "upnp/discover.h"
#include "base/sbuf.h"

// First service whose type ends with svc_frag; copies its control URL. 0 or -1.
int soap_service_url(const device_t *d, const char *svc_frag, char *out, size_t n);

// "<kind>:<v>" into frag for the lowest version v in 1..max_version that the device
// offers, or for `fallback` when it offers none of them.
void soap_pick_version(const device_t *d, const char *kind, int max_version, int fallback, char *frag,
                       size_t n);

// One output argument of a UPnP action.
struct soap_out {
    const char *name; // local name of the output argument
    char *buf;        // receives its text, cut to cap - 1 bytes (unless sb is given)
    size_t cap;
    sbuf *sb;  // when non-null, receives the whole text instead of buf
    int found; // set to 1 when the argument was present
};

// Calls action on the service and gathers the wanted output arguments from one request.
// Returns 0, or a negative KVDMC_E_ code with the message in err; *upnp_code gets the fault code of a UPnP
// fault. *too_large, when given, tells that the response was refused for its size, so a pager can ask for
// less.
int soap_call(const device_t *d, const char *svc_frag, const char *action, const char *args, soap_out *outs,
              int nout, int *upnp_code, int *too_large, char *err, size_t errn);
int soap_action_args(const device_t *d, const char *svc_frag, const char *action, const char *args,
                     soap_out *outs, int nout, int *upnp_code, char *err, size_t errn);
// One output argument into out (cut to outn - 1 bytes); want empty: none.
int soap_action_arg(const device_t *d, const char *svc_frag, const char *action, const char *args,
                    const char *want, char *out, size_t outn, int *upnp_code, char *err, size_t errn);
