// The allocator table behind vasq_malloc, vasq_realloc and vasq_free.
#include "vasq_mem.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace {

struct Allocators {
    vasq_alloc_fn alloc;
    vasq_realloc_fn realloc_fn;
    vasq_free_fn free_fn;
};

// Replaced as a whole, so that a block is never freed by another table's free.
std::atomic<const Allocators *> g_table{nullptr};
const Allocators kPlatform{malloc, realloc, free};

const Allocators &table()
{
    const Allocators *t = g_table.load(std::memory_order_acquire);
    return t ? *t : kPlatform;
}

} // namespace

void vasq_set_allocators(vasq_alloc_fn alloc, vasq_realloc_fn realloc_fn, vasq_free_fn free_fn)
{
    static Allocators custom; // one replacement at a time; the caller sets it before the SDK allocates
    custom = {alloc ? alloc : malloc, realloc_fn ? realloc_fn : realloc, free_fn ? free_fn : free};
    g_table.store(alloc || realloc_fn || free_fn ? &custom : nullptr, std::memory_order_release);
}

void *vasq_malloc(size_t size)
{
    void *p = table().alloc(size);
    if (p)
        memset(p, 0, size);
    return p;
}

void *vasq_realloc(void *block, size_t old_size, size_t size)
{
    auto *p = static_cast<unsigned char *>(table().realloc_fn(block, size));
    if (p && size > old_size)
        memset(p + old_size, 0, size - old_size);
    return p;
}

void vasq_free(void *block)
{
    if (block)
        table().free_fn(block);
}

int vasq_keep_copy(char **copy, const char *value)
{
    if (*copy && strcmp(*copy, value) == 0)
        return 0;
    const size_t n = strlen(value) + 1;
    auto *fresh = static_cast<char *>(vasq_malloc(n));
    if (!fresh)
        return -1;
    memcpy(fresh, value, n);
    vasq_free(*copy);
    *copy = fresh;
    return 0;
}
