// Configuration: the one record of tunable values, set one key at a time.
#pragma once

#include <stdint.h>

#include <atomic>

#include "base/capacity.h"

struct cfg_t {
    char ssdp_group[CFG_ADDR_CAP];
    int32_t ssdp_port;
    int32_t ssdp_ttl;
    int32_t browse_page;
    int32_t browse_max_items;
    int32_t browse_cache_ms;
    int32_t device_max;
    int32_t desc_max_bytes;
    int32_t browse_timeout_ms; // a whole browse stops paging after this long
    int32_t cast_retry;        // 1: a busy renderer's SetAVTransportURI and Play are tried once more
    int32_t cast_metadata;     // a cast_meta: what CurrentURIMetaData describes
    int32_t cast_dlna_flags;   // 1: a res without DLNA parameters gets the streaming ones
    char ssdp_if[CFG_ADDR_CAP];
    uint32_t restores; // not a key: how often the numeric settings went back to their defaults

    char ssdp_hosts[CFG_HOSTS_CAP]; // searched by unicast too; "" none
};
// The values of "cast_metadata": the item the URL belongs to, the fixed minimal
// document, or no metadata at all.
enum cast_meta : int32_t { CAST_META_ITEM = 0, CAST_META_MINIMAL = 1, CAST_META_NONE = 2 };

// A host of "ssdp_hosts": an IPv4 address as the socket layer takes it, and a port.
struct cfg_host {
    uint32_t addr;
    int port;
};
// Reads a comma-separated list of IPv4 addresses, each with an optional ":port" (1900
// without), into out. Their number (0 for an empty text), or -1 when the text is not
// such a list or names more than max.
int cfg_hosts_parse(const char *text, cfg_host *out, int max);

// Holds its defaults from the start. Written under g_lock.
extern cfg_t g_cfg;

// Sets one key (null value: its default). 0, or KVDMC_E_CONFIG with the message in err
// (none when err is null). Caller holds g_lock.
int cfg_set(const char *key, const char *value, char *err = nullptr, size_t errn = 0);

// A numeric setting read without g_lock (the store is atomic for such readers).
inline int32_t cfg_read(const int32_t &field) {
    return std::atomic_ref<const int32_t>(field).load(std::memory_order_relaxed);
}
