// The built-in HTTP transport: libcurl on POSIX (io_curl.cpp), WinHTTP on Windows
// (io_winhttp.cpp). Both keep the contract of io_http.h.
#pragma once

#include "kvdmc.h"

// The built-in transport's record, or null when built without one. The name is the API's
// (kvdmc_use_curl): on Windows it is the system's HTTP stack.
const quorlin_io *io_curl(void);
