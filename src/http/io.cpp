// Transport selection: the calling thread's override, the host's record, or the built-in one.
#include "http/io.h"

#include "base/exports.h"
#include "http/io_curl.h"
#include "http/io_http.h"

// The override of one call (a handler operation that brings its own transport) belongs to
// the calling thread: hosts calling on several threads with their own transports must not
// get each other's.
static thread_local const quorlin_io *t_io_ovr = nullptr;
static const quorlin_io *g_io = nullptr;
static quorlin_io g_io_copy;
// Set while g_io points at g_io_copy: readers then get a private copy, so a
// concurrent kvdmc_set_io never hands a caller a half-written record.
static bool g_io_is_copy = false;

const quorlin_io *io_current(void) {
    api_enter();
    if (t_io_ovr) return t_io_ovr;
    static thread_local quorlin_io s_mine;
    const quorlin_io *io;
    {
        plat_guard g(&g_io_lock);
        io = g_io;
        if (g_io_is_copy) {
            s_mine = g_io_copy;
            io = &s_mine;
        }
    }
    return io ? io : io_curl();
}

void io_override(const quorlin_io *io) {
    t_io_ovr = io;
}

void io_override_clear(void) {
    io_override(nullptr);
}

void io_select_static(const quorlin_io *io) {
    api_enter();
    plat_guard g(&g_io_lock);
    g_io = io;
    g_io_is_copy = false;
}

extern "C" {

KVDMC_API int kvdmc_set_io(const quorlin_io *io) {
    api_enter();
    plat_guard g(&g_io_lock);
    if (io) {
        g_io_copy = *io;
        g_io = &g_io_copy;
    } else {
        g_io = nullptr;
    }
    g_io_is_copy = io != nullptr;
    return 0;
}

KVDMC_API int kvdmc_use_curl(void) {
    api_enter();
    const quorlin_io *c = io_curl();
    if (!c) return api_fail(KVDMC_E_NOCURL, "use_curl: built without the HTTP transport");
    io_select_static(c);
    return 0;
}

} // extern "C"

void io_release(const quorlin_io *io, void *p) {
    if (p && io && io->free_buf) io->free_buf(io->ctx, p);
}

bool io_texts_are_heap(const quorlin_io *io) {
    return io && io->free_buf == io_free_text;
}
