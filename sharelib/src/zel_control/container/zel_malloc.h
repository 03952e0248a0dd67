// Zero-filled allocation used across the deliverables; memory from it is released with __zel_free
// (or free, which it is built on).
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Zero-filled memory of `size` bytes, or null.
void *__zel_malloc0(size_t size);
// Frees `p`; a null pointer is ignored.
void __zel_free(void *p);

#ifdef __cplusplus
}
#endif
