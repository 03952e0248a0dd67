// Progress reporter: sub-ranges of an overall 0..1 progress and rate-limited callbacks.
#include "zel_control/utils/zel_progress.h"

#include <math.h>
#include <stdlib.h>

#include "zel_control/container/zel_malloc.h"

extern "C" {

zel_progress *zel_progress_create(zel_progress_fn callback, void *user, float min_step)
{
    auto *p = static_cast<zel_progress *>(__zel_malloc0(sizeof(zel_progress)));
    if (!p)
        return nullptr;
    p->scale = 1.0f;
    p->min_step = min_step;
    p->callback = callback;
    p->user = user;
    return p;
}

void zel_progress_release(zel_progress *p)
{
    free(p);
}

void zel_progress_get_ctx(const zel_progress *p, zel_progress_range *range)
{
    if (!p || !range)
        return;
    range->base = p->base;
    range->scale = p->scale;
}

void zel_progress_set_ctx(zel_progress *p, const zel_progress_range *range, float from, float to)
{
    if (!p || !range)
        return;
    p->base = range->base + range->scale * from;
    p->scale = (to - from) * range->scale;
}

void zel_progress_report(zel_progress *p, float fraction)
{
    if (!p)
        return;
    const float value = p->base + p->scale * fraction;
    const bool edge = fabs(value) < 1e-15 || fabs(value - 1.0) < 1e-15;
    if (!edge && value - p->last < p->min_step)
        return;
    if (p->callback)
        p->callback(p->user, value);
    p->last = value;
}

} // extern "C"
