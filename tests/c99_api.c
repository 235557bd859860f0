/* Compiled as C99: the public header must stay valid C. */
#include "kvdmc.h"

#include <string.h>

int kvdmc_c99_version_ok(void);
int kvdmc_c99_version_ok(void) {
    quorlin_io io;
    kvrch_handler h;
    memset(&io, 0, sizeof io);
    memset(&h, 0, sizeof h);
    (void)h;
    return strcmp(kvdmc_version(), "1.0.0") == 0 && KVRCH_E_BUFFER == -9 && io.ctx == 0;
}
