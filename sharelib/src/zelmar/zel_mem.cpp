// Aligned blocks (the allocator's own address kept in the word before the aligned one) and block copies.
#include "zelmar/zel_mem.h"

#include <errno.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t BLOCK = 64;
constexpr size_t READ_AHEAD = 192;
constexpr unsigned PLAIN_COPY_MAX = 126;

} // namespace

void *lumo_malloc(int size, int align)
{
    if (align <= 0 || (align & (align - 1)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (size <= 0)
        return nullptr;
    const size_t a = align < 8 ? 8 : static_cast<size_t>(align);
    void *raw = std::malloc(static_cast<size_t>(size) + a + sizeof(void *));
    if (!raw)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw) + sizeof(void *);
    void **aligned = reinterpret_cast<void **>((start + a - 1) & ~(uintptr_t)(a - 1));
    aligned[-1] = raw;
    return aligned;
}

void lumo_free(void *p)
{
    if (p)
        std::free(static_cast<void **>(p)[-1]);
}

int lumo_round(int a, int b)
{
    return (a + b - 1) & ~(b - 1);
}

void lumo_copy(void *dst, const void *src, int count)
{
    if (count <= 0)
        return;
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    const size_t n = static_cast<size_t>(count);
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK) {
        __builtin_prefetch(s + i + READ_AHEAD);
        std::memcpy(d + i, s + i, BLOCK);
    }
    std::memcpy(d + i, s + i, n - i);
}

void *mem_cpy_pld(void *dst, const void *src, unsigned len)
{
    if (len <= PLAIN_COPY_MAX) {
        std::memcpy(dst, src, len);
        return dst;
    }
    const uintptr_t s_addr = reinterpret_cast<uintptr_t>(src);
    const uintptr_t d_addr = reinterpret_cast<uintptr_t>(dst);
    auto *d = static_cast<unsigned char *>(dst) + ((s_addr - d_addr) & (BLOCK - 1));
    const auto *s = static_cast<const unsigned char *>(src);
    const size_t head = (BLOCK - (s_addr & (BLOCK - 1))) & (BLOCK - 1);
    std::memcpy(d, s, head);
    const size_t blocks = (len - head) / BLOCK * BLOCK;
    lumo_copy(d + head, s + head, static_cast<int>(blocks));
    std::memcpy(d + head + blocks, s + head + blocks, len - head - blocks);
    return d;
}
