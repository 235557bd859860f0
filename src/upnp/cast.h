// Casting: the allow-list guarding state-changing renderer actions, transport
// control of a renderer and the sink capability check.
#pragma once

#include <stddef.h>

#include "base/capacity.h"
#include "upnp/discover.h"

// Allow-list (guarded by g_lock): device keys in insertion order.
extern char g_allow[CAST_ALLOW_MAX][DEVICE_KEY_CAP];
extern int g_nallow;

int cast_allow(const char *udn);
void cast_clear(void);
int cast_allowed(const char *udn);

// Lookups every casting operation starts with. On success they fill *out with
// a copy of what a SOAP call needs from the device row (its service list),
// taken under g_lock, so the call can run without the lock while the row
// changes. On failure: the code, with its text in err (CAST_ERRN bytes).
int guarded(const char *udn, device_t *out, char *err); // allow-list, then device table
int dev_of(const char *udn, device_t *out, char *err);  // device table only

// Action on AVTransport / RenderingControl: the ":1" service, or ":2" when the
// device has no ":1" service of that kind. 0 or a negative code, text in err.
int call_avt(const device_t *d, const char *action, const char *args, char *out, size_t outn,
             const char *want, int *upnp, char *err);
int call_rc(const device_t *d, const char *action, const char *args, char *out, const char *want, int *upnp,
            char *err); // out: CAST_VALUE_CAP bytes

int cast_set_uri(const char *udn, const char *url, const char *mime, const char *title);
int cast_simple(const char *udn, const char *action, const char *extra);
int cast_seek(const char *udn, int seconds);
int cast_state(const char *udn);
// The renderer's CurrentTransportState as it names it (PLAYING and TRANSITIONING are one
// state to cast_state), cut to n - 1 bytes. 0, or a negative code with the last error set.
// Not exported: the command-line tool, which links the component, declares it in its own
// header.
int cast_transport_state(const char *udn, char *out, size_t n);
int cast_position(const char *udn, int *pos_s, int *dur_s);
int cast_volume(const char *udn, int set);
int cast_mute(const char *udn, int set);
int sink_check(const char *udn, const char *mime);

// Renderer-supplied texts.
int hms_to_s(const char *s, int *out);              // 0, or -1 when the text is not a time
int sink_match(const char *list, const char *mime); // 1 when an entry of the list matches
