// Random numbers from the kernel's random source, opened once and kept open for the process.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Fills `buf`; aborts the process when the source cannot be opened or read.
void rand_bytes(void *buf, int size);
uint32_t rand_long(void);
int32_t rand_int(void);
// a + r mod (b - a) for a random r: in [a, b) for b > a; a + r when b == a.
unsigned rand_range(unsigned a, unsigned b);
// n characters drawn from the first set_len of `set`, then a NUL at dst[n]; nothing for n <= 0.
void rand_str(const char *set, int set_len, char *dst, int n);
// A number in [1, 10000000).
unsigned generate_random_id(void);

#ifdef __cplusplus
}
#endif
