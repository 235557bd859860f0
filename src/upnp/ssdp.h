// The live SSDP search over UDP multicast.
#pragma once

#include <stddef.h>

#include "parse/ssdp_packet.h"

// Receives every search reply and alive announcement of a live search.
typedef void (*ssdp_on_reply)(const ssdp_reply *r, void *ctx);

// Searches for kind 1 (servers), 2 (renderers) or 3 (both) for timeout_ms (both
// validated by the caller). 0, or KVDMC_E_ARG / KVDMC_E_NET with the message in err.
int ssdp_search(int kind, int timeout_ms, ssdp_on_reply on_reply, void *ctx, char *err, size_t errn);
