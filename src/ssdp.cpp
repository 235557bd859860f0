// Interim: the live search is not built yet.
#include "ssdp.h"

#include "util.h"

int ssdp_discover_live(int, int, char *err, size_t errn) {
    str_copy(err, errn, "live search not available");
    return -3;
}
