// Device descriptions, URL resolution and UDN keys: the description scan turns one
// untrusted document into a device record.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/capacity.h"

struct device_service {
    char type[SERVICE_TEXT_CAP];
    char id[SERVICE_TEXT_CAP];
    char control[SERVICE_URL_CAP];
    char eventsub[SERVICE_URL_CAP];
    char scpd[SERVICE_URL_CAP];
};

// What the device's answers taught: kept with its row, so forgetting the device or
// reading its description again (a new LOCATION) starts afresh. Zero is "not learned".
struct device_learned {
    int8_t meta_form;   // the metadata form the renderer took, plus one
    int8_t seek_mode;   // the seek unit that worked: 1 REL_TIME, 2 ABS_TIME
    int8_t avt_scpd;    // AVTransport description: 1 read, -1 unreadable
    int8_t rc_scpd;     // RenderingControl description: 1 read, -1 unreadable
    uint8_t seek_modes; // listed seek units: bit 0 REL_TIME, bit 1 ABS_TIME; 0 unknown
    int8_t vol_range;   // 1: Volume runs vol_min..vol_max rather than 0..100
    int32_t vol_min, vol_max;
    int32_t page; // the page size the server serves (below browse_page)
};

struct device_t {
    char udn[DEVICE_KEY_CAP];
    char udn_key[DEVICE_KEY_CAP];
    char usn_key[DEVICE_KEY_CAP]; // key of the announcement the row came from
    int32_t kind;                 // 1 server, 2 renderer
    char friendly[DEVICE_TEXT_CAP];
    char manufacturer[DEVICE_TEXT_CAP];
    char model_name[DEVICE_TEXT_CAP];
    char location[DEVICE_URL_CAP];
    char base[DEVICE_URL_CAP];
    char device_type[DEVICE_TEXT_CAP];
    char dlna_doc[DEVICE_DLNADOC_CAP];
    int32_t max_age_s; // lifetime in seconds from added_ms; <= 0 never expires
    uint64_t added_ms;
    uint64_t fetched_ms;
    device_service svc[DEVICE_MAX_SVC];
    int32_t nsvc;
    int32_t desc_ok;
    device_learned learned;
};

// The records of one description: every media server and renderer of its device tree
// (the root and its embedded devices, depth first in document order, at most maxn),
// each with its own identity and services; or, when the tree holds none, its root
// device alone. Returns the number of records written to out (1 or more), or -1 with
// the message in err; a success leaves in err the resolver's message for a control URL
// kept as written. kind and udn_key are left to the device table.
int desc_parse_devices(const char *xml, const char *location, device_t *out, int maxn, char *err,
                       size_t errn);
// The first media device of a description (its root when there is none) into d.
int desc_parse(const char *xml, const char *location, device_t *d, char *err, size_t errn);
// 1 for a media server type, 2 for a renderer (also one naming both), 0 otherwise.
int device_kind_of(const char *device_type);
void udn_key_of(const char *usn_or_udn, char *out); // out: at least DEVICE_KEY_CAP bytes
// Resolves ref against base into out (cut to outn - 1 bytes). Returns null, or
// the failure message without touching the last-error text.
const char *url_resolve(const char *base, const char *ref, char *out, size_t outn);
// Whether two URLs name the same host (compared as text, ignoring case; ports,
// user info and paths do not count). False when either has no host.
bool url_same_host(const char *a, const char *b);
