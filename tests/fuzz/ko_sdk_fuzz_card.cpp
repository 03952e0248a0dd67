// The storage hooks for the fuzz targets of the card's files: a card in place, writable, with the
// space it reports taken by nothing. Apart from the shared fuzz hooks, since the client library's
// targets bring the real ones.
#include <cstdint>

#include "common/ko_porting_hooks.h"

extern "C" int ko_storage_get_status(void)
{
    return 0;
}

extern "C" int ko_storage_get_capacity(uint64_t *total, uint64_t *used, uint64_t *free_bytes)
{
    if (!total || !used || !free_bytes)
        return -1;
    *total = *free_bytes = 8ull << 30;
    *used = 0;
    return 0;
}

extern "C" int ko_storage_get_hw_info(char *)
{
    return 0;
}
