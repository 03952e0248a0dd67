// The pre-record buffer: a ring in the caller's memory for readers in the same process, which sleep
// on its condition until the sequence moves.
#include <stdio.h>

#include <new>

#include "zel_ring_client.h"
#include "zel_ring_lock.h"
#include "zel_sharebuf.h"
#include "zelmar/zel_le.h"

using zel_ring::Client;
using zel_ring::Consumer;
using zel_ring::Kind;
using zel_ring::View;

namespace {

pthread_mutex_t *ready_mutex(const View &v)
{
    return reinterpret_cast<pthread_mutex_t *>(v.base + zel_ring::ready_mutex_offset());
}

pthread_cond_t *ready_cond(const View &v)
{
    return reinterpret_cast<pthread_cond_t *>(v.base + zel_ring::cond_offset());
}

} // namespace

struct zel_prebuf {
    View view;
};

struct zel_prebuf_cli {
    Client client;
    explicit zel_prebuf_cli(const View &v) : client(v, nullptr) {}
};

namespace {

int lock_buffer(zel_prebuf_t *buffer)
{
    return zel_ring::writer_lock(buffer->view, zel_ring::kProducerWaitMs, "prebuf svc: rwlock dead, restore it\n");
}

void wake_readers(zel_prebuf_t *buffer)
{
    int got = zel_ring::mutex_lock(ready_mutex(buffer->view), -1, "prebuf svc: frame ready lock dead, restore it\n");
    pthread_cond_broadcast(ready_cond(buffer->view));
    if (got >= 0)
        zel_ring::mutex_unlock(ready_mutex(buffer->view));
}

int add(zel_prebuf_cli_t *client, int per_pass, Client::Start start, int64_t value, zel_prebuf_video_cb video,
        zel_prebuf_audio_cb audio, void *user)
{
    if (!client || (!video && !audio))
        return -1;
    auto *c = new (std::nothrow) Consumer;
    if (!c)
        return -1;
    c->video = video;
    c->audio = audio;
    c->user = user;
    c->per_pass = per_pass < 1 ? 1u : static_cast<uint32_t>(per_pass);
    return client->client.add(c, start, value);
}

} // namespace

extern "C" zel_prebuf_t *zel_prebuf_create(void *block, int size, int capacity)
{
    View v;
    if (!zel_ring::create(block, size, capacity, Kind::prerecord, &v) || zel_ring::mutex_init(ready_mutex(v)) != 0 ||
        zel_ring::cond_init(ready_cond(v)) != 0)
        return nullptr;
    auto *buffer = new (std::nothrow) zel_prebuf;
    if (buffer)
        buffer->view = v;
    return buffer;
}

extern "C" void zel_prebuf_release(zel_prebuf_t *buffer) { delete buffer; }

extern "C" int zel_prebuf_clean(zel_prebuf_t *buffer)
{
    if (!buffer || lock_buffer(buffer) != 0)
        return -1;
    zel_ring::clear(buffer->view, true);
    zel_ring::mutex_unlock(buffer->view.mutex());
    wake_readers(buffer);
    return 0;
}

extern "C" int zel_prebuf_enqueue(zel_prebuf_t *buffer, uint64_t time_ms, int media_kind, int frame_type,
                                  const void *header, uint32_t header_len, const void *payload, uint32_t payload_len)
{
    if (!buffer || (header_len && !header) || (payload_len && !payload))
        return -22;
    if (lock_buffer(buffer) != 0)
        return -11;
    int rc = zel_ring::put(buffer->view, static_cast<uint32_t>(frame_type), media_kind ? 1u : 0u, time_ms, header,
                           header_len, payload, payload_len);
    zel_ring::mutex_unlock(buffer->view.mutex());
    if (rc == 0)
        wake_readers(buffer);
    return rc;
}

extern "C" void *zel_prebuf_block(const zel_prebuf_t *buffer) { return buffer ? buffer->view.base : nullptr; }

extern "C" zel_prebuf_cli_t *zel_prebuf_cli_create(void *block)
{
    View v;
    if (!zel_ring::check_header(static_cast<uint8_t *>(block), SIZE_MAX, Kind::prerecord, &v)) {
        fprintf(stderr, "prebuf cli: invalid ptr\n");
        return nullptr;
    }
    auto *client = new (std::nothrow) zel_prebuf_cli(v);
    if (client)
        client->client.start();
    return client;
}

extern "C" void zel_prebuf_cli_release(zel_prebuf_cli_t *client) { delete client; }

extern "C" int zel_prebuf_cli_register(zel_prebuf_cli_t *client, int frames_per_pass, uint64_t time_ms,
                                       zel_prebuf_video_cb video, zel_prebuf_audio_cb audio, void *user)
{
    return add(client, frames_per_pass, Client::Start::time, static_cast<int64_t>(time_ms), video, audio, user);
}

extern "C" int zel_prebuf_cli_register_relative(zel_prebuf_cli_t *client, int frames_per_pass, int seconds,
                                                zel_prebuf_video_cb video, zel_prebuf_audio_cb audio, void *user)
{
    return add(client, frames_per_pass, Client::Start::relative, seconds < 0 ? 0 : seconds, video, audio, user);
}

extern "C" int zel_prebuf_cli_unregister(zel_prebuf_cli_t *client, void *user)
{
    return client ? client->client.unregister(user, false) : -1;
}
