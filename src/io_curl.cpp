// Interim: no built-in HTTP transport yet.
#include "io.h"

const quorlin_io *kvdmc_io_curl(void) {
    return nullptr;
}
