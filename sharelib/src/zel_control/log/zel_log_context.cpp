// The one process-wide logging context: making it (implicitly, with a stdout appender and the logger
// "default", or empty for the INI loader), replacing and freeing it, and the context-wide settings.
#include "zel_control/log/zel_log_context.h"

#include "zel_control/utils/zel_time.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// Guards the context pointer: log calls hold it shared; replacing or ending the context and changing
// its appender lists hold it exclusive. Writers go first, or threads that log without pause would
// keep an exclusive taker waiting for ever; no thread therefore takes it twice.
pthread_rwlock_t s_context_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
zel_log_context_t *s_context = nullptr;

constexpr unsigned DEFAULT_LINE_SIZE = 512;
constexpr int RECORD_POOL_SIZE = 32;

void *record_create()
{
    return new (std::nothrow) zel_log_record_t{};
}

void record_destroy(void *item)
{
    auto *record = static_cast<zel_log_record_t *>(item);
    std::free(record->text);
    delete record;
}

void context_free(zel_log_context_t *ctx)
{
    if (!ctx)
        return;
    zel_log_writer_stop(ctx);
    while (auto *record = static_cast<zel_log_record_t *>(zel_array_dequeue(ctx->queue)))
        record_destroy(record);
    while (auto *logger = static_cast<zel_logger_t *>(zel_array_pop(ctx->loggers)))
        zel_log_logger_delete(logger);
    while (auto *appender = static_cast<zel_log_appender_t *>(zel_array_pop(ctx->appenders)))
        zel_log_appender_delete(appender);
    zel_array_release(ctx->queue);
    zel_array_release(ctx->loggers);
    zel_array_release(ctx->appenders);
    zel_trash_release(ctx->pool);
    delete ctx;
}

zel_log_context_t *context_new()
{
    auto *ctx = new (std::nothrow) zel_log_context_t;
    if (!ctx)
        return nullptr;
    ctx->timezone_hours = zel_local_timezone();
    std::snprintf(ctx->process_text, sizeof ctx->process_text, "[p:%04d]", static_cast<int>(getpid()));
    ctx->default_logger = nullptr;
    ctx->default_appender = nullptr;
    ctx->loggers = zel_array_create(2, ZEL_LOG_LIST_MAX);
    ctx->appenders = zel_array_create(2, ZEL_LOG_LIST_MAX);
    ctx->queue_limit = 16;
    ctx->queue = zel_array_create(8, ctx->queue_limit);
    ctx->writer_running = 0;
    ctx->writer_state = zel_log_writer_state::writing;
    ctx->pool = zel_trash_create(record_create, record_destroy, nullptr, RECORD_POOL_SIZE);
    ctx->line_size = DEFAULT_LINE_SIZE;
    if (!ctx->loggers || !ctx->appenders || !ctx->queue || !ctx->pool) {
        std::fputs("zellog: out of memory for the log context\n", stderr);
        context_free(ctx);
        return nullptr;
    }
    return ctx;
}

// The context that log calls get before any configuration: lines of the default logger go to
// stdout in colour through the default-appender rule.
zel_log_context_t *implicit_context_new()
{
    zel_log_context_t *ctx = context_new();
    if (!ctx)
        return nullptr;
    zel_log_appender_t *appender = zel_log_create_stdout_appender("default", 1);
    zel_logger_t *logger = zel_log_logger_new("default");
    if (!appender || !logger || zel_array_enqueue(ctx->appenders, appender) != 0 ||
        zel_array_enqueue(ctx->loggers, logger) != 0) {
        zel_log_appender_delete(appender);
        zel_log_logger_delete(logger);
        context_free(ctx);
        return nullptr;
    }
    ctx->default_appender = appender;
    ctx->default_logger = logger;
    return ctx;
}

} // namespace

zel_log_context_guard::zel_log_context_guard(bool make)
{
    pthread_rwlock_rdlock(&s_context_lock);
    while (make && !s_context) {
        pthread_rwlock_unlock(&s_context_lock);
        pthread_rwlock_wrlock(&s_context_lock);
        if (!s_context)
            s_context = implicit_context_new();
        const bool made = s_context != nullptr;
        pthread_rwlock_unlock(&s_context_lock);
        pthread_rwlock_rdlock(&s_context_lock);
        if (!made)
            break;
    }
    ctx = s_context;
}

zel_log_context_guard::~zel_log_context_guard()
{
    pthread_rwlock_unlock(&s_context_lock);
}

zel_log_list_guard::zel_log_list_guard(bool make)
{
    pthread_rwlock_wrlock(&s_context_lock);
    if (make && !s_context)
        s_context = implicit_context_new();
    ctx = s_context;
    if (ctx)
        delivery_ = std::unique_lock<std::mutex>(ctx->delivery_lock);
}

zel_log_list_guard::~zel_log_list_guard()
{
    if (delivery_.owns_lock())
        delivery_.unlock();
    pthread_rwlock_unlock(&s_context_lock);
}

int zel_log_context_replace(bool empty)
{
    zel_log_context_t *fresh = nullptr;
    if (empty && !(fresh = context_new()))
        return -3;
    pthread_rwlock_wrlock(&s_context_lock);
    zel_log_context_t *old = s_context;
    s_context = fresh;
    pthread_rwlock_unlock(&s_context_lock);
    context_free(old);
    return 0;
}

void zel_log_record_recycle(zel_log_context_t *ctx, zel_log_record_t *record)
{
    if (static_cast<unsigned>(record->size) != ctx->line_size) {
        record_destroy(record);
        return;
    }
    zel_trash_recycle(ctx->pool, record);
}

zel_log_record_t *zel_log_record_request(zel_log_context_t *ctx)
{
    auto *record = static_cast<zel_log_record_t *>(zel_trash_request(ctx->pool));
    if (!record)
        return nullptr;
    const unsigned size = ctx->line_size;
    if (static_cast<unsigned>(record->size) != size) {
        std::free(record->text);
        record->text = static_cast<char *>(std::malloc(size));
        if (!record->text) {
            record_destroy(record);
            return nullptr;
        }
        record->size = static_cast<int>(size);
    }
    return record;
}

void zel_log_uninit(void)
{
    zel_log_context_replace(false);
}

void zel_log_set_line_size(unsigned size)
{
    // Room for at least one character of line and the byte formatting leaves free.
    if (size < 3 || size > 1u << 20) {
        std::fprintf(stderr, "zellog: line size %u refused\n", size);
        return;
    }
    zel_log_context_guard guard;
    if (!guard.ctx)
        return;
    guard.ctx->line_size = size;
    zel_trash_clear(guard.ctx->pool);
}

void zel_log_set_timezone(int hours)
{
    zel_log_context_guard guard;
    if (guard.ctx)
        guard.ctx->timezone_hours = hours;
}

zel_logger_t *zel_log_get_default_logger(void)
{
    zel_log_context_guard guard(false);
    return guard.ctx ? guard.ctx->default_logger.load() : nullptr;
}

void zel_log_set_default_logger(zel_logger_t *logger)
{
    zel_log_context_guard guard(false);
    if (guard.ctx)
        guard.ctx->default_logger = logger;
}

zel_log_appender_t *zel_log_get_default_appender(void)
{
    zel_log_context_guard guard(false);
    return guard.ctx ? guard.ctx->default_appender.load() : nullptr;
}

void zel_log_set_default_appender(zel_log_appender_t *appender)
{
    zel_log_context_guard guard(false);
    if (guard.ctx)
        guard.ctx->default_appender = appender;
}
