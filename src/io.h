// Transport selection (host record, built-in HTTP, fake) and the fake transport's internals.
#pragma once

#include "kvdmc.h"

const quorlin_io *kvdmc_io_current(void);
// Hands a transport's text back through its free_buf. A host record without
// free_buf leaks its texts rather than crashing.
void io_release(const quorlin_io *io, void *p);
void kvdmc_io_override(const quorlin_io *io);
void kvdmc_io_override_clear(void);
// Built-in HTTP transport (libcurl on POSIX, WinHTTP on Windows), or null when built without one.
const quorlin_io *kvdmc_io_curl(void);
// Selects a record without copying it (for the component's own constant records).
void io_select_static(const quorlin_io *io);

// Fake transport (library-internal part).
const quorlin_io *kvdmc_io_fake(void);
int kvdmc_fake_route(const char *url, int *http_code, char **out_body, char **out_err);
int kvdmc_fake_set_post(const char *url, const char *body_contains, int http_code, const char *resp);
unsigned kvdmc_fake_total(void);
int kvdmc_fake_store_packet(const char *pkt);
int kvdmc_ssdp_disabled(void);
