// Casting: the allow-list guarding state-changing renderer actions (cast_allow.cpp),
// the renderer texts and format names (cast_text.cpp), the metadata builder
// (cast_meta.cpp) and transport control of a renderer with the sink capability check
// (cast.cpp); they share cast_int.h. The operations are the exported kvdmc_cast_*
// functions; what other units use are the renderer-text readers, and the command-line
// tool the transport state by name.
#pragma once

#include <stddef.h>

// The renderer's CurrentTransportState as it names it (PLAYING and TRANSITIONING are one
// state to kvdmc_cast_state), cut to n - 1 bytes. 0, or a negative code with the last error
// set. Not exported: the command-line tool, which links the component, declares it in its
// own header.
int cast_transport_state(const char *udn, char *out, size_t n);

// Renderer-supplied texts.
int hms_to_s(const char *s, int *out);              // 0, or -1 when the text is not a time
int sink_match(const char *list, const char *mime); // 1 when an entry of the list matches
// 1 when an entry matches once the content format of mime is given another of its names
// (audio/mp3 for audio/mpeg, video/x-mkv for video/x-matroska, ...).
int sink_match_alias(const char *list, const char *mime);
