// The platform halves' shared part: socket addresses and the interface list rule.
#include "platform/plat_common.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <string.h>

void plat_make_addr(sockaddr_in *sa, uint32_t addr, int port) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = addr;
    sa->sin_port = htons((uint16_t)port);
}

int plat_pick_interfaces(const plat_iface *found, int nfound, uint32_t *out, int max) {
    int n = 0;
    for (int pass = 0; pass < 2 && n == 0; pass++) {
        bool loopback = pass == 1;
        for (int i = 0; i < nfound && n < max; i++) {
            if (found[i].loopback != loopback) continue;
            bool seen = false;
            for (int k = 0; k < n; k++) seen = seen || out[k] == found[i].addr;
            if (!seen) out[n++] = found[i].addr;
        }
    }
    return n;
}
