// Zero-filled allocation shared by the deliverables.
#include "zel_control/container/zel_malloc.h"

#include <stdlib.h>

void *__zel_malloc0(size_t size)
{
    return calloc(1, size);
}

void __zel_free(void *p)
{
    free(p);
}
