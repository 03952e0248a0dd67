// The session send ring.
#include "vasq_ring.h"

#include <pthread.h>
#include <string.h>

#include "vasq_errors.h"
#include "vasq_mem.h"

struct ring_node {
    ring_node *next;
    uint32_t length; // payload bytes; the header is always VASQ_RING_HEADER
};

struct vasq_ring {
    size_t size;
    size_t used;
    uint8_t *buffer;
    size_t read_pos;
    size_t write_pos;
    ring_node *head; // oldest frame
    ring_node *tail;
    ring_node *free_nodes;
    int count; // read without the mutex: atomic access only
    pthread_mutex_t lock;
};

namespace {

struct Locked {
    explicit Locked(vasq_ring *r) : ring(r) { pthread_mutex_lock(&ring->lock); }
    ~Locked() { pthread_mutex_unlock(&ring->lock); }
    vasq_ring *ring;
};

// Copies into the buffer at *pos, continuing at its start when the end is reached.
void copy_in(vasq_ring *r, size_t *pos, const void *src, size_t n)
{
    const size_t first = n < r->size - *pos ? n : r->size - *pos;
    memcpy(r->buffer + *pos, src, first);
    memcpy(r->buffer, static_cast<const uint8_t *>(src) + first, n - first);
    *pos = (*pos + n) % r->size;
}

void copy_out(vasq_ring *r, size_t *pos, void *dst, size_t n)
{
    const size_t first = n < r->size - *pos ? n : r->size - *pos;
    memcpy(dst, r->buffer + *pos, first);
    memcpy(static_cast<uint8_t *>(dst) + first, r->buffer, n - first);
    *pos = (*pos + n) % r->size;
}

void free_list(ring_node *n)
{
    while (n) {
        ring_node *next = n->next;
        vasq_free(n);
        n = next;
    }
}

} // namespace

vasq_ring *ring_buf_new(int size)
{
    if (size <= 0)
        return nullptr;
    auto *r = static_cast<vasq_ring *>(vasq_malloc(sizeof(vasq_ring)));
    if (!r)
        return nullptr;
    r->buffer = static_cast<uint8_t *>(vasq_malloc(static_cast<size_t>(size)));
    if (!r->buffer) {
        vasq_free(r);
        return nullptr;
    }
    r->size = static_cast<size_t>(size);
    pthread_mutex_init(&r->lock, nullptr);
    return r;
}

void ring_buf_free(vasq_ring *ring)
{
    if (!ring)
        return;
    pthread_mutex_lock(&ring->lock);
    free_list(ring->head);
    free_list(ring->free_nodes);
    vasq_free(ring->buffer);
    pthread_mutex_unlock(&ring->lock);
    pthread_mutex_destroy(&ring->lock);
    vasq_free(ring);
}

void ring_buf_reset(vasq_ring *ring)
{
    if (!ring)
        return;
    Locked g(ring);
    memset(ring->buffer, 0, ring->size);
    ring->read_pos = ring->write_pos = ring->used = 0;
    if (ring->tail) {
        ring->tail->next = ring->free_nodes;
        ring->free_nodes = ring->head;
    }
    ring->head = ring->tail = nullptr;
    __atomic_store_n(&ring->count, 0, __ATOMIC_RELEASE);
}

int ring_buf_put_frame(vasq_ring *ring, const vasq_frame_info *header, const void *payload)
{
    if (!ring || !header || !payload)
        return VASQ_ERR_INVALID_ARG;
    const uint64_t need = static_cast<uint64_t>(header->length) + VASQ_RING_HEADER;
    Locked g(ring);
    if (ring->size - ring->used < need)
        return VASQ_ERR_NO_BUFFER;
    ring_node *node = ring->free_nodes;
    if (node) {
        ring->free_nodes = node->next;
    } else {
        node = static_cast<ring_node *>(vasq_malloc(sizeof(ring_node)));
        if (!node)
            return VASQ_ERR_NOT_ENOUGH_MEMORY;
    }
    node->length = header->length;
    node->next = nullptr;
    if (ring->tail)
        ring->tail->next = node;
    else
        ring->head = node;
    ring->tail = node;
    copy_in(ring, &ring->write_pos, header, VASQ_RING_HEADER);
    copy_in(ring, &ring->write_pos, payload, header->length);
    ring->used += static_cast<size_t>(need);
    __atomic_add_fetch(&ring->count, 1, __ATOMIC_RELEASE);
    return 0;
}

int ring_buf_get_frame(vasq_ring *ring, vasq_frame_info *header, void *payload, size_t capacity)
{
    if (!ring || !header || !payload)
        return VASQ_ERR_INVALID_ARG;
    Locked g(ring);
    ring_node *node = ring->head;
    if (!node || ring->used < node->length + static_cast<size_t>(VASQ_RING_HEADER))
        return VASQ_ERR_NO_BUFFER;
    if (node->length > capacity)
        return VASQ_ERR_INVALID_ARG;
    ring->head = node->next;
    if (!ring->head)
        ring->tail = nullptr;
    node->next = ring->free_nodes;
    ring->free_nodes = node;
    copy_out(ring, &ring->read_pos, header, VASQ_RING_HEADER);
    copy_out(ring, &ring->read_pos, payload, node->length);
    ring->used -= node->length + static_cast<size_t>(VASQ_RING_HEADER);
    __atomic_sub_fetch(&ring->count, 1, __ATOMIC_RELEASE);
    return 0;
}

int ring_buf_data_len(vasq_ring *ring)
{
    if (!ring)
        return 0;
    Locked g(ring);
    return static_cast<int>(ring->used);
}

int ring_buf_free_len(vasq_ring *ring)
{
    if (!ring)
        return 0;
    Locked g(ring);
    return static_cast<int>(ring->size - ring->used);
}

int ring_buf_frame_count(vasq_ring *ring)
{
    return ring ? __atomic_load_n(&ring->count, __ATOMIC_ACQUIRE) : 0;
}

int ring_buf_size(vasq_ring *ring)
{
    return ring ? static_cast<int>(ring->size) : 0;
}
