// Live SSDP search over UDP multicast.
#pragma once

#include <stddef.h>

// kind 1..3 and timeout_ms 100..30000 are validated by the caller.
int ssdp_discover_live(int kind, int timeout_ms, char *err, size_t errn);
