// The log call: filtering by the logger, formatting into a pooled record, and delivery to the
// appenders, at once (synchronous logger) or through the bounded queue (asynchronous logger).
#include "zel_control/log/zel_log_context.h"

namespace {

void write_to(zel_log_appender_t *appender, const zel_log_record_t *record)
{
    appender->write(appender, record->level, record->text, record->length);
}

void write_passing(const zel_array_t *list, const zel_log_record_t *record)
{
    const int count = zel_array_get_size(list);
    for (int i = 0; i < count; i++) {
        auto *appender = static_cast<zel_log_appender_t *>(zel_array_get(list, i));
        if (appender && appender->enabled && record->level <= appender->level)
            write_to(appender, record);
    }
}

} // namespace

// No lock of its own: the callers hold the context shared or the delivery lock, and the lists
// change only under zel_log_list_guard, which holds both off.
void zel_log_deliver(zel_log_context_t *ctx, zel_logger_t *logger, const zel_log_record_t *record)
{
    if (logger->all_appenders) {
        write_passing(ctx->appenders, record);
    } else if (zel_array_get_size(logger->appenders) == 0) {
        if (zel_log_appender_t *appender = ctx->default_appender)
            write_to(appender, record);
    } else {
        write_passing(logger->appenders, record);
    }
}

int zel_log_queue_output(zel_logger_t *logger, int level, const char *tag, const char *file, const char *func,
                         long line, const char *fmt, ...)
{
    zel_log_context_guard guard;
    zel_log_context_t *ctx = guard.ctx;
    if (!ctx)
        return -1;
    if (!logger)
        logger = ctx->default_logger;
    if (!logger || !logger->enabled || level > logger->level)
        return 0;

    zel_log_record_t *record = zel_log_record_request(ctx);
    if (!record)
        return -3;
    va_list args;
    va_start(args, fmt);
    zel_log_format_record(ctx, logger, record, level, tag, file, func, line, fmt, args);
    va_end(args);
    record->logger = logger;

    if (logger->async) {
        std::unique_lock<std::mutex> lock(ctx->lock);
        if (ctx->writer_running) {
            if (zel_array_get_size(ctx->queue) >= ctx->queue_limit) {
                // The writer is behind: write the older half here, after whatever it is writing now.
                std::lock_guard<std::mutex> delivery(ctx->delivery_lock);
                for (int i = 0; i < ctx->queue_limit / 2; i++) {
                    auto *old = static_cast<zel_log_record_t *>(zel_array_dequeue(ctx->queue));
                    zel_log_deliver(ctx, old->logger, old);
                    zel_log_record_recycle(ctx, old);
                }
            }
            if (zel_array_enqueue(ctx->queue, record) == 0) {
                // Woken once, and after the unlock, so that it does not run into the mutex held here.
                const bool wake = ctx->writer_state == zel_log_writer_state::sleeping ||
                                  (ctx->writer_state == zel_log_writer_state::looking_in &&
                                   zel_array_get_size(ctx->queue) > ctx->queue_limit / 2);
                if (wake)
                    ctx->writer_state = zel_log_writer_state::writing;
                lock.unlock();
                if (wake)
                    ctx->cond.notify_one();
                return 0;
            }
        }
        // No writer (not started or failed to start): the line is written here, in order with the queue.
        std::lock_guard<std::mutex> delivery(ctx->delivery_lock);
        zel_log_deliver(ctx, logger, record);
        zel_log_record_recycle(ctx, record);
        return 0;
    }
    zel_log_deliver(ctx, logger, record);
    zel_log_record_recycle(ctx, record);
    return 0;
}
