// Aligned blocks and block copies.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// `size` bytes at a multiple of `align` (a power of two, raised to at least 8); null for size <= 0,
// and null with errno EINVAL for an align that is not a power of two. Freed with lumo_free.
void *lumo_malloc(int size, int align);
void lumo_free(void *p);
// The smallest multiple of the power of two b that is not below a.
int lumo_round(int a, int b);
// Copies `count` bytes in 64-byte blocks, reading ahead 192 bytes beyond the block being read.
void lumo_copy(void *dst, const void *src, int count);
// Copies `len` bytes so that the copy has the same position within 64 bytes as `src`; for more than
// 126 bytes the start moves up to 63 bytes forward (the caller keeps 63 spare bytes behind dst).
// Returns where the copy starts.
void *mem_cpy_pld(void *dst, const void *src, unsigned len);

#ifdef __cplusplus
}
#endif
