// The ring array of pointers: list, queue and stack over one circular slot array that doubles up to
// its maximum. These functions do not log: the logger itself is built on them.
#include "zel_control/container/zel_array.h"

#include <stdlib.h>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/utils/zel_error.h"

namespace {

// head < capacity and i < capacity, so one subtraction wraps it (no division on the queue path).
int slot_of(const zel_array_t *a, int i)
{
    const int slot = a->head + i;
    return slot >= a->capacity ? slot - a->capacity : slot;
}

int next_slot(const zel_array_t *a, int r)
{
    return r + 1 == a->capacity ? 0 : r + 1;
}

bool in_range(const zel_array_t *a, int i)
{
    return a && i >= 0 && i < a->size;
}

// Doubles the capacity, copying the items in order to the front (head 0, tail size - 1).
int grow(zel_array_t *a)
{
    if (a->capacity > a->maximum / 2)
        return ZEL_EFULL;
    const int capacity = a->capacity * 2;
    auto **items = static_cast<void **>(__zel_malloc0(sizeof(void *) * static_cast<size_t>(capacity)));
    if (!items)
        return ZEL_ENOMEM;
    for (int i = 0; i < a->size; ++i)
        items[i] = a->items[slot_of(a, i)];
    free(a->items);
    a->items = items;
    a->capacity = capacity;
    a->head = 0;
    a->tail = a->size - 1;
    return ZEL_OK;
}

// Moves the tail back one slot after an item left the end.
void drop_tail(zel_array_t *a)
{
    a->items[a->tail] = nullptr;
    a->tail = a->tail == 0 ? a->capacity - 1 : a->tail - 1;
    if (--a->size == 0)
        a->head = a->tail = 0;
}

// Position (0 .. size - 1) of an occupied slot, or -1.
int position_of_slot(const zel_array_t *a, int r)
{
    if (!a || a->size == 0 || r < 0 || r >= a->capacity)
        return -1;
    const int pos = (r - a->head + a->capacity) % a->capacity;
    return pos < a->size ? pos : -1;
}

} // namespace

extern "C" {

zel_array_t *zel_array_create(int initial, int maximum)
{
    if (initial < 1 || maximum < initial)
        return nullptr;
    auto *a = static_cast<zel_array_t *>(__zel_malloc0(sizeof(zel_array_t)));
    if (!a)
        return nullptr;
    a->items = static_cast<void **>(__zel_malloc0(sizeof(void *) * static_cast<size_t>(initial)));
    if (!a->items) {
        free(a);
        return nullptr;
    }
    a->capacity = a->initial = initial;
    a->maximum = maximum;
    return a;
}

void zel_array_release(zel_array_t *array)
{
    if (!array)
        return;
    free(array->items);
    free(array);
}

int zel_array_get_size(const zel_array_t *array) { return array ? array->size : ZEL_EINVAL; }
int zel_array_get_capacity(const zel_array_t *array) { return array ? array->capacity : ZEL_EINVAL; }
int zel_array_get_max_capacity(const zel_array_t *array) { return array ? array->maximum : ZEL_EINVAL; }
int zel_array_get_min_capacity(const zel_array_t *array) { return array ? array->initial : ZEL_EINVAL; }
int zel_array_get_head_real_index(const zel_array_t *array) { return array ? array->head : ZEL_EINVAL; }
int zel_array_get_tail_real_index(const zel_array_t *array) { return array ? array->tail : ZEL_EINVAL; }

void *zel_array_get(const zel_array_t *array, int i)
{
    return in_range(array, i) ? array->items[slot_of(array, i)] : nullptr;
}

int zel_array_update(zel_array_t *array, int i, void *item)
{
    if (!in_range(array, i))
        return ZEL_EINVAL;
    array->items[slot_of(array, i)] = item;
    return ZEL_OK;
}

int zel_array_search(const zel_array_t *array, int start, zel_array_compare_fn compare, const void *key)
{
    if (!in_range(array, start) || !compare)
        return ZEL_EINVAL;
    for (int i = start; i < array->size; ++i)
        if (compare(array->items[slot_of(array, i)], key) == 0)
            return i;
    return ZEL_ENOTFOUND;
}

void *zel_array_remove(zel_array_t *array, int i)
{
    if (!in_range(array, i))
        return nullptr;
    void *item = array->items[slot_of(array, i)];
    for (int k = i; k + 1 < array->size; ++k)
        array->items[slot_of(array, k)] = array->items[slot_of(array, k + 1)];
    drop_tail(array);
    return item;
}

void *zel_array_fast_remove(zel_array_t *array, int i)
{
    if (!in_range(array, i))
        return nullptr;
    const int slot = slot_of(array, i);
    void *item = array->items[slot];
    array->items[slot] = array->items[array->tail];
    drop_tail(array);
    return item;
}

void *zel_array_search_and_remove(zel_array_t *array, int start, zel_array_compare_fn compare, const void *key)
{
    const int i = zel_array_search(array, start, compare, key);
    return i < 0 ? nullptr : zel_array_remove(array, i);
}

void *zel_array_fast_search_and_remove(zel_array_t *array, int start, zel_array_compare_fn compare,
                                       const void *key)
{
    const int i = zel_array_search(array, start, compare, key);
    return i < 0 ? nullptr : zel_array_fast_remove(array, i);
}

int zel_array_enqueue(zel_array_t *array, void *item)
{
    if (!array)
        return ZEL_EINVAL;
    if (array->size == 0) {
        array->head = array->tail = 0;
    } else {
        if (array->size == array->capacity) {
            const int rc = grow(array);
            if (rc != ZEL_OK)
                return rc;
        }
        array->tail = next_slot(array, array->tail);
    }
    array->items[array->tail] = item;
    ++array->size;
    return ZEL_OK;
}

void *zel_array_dequeue(zel_array_t *array)
{
    if (!array || array->size == 0)
        return nullptr;
    void *item = array->items[array->head];
    array->items[array->head] = nullptr;
    array->head = next_slot(array, array->head);
    if (--array->size == 0)
        array->head = array->tail = 0;
    return item;
}

void *zel_array_peek_queue(const zel_array_t *array)
{
    return array && array->size > 0 ? array->items[array->head] : nullptr;
}

int zel_array_push(zel_array_t *array, void *item)
{
    return zel_array_enqueue(array, item);
}

void *zel_array_pop(zel_array_t *array)
{
    if (!array || array->size == 0)
        return nullptr;
    void *item = array->items[array->tail];
    drop_tail(array);
    return item;
}

void *zel_array_peek_stack(const zel_array_t *array)
{
    return array && array->size > 0 ? array->items[array->tail] : nullptr;
}

int zel_array_get_real_index(const zel_array_t *array, int i)
{
    return in_range(array, i) ? slot_of(array, i) : ZEL_EINVAL;
}

void *zel_array_get_value_by_real_index(const zel_array_t *array, int r)
{
    return position_of_slot(array, r) < 0 ? nullptr : array->items[r];
}

int zel_array_get_next_real_index(const zel_array_t *array, int r)
{
    if (!array || array->size < 2)
        return ZEL_EINVAL;
    const int pos = position_of_slot(array, r);
    if (pos < 0 || pos + 1 >= array->size)
        return ZEL_EINVAL;
    return slot_of(array, pos + 1);
}

} // extern "C"
