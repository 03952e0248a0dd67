// The pool of reusable items (`zel_trash`): freed items are kept on a stack, up to a capacity, and
// handed out again before new ones are made. Items must be at least pointer-sized: the pool links
// the free ones through their first word.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_trash zel_trash_t;

typedef void *(*zel_trash_create_fn)(void);
typedef void (*zel_trash_destroy_fn)(void *item);
typedef void (*zel_trash_reset_fn)(void *item);

// `reset` may be null; a negative capacity counts as 0. Null when memory runs out or `create` or
// `destroy` is missing.
zel_trash_t *zel_trash_create(zel_trash_create_fn create, zel_trash_destroy_fn destroy, zel_trash_reset_fn reset,
                              int capacity);
// Destroys the free items, then the pool.
void zel_trash_release(zel_trash_t *pool);
// A free item, or a newly created one (null when creation fails).
void *zel_trash_request(zel_trash_t *pool);
// Resets the item and keeps it while fewer than capacity items are free; destroys it otherwise.
void zel_trash_recycle(zel_trash_t *pool, void *item);
int zel_trash_get_size(zel_trash_t *pool);
void zel_trash_clear(zel_trash_t *pool);

#ifdef __cplusplus
}
#endif
