// The live SSDP search over UDP multicast.
#pragma once

#include <stddef.h>

#include "base/capacity.h"
#include "base/config.h"
#include "parse/ssdp_packet.h"

// Receives every search reply and alive announcement of a live search; returning true
// ends the search at once.
typedef bool (*ssdp_on_reply)(const ssdp_reply *r, void *ctx);

// What a search is set up with, taken by the caller in one piece so that a change
// of configuration during the search does not mix two setups.
struct ssdp_settings {
    char group[CFG_ADDR_CAP]; // IPv4 literal, already validated
    char iface[CFG_ADDR_CAP]; // empty or "0.0.0.0": every interface
    int port;
    int ttl;
    cfg_host hosts[SSDP_MAX_HOSTS]; // also searched by unicast
    int nhosts = 0;
};

// Searches for kind 1 (servers), 2 (renderers) or 3 (both) for timeout_ms (both
// validated by the caller); `also`, when not null, is one more search target, sent
// first (a single device's "uuid:..."). 0, or KVDMC_E_ARG / KVDMC_E_NET with the
// message in err.
int ssdp_search(int kind, const char *also, int timeout_ms, const ssdp_settings *set, ssdp_on_reply on_reply,
                void *ctx, char *err, size_t errn);
