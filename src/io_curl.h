// Internals of the built-in libcurl transport that tests reach.
#pragma once

#include "kvdmc.h"

// The built-in transport's record, or null when built without libcurl.
const quorlin_io *kvdmc_io_curl(void);

// Connect and whole-request time-outs in milliseconds; 0 restores the defaults (2 s, 10 s).
// For tests that must see a time-out quickly. No effect without libcurl.
void io_curl_set_timeouts(long connect_ms, long total_ms);
