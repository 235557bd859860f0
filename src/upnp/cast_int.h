// What the units of casting share with each other: the allow-list's check, the renderer
// texts the transport control reads, the Sink memo and the metadata builder. Other
// units use casting through cast.h.
#pragma once

#include <string>

#include "base/sbuf.h"

// ---- the allow-list (cast_allow.cpp) ----

// True when the device key is on the allow-list. Caller holds g_lock, so that the device
// found next is the one that was allowed at that moment.
bool cast_allow_has(const char *key);

// ---- renderer texts (cast_text.cpp) ----

// The KVDMC_STATE_ of a CurrentTransportState as UPnP names it; false for any other name.
bool transport_state_of(const char *name, int *state);
// UPnP's value for a time the renderer does not know (an empty text or NOT_IMPLEMENTED).
bool unknown_time(const char *t);
// What kvdmc_cast_volume and kvdmc_cast_mute return for the renderer's CurrentVolume and
// CurrentMute texts.
int volume_of(const char *text);
int mute_of(const char *text);
// Keeps the renderer's Sink list (by device key) for naming formats the way it does.
void remember_sink(const char *key, const char *sink);
// The renderer's name for `mime`, when an earlier check read its Sink list and it lists
// the format under some name; otherwise mime itself.
std::string renderer_name_for(const char *key, const char *mime);

// ---- the metadata builder (cast_meta.cpp) ----

// What a cast sends: the texts made valid, and the URL as the host passed it (the one the
// item table knows).
struct cast_texts {
    const char *url, *host_url, *mime, *title;
};

// CurrentURIMetaData of one form (a cast_meta) for the renderer of that device key;
// nothing for CAST_META_NONE.
void build_metadata(sbuf *b, int form, const char *key, const cast_texts &t);
