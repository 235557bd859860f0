// Transport selection: the calling thread's override, the host's record, or the built-in one.
#pragma once

#include "kvdmc.h"

const quorlin_io *io_current(void);
// Hands a transport's text back through its free_buf. A host record without
// free_buf leaks its texts rather than crashing.
void io_release(const quorlin_io *io, void *p);
// Whether io's texts are malloc'd buffers that a caller holding one may keep as a heap
// buffer of its own, released with free, instead of copying it out: those of the built-in
// transports (a host's transport may allocate its own way).
bool io_texts_are_heap(const quorlin_io *io);
void io_override(const quorlin_io *io);
void io_override_clear(void);
// Selects a record without copying it (for the component's own constant records).
void io_select_static(const quorlin_io *io);
