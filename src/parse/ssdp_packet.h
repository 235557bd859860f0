// SSDP packets: one datagram classified and its headers read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/capacity.h"

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
