// The ring array of pointers: one container that serves as list, queue and stack. It doubles its
// capacity while that stays within the maximum fixed at creation, then refuses with -21. No locking:
// callers guard it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_array {
    int size;          // items held
    int capacity;      // slots allocated
    int initial;       // capacity at creation (the "min capacity")
    int maximum;       // capacity never exceeds this
    int head;          // real index of item 0
    int tail;          // real index of the last item
    void **items;      // `capacity` slots; item i lives at (head + i) mod capacity
} zel_array_t;

// Item comparison for searches: 0 when `item` matches `key`.
typedef int (*zel_array_compare_fn)(const void *item, const void *key);

// A new empty array; null when initial < 1, maximum < initial or memory runs out.
zel_array_t *zel_array_create(int initial, int maximum);
// Frees the array (not the items); null is ignored.
void zel_array_release(zel_array_t *array);

// Sizes and indexes; -2 for a null array.
int zel_array_get_size(const zel_array_t *array);
int zel_array_get_capacity(const zel_array_t *array);
int zel_array_get_max_capacity(const zel_array_t *array);
int zel_array_get_min_capacity(const zel_array_t *array);
int zel_array_get_head_real_index(const zel_array_t *array);
int zel_array_get_tail_real_index(const zel_array_t *array);

// Item i (0 <= i < size), or null.
void *zel_array_get(const zel_array_t *array, int i);
// Replaces item i: 0, or -2 for a null array or i out of range.
int zel_array_update(zel_array_t *array, int i, void *item);

// The first index from `start` whose compare(item, key) is 0; -4 when none matches; -2 when start is
// outside 0 .. size - 1 (so an empty array gives -2) or compare is null.
int zel_array_search(const zel_array_t *array, int start, zel_array_compare_fn compare, const void *key);

// Removes item i and returns it (null when out of range): the following items move down one place.
void *zel_array_remove(zel_array_t *array, int i);
// Removes item i and returns it: the last item takes its place.
void *zel_array_fast_remove(zel_array_t *array, int i);
// Search from `start`, then remove the match that way; null when nothing matches.
void *zel_array_search_and_remove(zel_array_t *array, int start, zel_array_compare_fn compare, const void *key);
void *zel_array_fast_search_and_remove(zel_array_t *array, int start, zel_array_compare_fn compare,
                                       const void *key);

// Queue: append at the end (0, -2 for a null array, -21 when full, -3 when growing fails),
// take from the front (null when empty), look at the front.
int zel_array_enqueue(zel_array_t *array, void *item);
void *zel_array_dequeue(zel_array_t *array);
void *zel_array_peek_queue(const zel_array_t *array);

// Stack: push is enqueue; pop and peek work on the last item (null when empty).
int zel_array_push(zel_array_t *array, void *item);
void *zel_array_pop(zel_array_t *array);
void *zel_array_peek_stack(const zel_array_t *array);

// Real (slot) indexes: the slot of item i (-2 when out of range); the item in slot r when that slot is
// occupied, else null; the slot that follows occupied slot r in item order (-2 when the array holds
// fewer than 2 items, r is not occupied or r is the tail).
int zel_array_get_real_index(const zel_array_t *array, int i);
void *zel_array_get_value_by_real_index(const zel_array_t *array, int r);
int zel_array_get_next_real_index(const zel_array_t *array, int r);

#ifdef __cplusplus
}
#endif
