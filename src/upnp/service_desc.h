// A renderer's service descriptions: the seek units its AVTransport allows and the range
// of its RenderingControl Volume, read once per device row on first need and kept with it.
#pragma once

#include "upnp/discover.h"

// Bits of device_learned::seek_modes.
enum { SEEK_REL_TIME = 1, SEEK_ABS_TIME = 2 };

// Reads the description of the device's service `frag` ("AVTransport:1", ...) unless
// the row already tried: d->learned and the table's row then tell what it said. A
// description that cannot be fetched or read leaves nothing known.
void service_desc_avt(device_t *d, const char *frag);
void service_desc_rc(device_t *d, const char *frag);
