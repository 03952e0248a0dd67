// The shared frame ring: its producer and the C entry points of its clients.
#include "zel_sharebuf.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "zel_ring_client.h"
#include "zel_ring_lock.h"
#include "zelmar/zel_le.h"
#include "zel_sharemem.h"

using zel_ring::Client;
using zel_ring::Consumer;
using zel_ring::Kind;
using zel_ring::View;

struct zel_sharebuf {
    View view;
    zel_sharemem_t *mem = nullptr;
    int lock_type = 0;
    std::mutex local; // record locks do not exclude threads of this process
    std::atomic<unsigned> refusals{0};
};

struct zel_sharebuf_cli {
    Client client;
    zel_sharebuf_cli(const View &v, zel_sharemem_t *m) : client(v, m) {}
};

namespace {

zel_sharebuf_t *make_ring(const View &v, zel_sharemem_t *mem)
{
    auto *ring = new (std::nothrow) zel_sharebuf;
    if (!ring)
        return nullptr;
    ring->view = v;
    ring->mem = mem;
    return ring;
}

int producer_lock(zel_sharebuf_t *ring)
{
    if (ring->lock_type != 0)
        return zel_ring::record_lock(ring->mem->fd, true, zel_ring::kProducerWaitMs);
    return zel_ring::writer_lock(ring->view, zel_ring::kProducerWaitMs, "sharebuf svc: rwlock dead, restore it\n");
}

void producer_unlock(zel_sharebuf_t *ring)
{
    if (ring->lock_type != 0)
        zel_ring::record_unlock(ring->mem->fd);
    else
        zel_ring::mutex_unlock(ring->view.mutex());
}

zel_sharebuf_t *adopt(const char *name, int size)
{
    zel_sharemem_t *mem = zel_sharemem_open(name, size);
    if (!mem)
        return nullptr;
    auto *base = static_cast<uint8_t *>(mem->addr);
    View v;
    zel_ring::State s;
    if (memcmp(base, "SHAREBUF", 8) != 0) {
        fprintf(stderr, "sharebuf svc: open existing sharemem, ptr indicator incorrect\n");
    } else if (static_cast<int>(zel_get_le32(base + zel_ring::kTotal)) != size) {
        fprintf(stderr, "sharebuf svc: existing shm with unexpect size %d, expect=%d\n",
                static_cast<int>(zel_get_le32(base + zel_ring::kTotal)), size);
    } else if (!zel_ring::check_header(base, static_cast<size_t>(size), Kind::shared, &v) ||
               !zel_ring::read_state(v, &s) || !zel_ring::check_entries(v, s)) {
        fprintf(stderr, "sharebuf svc: existing shm with a damaged header, file=%s\n", name);
    } else if (zel_sharebuf_t *ring = make_ring(v, mem)) {
        return ring;
    }
    zel_sharemem_close(mem);
    return nullptr;
}

} // namespace

extern "C" zel_sharebuf_t *zel_sharebuf_create(void *block, int size, int capacity)
{
    View v;
    return zel_ring::create(block, size, capacity, Kind::shared, &v) ? make_ring(v, nullptr) : nullptr;
}

extern "C" zel_sharebuf_t *zel_sharebuf_create_ex(const char *name, int size, int capacity)
{
    std::string path = zel_sharemem_real_path(name);
    struct stat st;
    if (!path.empty() && lstat(path.c_str(), &st) == 0)
        return adopt(name, size);
    zel_sharemem_t *mem = zel_sharemem_create(name, size);
    if (!mem) {
        fprintf(stderr, "sharebuf svc: create mapping failed, file=%s\n", name ? name : "(null)");
        return nullptr;
    }
    zel_sharebuf_t *ring = zel_sharebuf_create(mem->addr, size, capacity);
    if (!ring) {
        fprintf(stderr, "sharebuf svc: create buffer failed, file=%s\n", name);
        zel_sharemem_destroy(mem);
        return nullptr;
    }
    ring->mem = mem;
    return ring;
}

extern "C" void zel_sharebuf_release(zel_sharebuf_t *ring)
{
    if (!ring)
        return;
    zel_sharemem_destroy(ring->mem);
    delete ring;
}

extern "C" int zel_sharebuf_set_lock_type(zel_sharebuf_t *ring, int type)
{
    if (!ring || (type != 0 && !ring->mem))
        return -1;
    ring->lock_type = type;
    return 0;
}

extern "C" int zel_sharebuf_enqueue(zel_sharebuf_t *ring, uint32_t frame_type, uint64_t time_ms, const void *header,
                                    uint32_t header_len, const void *payload, uint32_t payload_len)
{
    if (!ring || (header_len && !header) || (payload_len && !payload))
        return -22;
    uint64_t need = static_cast<uint64_t>(header_len) + payload_len;
    if (need > ring->view.data_size)
        return -22;
    std::lock_guard<std::mutex> g(ring->local);
    // The bytes are copied between two short holds of the lock, so readers copy out at the same time.
    if (producer_lock(ring) != 0) {
        ring->refusals++;
        return -11;
    }
    int64_t at = zel_ring::reserve(ring->view, static_cast<uint32_t>(need));
    producer_unlock(ring);
    if (at < 0)
        return -22;
    auto offset = static_cast<uint32_t>(at);
    zel_ring::copy_frame(ring->view, offset, header, header_len, payload, payload_len);
    if (producer_lock(ring) != 0) {
        ring->refusals++;
        return -11; // the room stays free; nothing held was harmed
    }
    zel_ring::commit(ring->view, offset, frame_type, 1, time_ms, header_len, payload_len);
    producer_unlock(ring);
    return 0;
}

