// Progress reporter: maps a fraction of a step onto the overall range and calls back when the value
// moved by at least the minimum step, or reached 0 or 1.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*zel_progress_fn)(void *user, float value);

typedef struct zel_progress_range {
    float base;
    float scale;
} zel_progress_range;

typedef struct zel_progress {
    float base;   // 0.0
    float scale;  // 1.0
    float last;   // last reported value, 0.0
    float min_step;
    zel_progress_fn callback;
    void *user;
} zel_progress;

// Null without memory.
zel_progress *zel_progress_create(zel_progress_fn callback, void *user, float min_step);
void zel_progress_release(zel_progress *p);
// Copies (base, scale).
void zel_progress_get_ctx(const zel_progress *p, zel_progress_range *range);
// Makes p the sub-range [from, to] of range.
void zel_progress_set_ctx(zel_progress *p, const zel_progress_range *range, float from, float to);
void zel_progress_report(zel_progress *p, float fraction);

#ifdef __cplusplus
}
#endif
