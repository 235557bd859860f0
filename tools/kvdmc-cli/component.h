// What the tool uses of the component beyond the public API. The tool links the component
// statically, so it may call these internal entry points; the shared library does not
// export them, and hosts never see them.
//
// They keep C++ linkage on purpose: the linker then matches the parameter types of these
// declarations against the component's definitions, so a signature that changes on one
// side only fails the build at link time instead of calling with the wrong arguments.
#pragma once

#include <stddef.h>

// Searches for one device of kind 1 (servers), 2 (renderers) or 3 (both), also asking for
// it by its UDN, and ends as soon as its row is in the device table, after timeout_ms
// (100..30000) at the most. The row's index, or a negative code with kvdmc_last_error()
// set (KVDMC_E_UNKNOWN: it did not answer in time).
int discover_device(int kind, const char *udn, int timeout_ms);

// The renderer's CurrentTransportState as it names it ("PLAYING", "TRANSITIONING", ...),
// cut to n - 1 bytes: kvdmc_cast_state counts TRANSITIONING as playing. 0, or a negative
// code with kvdmc_last_error() set.
int cast_transport_state(const char *udn, char *out, size_t n);
