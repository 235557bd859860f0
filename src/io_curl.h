// Internals of the built-in libcurl transport that tests reach.
#pragma once

#include <stddef.h>

// Largest response body the transport accepts.
constexpr size_t IO_CURL_BODY_CAP = 8u << 20;

// Connect and whole-request time-outs in milliseconds; 0 restores the defaults (2 s, 10 s).
// For tests that must see a time-out quickly. No effect without libcurl.
void io_curl_set_timeouts(long connect_ms, long total_ms);
