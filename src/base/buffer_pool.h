// The large buffers a browse takes and gives back several times (a transport's response
// body, a decoded Result), kept for the next taker. Freed, memory of that size goes back
// to the system, and the next browse faults every page of it in again: a third of the CPU
// of a browse of a 600-item folder went to that.
#pragma once

#include <stddef.h>

constexpr size_t POOL_MIN = 64u << 10; // smaller buffers are the allocator's own business
constexpr size_t POOL_MAX = 2u << 20;  // larger ones are rare: not kept
constexpr int POOL_KEEP = 8;

// A kept buffer of at least n bytes, the smallest that fits, or null; *room gets its size.
void *pool_take(size_t n, size_t *room);
// Gives back a buffer from malloc or realloc: kept while there is room and its size is
// one worth keeping, freed otherwise. Null is fine.
void pool_give(void *p);
