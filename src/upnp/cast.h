// Casting: the allow-list guarding state-changing renderer actions, transport
// control of a renderer and the sink capability check. The operations are the
// exported kvdmc_cast_* functions; what other units use are the renderer-text readers.
#pragma once

// Renderer-supplied texts.
int hms_to_s(const char *s, int *out);              // 0, or -1 when the text is not a time
int sink_match(const char *list, const char *mime); // 1 when an entry of the list matches
