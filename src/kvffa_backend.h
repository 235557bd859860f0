// The DLNA backend of the file/folder access layer: one media server as folders and items.
#pragma once

#include <string>

// Registers the backend "dlna" with the layer. 0, or a negative code with the message
// recorded (KVDMC_E_CAP when the layer refuses it, for example a second time).
int dlna_backend_register(void);

// The name an entry is shown under: its title, or its object id when the title is empty,
// "." or ".."; every '/' becomes U+FF0F and bytes that are not UTF-8 become U+FFFD, so no
// entry is lost to the layer's rules on names.
void dlna_entry_name(const char *title, const char *object_id, std::string *out);
// A server text as valid UTF-8: bytes that are not UTF-8 become U+FFFD.
void utf8_clean(const char *s, std::string *out);
