// The counting allocator: blocks and heap bytes held by the SDK, counted under one mutex. The byte
// count uses the size the heap records for each block, overhead included.
#include "common/utils/vexa_mem.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
int g_blocks = 0;
int g_bytes = 0;

void count_in(void *block)
{
    if (!block)
        return;
    const size_t size = malloc_usable_size(block);
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_blocks;
    g_bytes += static_cast<int>(size);
}

void count_out(void *block)
{
    if (!block)
        return;
    const size_t size = malloc_usable_size(block);
    std::lock_guard<std::mutex> guard(g_lock);
    --g_blocks;
    g_bytes -= static_cast<int>(size);
}

} // namespace

void *_vexa_malloc(int, int, size_t size)
{
    void *block = std::calloc(1, size);
    count_in(block);
    return block;
}

void *_vexa_calloc(int, int, size_t n, size_t size)
{
    void *block = std::calloc(n, size);
    count_in(block);
    return block;
}

void *_vexa_realloc(int, int, void *block, size_t size)
{
    if (block && size == 0) {
        _vexa_free(0, 0, block);
        return nullptr;
    }
    const size_t old_size = block ? malloc_usable_size(block) : 0;
    void *grown = std::realloc(block, size);
    if (!grown)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_lock);
    if (block) {
        --g_blocks;
        g_bytes -= static_cast<int>(old_size);
    }
    ++g_blocks;
    g_bytes += static_cast<int>(malloc_usable_size(grown));
    return grown;
}

void _vexa_free(int, int, void *block)
{
    if (!block)
        return;
    count_out(block);
    std::free(block);
}

char *_vexa_strdup(int, int, const char *text)
{
    if (!text)
        return nullptr;
    const size_t len = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(std::malloc(len));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text, len);
    count_in(copy);
    return copy;
}

int vexa_heap_info_get(int *blocks, int *bytes)
{
    if (!blocks || !bytes)
        return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    *blocks = g_blocks;
    *bytes = g_bytes;
    return 0;
}

void vexa_mem_dump(void) {}
