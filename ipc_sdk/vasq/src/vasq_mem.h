// The streaming SDK's allocator table: every allocation of the SDK goes through it, and every block
// it hands out is zero-filled. The platform's malloc, realloc and free until replaced.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *(*vasq_alloc_fn)(size_t size);
typedef void *(*vasq_realloc_fn)(void *block, size_t size);
typedef void (*vasq_free_fn)(void *block);

// Replaces the three functions; a null one restores the platform's.
void vasq_set_allocators(vasq_alloc_fn alloc, vasq_realloc_fn realloc_fn, vasq_free_fn free_fn);

void *vasq_malloc(size_t size); // zero-filled; none on exhaustion
// Resizes; the bytes beyond the old size are zero-filled. `old_size` is the block's current size.
void *vasq_realloc(void *block, size_t old_size, size_t size);
void vasq_free(void *block); // none is accepted
// Keeps `*copy` a copy of `value` (a new block only when they differ); 0, or -1 without memory.
int vasq_keep_copy(char **copy, const char *value);

#ifdef __cplusplus
}
#endif
