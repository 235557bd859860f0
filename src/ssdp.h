// SSDP: classifying packets, and the live search over UDP multicast.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacity.h"

// One parsed SSDP packet.
struct ssdp_reply {
    char st[SSDP_ST_CAP]; // ST of a reply, NT of a NOTIFY
    char usn[SSDP_USN_CAP];
    char location[SSDP_LOCATION_CAP];
    int32_t max_age_s;
};
enum { SSDP_UNUSABLE = -1, SSDP_IGNORE = 0, SSDP_REPLY = 1, SSDP_ALIVE = 2, SSDP_BYEBYE = 3 };

// pkt holds n bytes followed by a NUL.
int ssdp_parse_packet(const char *pkt, size_t n, ssdp_reply *r);
// Value of header `name` (any case) in the packet; null when absent.
const char *hdr(const char *pkt, size_t n, const char *name, size_t *vlen);

// Receives every search reply and alive announcement of a live search.
typedef void (*ssdp_on_reply)(const ssdp_reply *r, void *ctx);

// Searches for kind 1 (servers), 2 (renderers) or 3 (both) for timeout_ms (both
// validated by the caller). 0, or KVDMC_E_ARG / KVDMC_E_NET with the message in err.
int ssdp_search(int kind, int timeout_ms, ssdp_on_reply on_reply, void *ctx, char *err, size_t errn);
