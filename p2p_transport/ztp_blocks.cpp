#include "ztp_blocks.h"

#include <cstring>
#include <new>

namespace {

int signed_diff(uint16_t a, uint16_t b)
{
    int d = static_cast<int>(a) - static_cast<int>(b);
    if (d > ZTP_INDEX_RANGE / 2)
        d -= ZTP_INDEX_RANGE;
    else if (d < -ZTP_INDEX_RANGE / 2)
        d += ZTP_INDEX_RANGE;
    return d;
}

void unlink(ztp_block_list *l, ztp_block *b)
{
    (b->prev ? b->prev->next : l->head) = b->next;
    (b->next ? b->next->prev : l->tail) = b->prev;
    b->prev = b->next = nullptr;
    --l->count;
    l->bytes -= b->len;
}

} // namespace

int ztp_IndexCompare(uint16_t a, uint16_t b)
{
    const int d = signed_diff(a, b);
    return (d > 0) - (d < 0);
}

int ztp_IndexDistance(uint16_t a, uint16_t b)
{
    const int d = signed_diff(a, b);
    return d < 0 ? -d : d;
}

ztp_block *ztp_block_new(uint16_t index, const uint8_t *data, size_t len)
{
    if (len > ZTP_BLOCK_DATA_MAX)
        return nullptr;
    ztp_block *b = new (std::nothrow) ztp_block;
    if (b == nullptr)
        return nullptr;
    b->prev = b->next = nullptr;
    b->index = index;
    b->len = static_cast<uint16_t>(len);
    b->first_send_ms = 0;
    if (len > 0)
        std::memcpy(b->data, data, len);
    return b;
}

bool ztp_list_spans(const ztp_block_list *l, uint16_t index)
{
    return l->head == nullptr ||
           (signed_diff(index, l->head->index) <= ZTP_LIST_SPAN && signed_diff(l->tail->index, index) <= ZTP_LIST_SPAN);
}

int ztp_list_insert(ztp_block_list *l, ztp_block *b)
{
    if (!ztp_list_spans(l, b->index)) {
        delete b;
        return 1;
    }
    // The block goes after `at` (null: at the front).
    ztp_block *at;
    if (l->head == nullptr || ztp_IndexDistance(b->index, l->tail->index) <= ztp_IndexDistance(b->index, l->head->index)) {
        at = l->tail;
        while (at != nullptr && signed_diff(at->index, b->index) > 0)
            at = at->prev;
    } else {
        ztp_block *after = l->head;
        while (after != nullptr && signed_diff(after->index, b->index) < 0)
            after = after->next;
        at = after ? after->prev : l->tail;
    }
    if ((at && at->index == b->index) || (!at && l->head && l->head->index == b->index) ||
        (at && at->next && at->next->index == b->index)) {
        delete b;
        return 1;
    }
    b->prev = at;
    b->next = at ? at->next : l->head;
    (b->next ? b->next->prev : l->tail) = b;
    (at ? at->next : l->head) = b;
    ++l->count;
    l->bytes += b->len;
    return 0;
}

ztp_block *ztp_list_pop(ztp_block_list *l)
{
    ztp_block *b = l->head;
    if (b)
        unlink(l, b);
    return b;
}

ztp_block *ztp_list_take(ztp_block_list *l, uint16_t index)
{
    // Acknowledged blocks are mostly near the head.
    for (ztp_block *b = l->head; b != nullptr; b = b->next) {
        if (b->index == index) {
            unlink(l, b);
            return b;
        }
        if (signed_diff(b->index, index) > 0)
            return nullptr;
    }
    return nullptr;
}

void ztp_list_free(ztp_block_list *l)
{
    while (ztp_block *b = ztp_list_pop(l))
        delete b;
    *l = ztp_block_list{};
}
