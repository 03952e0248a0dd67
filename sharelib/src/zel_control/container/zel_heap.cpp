// The binary heap of pointers kept in one array: the greatest item (by the compare operation) at
// index 0, the array doubling up to its maximum.
#include "zel_control/container/zel_heap.h"

#include <stdlib.h>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/utils/zel_error.h"

namespace {

void sift_up(zel_heap_t *h, int i)
{
    void *item = h->items[i];
    while (i > 0) {
        const int parent = (i - 1) / 2;
        if (h->compare(h->items[parent], item) >= 0)
            break;
        h->items[i] = h->items[parent];
        i = parent;
    }
    h->items[i] = item;
}

void sift_down(zel_heap_t *h, int i)
{
    for (;;) {
        const int left = 2 * i + 1;
        const int right = left + 1;
        int chosen = -1;
        if (left < h->size && h->compare(h->items[left], h->items[i]) >= 1)
            chosen = left;
        if (right < h->size && h->compare(h->items[right], h->items[i]) >= 1 &&
            (chosen < 0 || h->compare(h->items[right], h->items[chosen]) > 0))
            chosen = right;
        if (chosen < 0)
            return;
        void *tmp = h->items[i];
        h->items[i] = h->items[chosen];
        h->items[chosen] = tmp;
        i = chosen;
    }
}

// Takes the item at index i out, moving the last item into its place.
void *take(zel_heap_t *h, int i)
{
    void *item = h->items[i];
    --h->size;
    if (i != h->size) {
        h->items[i] = h->items[h->size];
        if (i > 0 && h->compare(h->items[i], h->items[(i - 1) / 2]) > 0)
            sift_up(h, i);
        else
            sift_down(h, i);
    }
    h->items[h->size] = nullptr;
    return item;
}

} // namespace

extern "C" {

zel_heap_t *zel_heap_create(zel_heap_compare_fn compare, int initial, int maximum)
{
    if (!compare || initial < 1 || maximum < initial)
        return nullptr;
    auto *h = static_cast<zel_heap_t *>(__zel_malloc0(sizeof(zel_heap_t)));
    if (!h)
        return nullptr;
    h->items = static_cast<void **>(__zel_malloc0(sizeof(void *) * static_cast<size_t>(initial)));
    if (!h->items) {
        free(h);
        return nullptr;
    }
    h->capacity = initial;
    h->maximum = maximum;
    h->compare = compare;
    return h;
}

void zel_heap_release(zel_heap_t *heap)
{
    if (!heap)
        return;
    free(heap->items);
    free(heap);
}

int zel_heap_insert(zel_heap_t *heap, void *item)
{
    if (!heap || !item)
        return ZEL_EINVAL;
    if (heap->size == heap->capacity) {
        if (heap->size > heap->maximum / 2)
            return ZEL_EFULL;
        const int capacity = heap->capacity * 2;
        auto **items = static_cast<void **>(realloc(heap->items, sizeof(void *) * static_cast<size_t>(capacity)));
        if (!items)
            return ZEL_ENOMEM;
        heap->items = items;
        heap->capacity = capacity;
    }
    heap->items[heap->size++] = item;
    sift_up(heap, heap->size - 1);
    return ZEL_OK;
}

void *zel_heap_pop(zel_heap_t *heap)
{
    return heap && heap->size > 0 ? take(heap, 0) : nullptr;
}

void *zel_heap_peek(const zel_heap_t *heap)
{
    return heap && heap->size > 0 ? heap->items[0] : nullptr;
}

int zel_heap_search(const zel_heap_t *heap, int start, zel_heap_match_fn match, const void *key)
{
    if (!heap || !match || start < 0)
        return ZEL_EINVAL;
    for (int i = start; i < heap->size; ++i)
        if (match(heap->items[i], key) == 0)
            return i;
    return ZEL_EFAIL;
}

void *zel_heap_remove(zel_heap_t *heap, int index)
{
    return heap && index >= 0 && index < heap->size ? take(heap, index) : nullptr;
}

int zel_heap_get_size(const zel_heap_t *heap) { return heap ? heap->size : ZEL_EINVAL; }
int zel_heap_get_capacity(const zel_heap_t *heap) { return heap ? heap->capacity : ZEL_EINVAL; }
int zel_heap_get_max_capacity(const zel_heap_t *heap) { return heap ? heap->maximum : ZEL_EINVAL; }

} // extern "C"
