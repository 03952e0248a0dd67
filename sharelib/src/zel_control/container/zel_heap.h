// The binary heap of pointers: index 0 holds the item that compares greatest (compare(a, b) > 0 means
// a comes first). It doubles its capacity up to a maximum fixed at creation, then refuses with -21.
// Items are not owned. No locking: callers guard it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*zel_heap_compare_fn)(const void *a, const void *b);
// 0 when `item` matches `key`.
typedef int (*zel_heap_match_fn)(const void *item, const void *key);

typedef struct zel_heap {
    int size;
    int capacity;
    int maximum;
    zel_heap_compare_fn compare;
    void **items;
} zel_heap_t;

// Null for a null compare, initial < 1, maximum < initial, or without memory.
zel_heap_t *zel_heap_create(zel_heap_compare_fn compare, int initial, int maximum);
void zel_heap_release(zel_heap_t *heap);

// 0, -2 for null arguments, -21 when full, -3 when growing fails.
int zel_heap_insert(zel_heap_t *heap, void *item);
// The first item (removed by pop), or null when empty.
void *zel_heap_pop(zel_heap_t *heap);
void *zel_heap_peek(const zel_heap_t *heap);
// The first array index from `start` whose match(item, key) is 0; -1 when none; -2 for bad arguments.
int zel_heap_search(const zel_heap_t *heap, int start, zel_heap_match_fn match, const void *key);
// Removes and returns the item at an array index, or null when out of range.
void *zel_heap_remove(zel_heap_t *heap, int index);

int zel_heap_get_size(const zel_heap_t *heap);          // -2 for null
int zel_heap_get_capacity(const zel_heap_t *heap);      // -2 for null
int zel_heap_get_max_capacity(const zel_heap_t *heap);  // -2 for null

#ifdef __cplusplus
}
#endif