extern "C" unsigned zel_sharebuf_lock_refusals(const zel_sharebuf_t *ring) { return ring ? ring->refusals.load() : 0; }

extern "C" void *zel_sharebuf_block(const zel_sharebuf_t *ring) { return ring ? ring->view.base : nullptr; }

extern "C" zel_sharebuf_cli_t *zel_sharebuf_cli_create(void *block)
{
    View v;
    if (!zel_ring::check_header(static_cast<uint8_t *>(block), SIZE_MAX, Kind::shared, &v)) {
        fprintf(stderr, "sharebuf cli: invalid ptr\n");
        return nullptr;
    }
    return new (std::nothrow) zel_sharebuf_cli(v, nullptr);
}

extern "C" zel_sharebuf_cli_t *zel_sharebuf_cli_create_ex(const char *name)
{
    uint32_t meta = zel_ring::header_size(Kind::shared);
    zel_sharemem_t *head = zel_sharemem_open(name, static_cast<int>(meta));
    if (!head) {
        fprintf(stderr, "sharebuf cli: open sharemem meta failed, share name=%s\n", name ? name : "(null)");
        return nullptr;
    }
    auto *base = static_cast<const uint8_t *>(head->addr);
    bool magic = memcmp(base, "SHAREBUF", 8) == 0;
    auto total = static_cast<int>(zel_get_le32(base + zel_ring::kTotal));
    zel_sharemem_close(head);
    if (!magic) {
        fprintf(stderr, "sharebuf cli: ptr indicator incorrect\n");
        return nullptr;
    }
    if (total <= 0) {
        fprintf(stderr, "sharebuf cli: invalid sharemem size(%d), share name=%s, \n", total, name);
        return nullptr;
    }
    zel_sharemem_t *mem = zel_sharemem_open(name, total);
    View v;
    if (!mem || !zel_ring::check_header(static_cast<uint8_t *>(mem->addr), static_cast<size_t>(total), Kind::shared,
                                        &v)) {
        fprintf(stderr, "sharebuf cli: map file ptr failed, share=%s, size=%d\n", name, total);
        zel_sharemem_close(mem);
        return nullptr;
    }
    auto *client = new (std::nothrow) zel_sharebuf_cli(v, mem);
    if (!client)
        zel_sharemem_close(mem);
    return client;
}

extern "C" int zel_sharebuf_cli_start(zel_sharebuf_cli_t *client) { return client ? client->client.start() : -1; }
extern "C" int zel_sharebuf_cli_stop(zel_sharebuf_cli_t *client) { return client ? client->client.stop() : -1; }
extern "C" void zel_sharebuf_cli_release(zel_sharebuf_cli_t *client) { delete client; }

namespace {

Consumer *new_consumer(zel_sharebuf_frame_cb callback, void *user)
{
    auto *c = new (std::nothrow) Consumer;
    if (c) {
        c->frame = callback;
        c->user = user;
    }
    return c;
}

int add_plain(zel_sharebuf_cli_t *client, Client::Start start, int64_t value, zel_sharebuf_frame_cb callback,
              void *user)
{
    Consumer *c = client && callback ? new_consumer(callback, user) : nullptr;
    return c ? client->client.add(c, start, value) : -1;
}

} // namespace

extern "C" int zel_sharebuf_cli_register(zel_sharebuf_cli_t *client, uint64_t time_ms, zel_sharebuf_frame_cb callback,
                                         void *user)
{
    return add_plain(client, Client::Start::time, static_cast<int64_t>(time_ms), callback, user);
}

extern "C" int zel_sharebuf_cli_register_relative(zel_sharebuf_cli_t *client, int seconds,
                                                  zel_sharebuf_frame_cb callback, void *user)
{
    return add_plain(client, Client::Start::relative, seconds < 0 ? 0 : seconds, callback, user);
}

extern "C" int zel_sharebuf_cli_register_cond(zel_sharebuf_cli_t *client, zel_sharebuf_cond_cb condition,
                                              void *cond_arg, zel_sharebuf_frame_cb callback, void *user, int once,
                                              zel_sharebuf_free_fn free_arg, int from_newest)
{
    Consumer *c = client && condition && callback ? new_consumer(callback, user) : nullptr;
    if (!c)
        return -1;
    c->condition = condition;
    c->cond_arg = cond_arg;
    c->free_arg = free_arg;
    c->once = once != 0;
    return client->client.add(c, from_newest ? Client::Start::newest : Client::Start::oldest, 0);
}

extern "C" int zel_sharebuf_cli_unregister(zel_sharebuf_cli_t *client, void *user)
{
    return client ? client->client.unregister(user, false) : -1;
}

extern "C" int zel_sharebuf_cli_unregister_sync(zel_sharebuf_cli_t *client, void *user)
{
    return client ? client->client.unregister(user, true) : -1;
}

extern "C" int zel_sharebuf_cli_set_interval(zel_sharebuf_cli_t *client, int ms)
{
    if (!client || ms < 0)
        return -1;
    client->client.set_interval_us(static_cast<uint32_t>(ms) * 1000u);
    return 0;
}

extern "C" int zel_sharebuf_cli_set_lock_type(zel_sharebuf_cli_t *client, int type)
{
    if (!client)
        return -1;
    client->client.set_lock_type(type);
    return 0;
}
