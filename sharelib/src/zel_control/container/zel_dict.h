// The chained hash dictionary with pluggable key operations, and the string and 32-bit integer key
// operations it is used with. Values are not owned: the dictionary frees only its keys and nodes.
// No locking: callers guard it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t (*zel_dict_hash_fn)(const void *key);
// 0 when the stored key equals `key`.
typedef int (*zel_dict_compare_fn)(const void *stored, const void *key);
// A copy of the key that the dictionary owns.
typedef void *(*zel_dict_duplicate_fn)(const void *key);
typedef void (*zel_dict_release_fn)(void *key);

typedef struct zel_dict_node {
    void *key;
    void *value;
    uint32_t hash;
    struct zel_dict_node *next;
} zel_dict_node_t;

typedef struct zel_dict {
    int count;
    int bucket_count;
    int initial;
    zel_dict_hash_fn hash;
    zel_dict_compare_fn compare;
    zel_dict_duplicate_fn duplicate;  // or null: the caller's key pointer is stored
    zel_dict_release_fn release;      // or null
    zel_dict_node_t **buckets;
} zel_dict_t;

typedef struct zel_dict_iter zel_dict_iter_t;

// A dictionary with string keys (duplicated on insertion); at least 32 buckets. Null without memory.
zel_dict_t *zel_dict_create(int capacity);
zel_dict_t *zel_dict_create_ex(int capacity, zel_dict_hash_fn hash, zel_dict_compare_fn compare,
                               zel_dict_duplicate_fn duplicate, zel_dict_release_fn release);
// Releases every key and node and the buckets (not the values); null is ignored.
void zel_dict_release(zel_dict_t *dict);

// Stores `value` under `key`: 0, -2 for a null dictionary, key or value, -3 when memory runs out.
// An existing key keeps its node; its previous value goes to *old (null for a new key; old may be null).
int zel_dict_set(zel_dict_t *dict, const void *key, void *value, void **old);
void *zel_dict_get(const zel_dict_t *dict, const void *key, void *default_value);
int zel_dict_is_key_exist(const zel_dict_t *dict, const void *key);
// Removes the key (released, node freed) and returns its value, or null when absent.
void *zel_dict_remove(zel_dict_t *dict, const void *key);
int zel_dict_get_size(const zel_dict_t *dict);      // -2 for null
int zel_dict_get_capacity(const zel_dict_t *dict);  // bucket count, -2 for null

// Iteration in bucket order; the dictionary must not change while an iterator walks it.
zel_dict_iter_t *zel_dict_get_iterator(const zel_dict_t *dict);
// 1 with the next pair set (either out pointer may be null), 0 at the end.
int zel_dict_iter_get_next(zel_dict_iter_t *it, const void **key, void **value);
void zel_dict_release_iterator(zel_dict_iter_t *it);

// Keys that point to a 32-bit integer.
uint32_t int32_hash(const void *key);
int int32_comparer(const void *stored, const void *key);
void *int32_duplicate(const void *key);
void int32_release(void *key);

// String keys: Jenkins one-at-a-time hash (0 bytes for null), a new NUL-ended copy (null for null or
// without memory), and its release.
uint32_t zel_string_hash(const char *s);
char *zel_clone_string(const char *s);
void zel_release_string(char *s);

#ifdef __cplusplus
}
#endif
