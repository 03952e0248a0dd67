// The SDK's counting allocator: every block the SDK holds is counted (blocks and heap bytes) so the
// statistics report can tell how much memory the SDK keeps.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// The two leading integers are ignored; callers pass 0, 0 (the vexa_* macros below do).
void *_vexa_malloc(int, int, size_t size); // zero-filled
void *_vexa_calloc(int, int, size_t n, size_t size);
void *_vexa_realloc(int, int, void *block, size_t size);
void _vexa_free(int, int, void *block);
char *_vexa_strdup(int, int, const char *text); // counted too; free with _vexa_free

// Copies the block and byte counters; -1 when either pointer is null.
int vexa_heap_info_get(int *blocks, int *bytes);
void vexa_mem_dump(void);

#ifdef __cplusplus
}
#endif

#define vexa_malloc(size) _vexa_malloc(0, 0, (size))
#define vexa_calloc(n, size) _vexa_calloc(0, 0, (n), (size))
#define vexa_realloc(block, size) _vexa_realloc(0, 0, (block), (size))
#define vexa_free(block) _vexa_free(0, 0, (block))
#define vexa_strdup(text) _vexa_strdup(0, 0, (text))
