/* Test-only hook of the file/folder access layer: decides, before each heap
 * allocation the layer makes, whether it fails, so tests can walk every
 * out-of-memory path. Not for production callers. */
#ifndef KVFFA_TEST_H
#define KVFFA_TEST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* hook returns non-zero to make the allocation of `size` bytes fail; NULL removes it. */
typedef int (*kvffa_alloc_hook)(size_t size);
void kvffa__test_alloc_hook(kvffa_alloc_hook hook);

#ifdef __cplusplus
}
#endif

#endif /* KVFFA_TEST_H */
