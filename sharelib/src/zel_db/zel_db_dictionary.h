// The settings stores' string dictionary: parallel slot arrays of owned keys, values and hashes,
// walked in slot order; the stores and the settings socket read the slots directly.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _dictionary_ {
    int32_t n;       // entries in use
    int32_t size;    // slots (at least 128)
    char **val;      // value of each slot; null for a section entry or an empty slot
    char **key;      // key of each slot; null marks an empty slot
    uint32_t *hash;  // hash of each slot's key
} dictionary;

// Jenkins' one-at-a-time hash over the first `len` bytes (none of them NUL), taken as unsigned.
uint32_t zel_db_hash(const char *text, size_t len);
// The same over a whole text; 0 for none.
uint32_t dictionary_hash(const char *key);

dictionary *dictionary_new(int size);
void dictionary_del(dictionary *d);
const char *dictionary_get(const dictionary *d, const char *key, const char *def);
// 0, or -1 when `d` or `key` is missing or memory runs out.
int dictionary_set(dictionary *d, const char *key, const char *val);
void dictionary_unset(dictionary *d, const char *key);
void dictionary_dump(const dictionary *d, FILE *out);

// The same operations under the settings database's names, with exact keys.
int zel_db_hashmap_set(dictionary *d, const char *key, const char *val);
const char *zel_db_hashmap_get(const dictionary *d, const char *key, const char *def);
void zel_db_hashmap_unset(dictionary *d, const char *key);

#ifdef __cplusplus
}
#endif
