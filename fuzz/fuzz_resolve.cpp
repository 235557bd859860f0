// URL resolver on two arbitrary texts: the input up to its first NUL is the
// base, the rest the reference.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kvdmc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in((const char *)data, size);
    size_t cut = in.find('\0');
    std::string base = in.substr(0, cut);
    std::string ref = cut == std::string::npos ? std::string() : in.substr(cut + 1);
    ref = ref.c_str(); // the reference ends at its own first NUL

    const char *r = kvdmc_resolve_url(base.c_str(), ref.c_str());
    if (!r) return 0;
    size_t len = strlen(r);
    if (len > 1279) abort();
    if (ref.find("://") != std::string::npos) {
        if (ref.compare(0, len, r) != 0) abort();
    } else if (base.compare(0, base.find("://") + 3, r, base.find("://") + 3) != 0) {
        abort(); // the scheme and separator come from the base
    }
    return 0;
}
