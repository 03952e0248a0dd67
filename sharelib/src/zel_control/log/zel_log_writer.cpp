// The writer thread of the asynchronous loggers: it waits until records are queued and then hands
// every queued record, oldest first, to its logger's appenders.
#include "zel_control/log/zel_log_context.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// Serialises starting and stopping the writer.
std::mutex s_writer_control;

// Lines come in bursts, and waking a sleeping thread costs the caller several microseconds, far more
// than formatting a line. After a batch the writer therefore looks in on the queue every 200 us for
// 2 ms before it sleeps, so the callers of bursts that follow each other closely never wake it.
constexpr auto kLookInInterval = std::chrono::microseconds(200);
constexpr int kLookIns = 10;

// Waits under the context mutex until a record is queued or the writer stops.
void wait_for_records(zel_log_context_t *ctx, std::unique_lock<std::mutex> &lock)
{
    int look_ins = 0;
    while (ctx->writer_running && zel_array_get_size(ctx->queue) == 0) {
        if (look_ins < kLookIns) {
            ctx->writer_state = zel_log_writer_state::looking_in;
            ctx->cond.wait_for(lock, kLookInInterval);
            look_ins++;
        } else {
            ctx->writer_state = zel_log_writer_state::sleeping;
            ctx->cond.wait(lock);
        }
    }
    ctx->writer_state = zel_log_writer_state::writing;
}

void *writer_main(void *arg)
{
    auto *ctx = static_cast<zel_log_context_t *>(arg);
    std::array<zel_log_record_t *, 16> batch;
    std::unique_lock<std::mutex> lock(ctx->lock);
    for (;;) {
        wait_for_records(ctx, lock);
        size_t count = 0;
        while (count < batch.size()) {
            auto *record = static_cast<zel_log_record_t *>(zel_array_dequeue(ctx->queue));
            if (!record)
                break;
            batch[count++] = record;
        }
        if (count == 0)
            break; // stopped and nothing left
        // Taken before the context mutex is let go, so a producer that writes part of a full queue
        // itself waits until these older records are out.
        std::unique_lock<std::mutex> delivery(ctx->delivery_lock);
        lock.unlock();
        for (size_t i = 0; i < count; i++) {
            zel_log_deliver(ctx, batch[i]->logger, batch[i]);
            zel_log_record_recycle(ctx, batch[i]);
        }
        delivery.unlock();
        lock.lock();
    }
    return nullptr;
}

} // namespace

int zel_log_writer_start(zel_log_context_t *ctx)
{
    std::lock_guard<std::mutex> control(s_writer_control);
    // Made under the context mutex: the thread waits for it and then finds the flag set.
    std::lock_guard<std::mutex> lock(ctx->lock);
    if (ctx->writer_running)
        return 0;
    const int err = pthread_create(&ctx->writer, nullptr, writer_main, ctx);
    if (err != 0) {
        std::fprintf(stderr, "zellog: cannot start the log writer: %s\n", std::strerror(err));
        return -9;
    }
    ctx->writer_running = 1;
    return 0;
}

void zel_log_writer_stop(zel_log_context_t *ctx)
{
    std::lock_guard<std::mutex> control(s_writer_control);
    {
        std::lock_guard<std::mutex> lock(ctx->lock);
        if (!ctx->writer_running)
            return;
        ctx->writer_running = 0;
        ctx->cond.notify_one();
    }
    const int err = pthread_join(ctx->writer, nullptr);
    if (err != 0)
        std::fprintf(stderr, "zellog: cannot join the log writer: %s\n", std::strerror(err));
}
