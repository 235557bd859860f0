// Fake transport: canned HTTP answers per URL, for tests and hosts without a network.
#pragma once

#include "kvdmc.h"

const quorlin_io *io_fake(void);
int fake_route(const char *url, int *http_code, char **out_body, char **out_err);
// A POST to url whose body contains body_contains gets resp; other POSTs go by URL.
int fake_set_post(const char *url, const char *body_contains, int http_code, const char *resp);
