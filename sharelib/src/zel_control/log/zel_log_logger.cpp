// Named loggers: lookup and creation in the context's logger list, their settings, and the
// appenders each one writes to.
#include "zel_control/log/zel_log_context.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

int logger_has_name(const void *item, const void *key)
{
    return std::strcmp(static_cast<const zel_logger_t *>(item)->name, static_cast<const char *>(key));
}

} // namespace

zel_logger_t *zel_log_logger_new(const char *name)
{
    auto *logger = new (std::nothrow) zel_logger_t{};
    if (!logger)
        return nullptr;
    logger->name = strdup(name ? name : "");
    logger->appenders = zel_array_create(2, ZEL_LOG_LIST_MAX);
    if (!logger->name || !logger->appenders) {
        zel_log_logger_delete(logger);
        return nullptr;
    }
    logger->enabled = 1;
    logger->async = 0;
    logger->level = ZEL_LOG_ALL;
    logger->format = ZEL_LOG_FMT_DEFAULT;
    logger->all_appenders = 0;
    return logger;
}

void zel_log_logger_delete(zel_logger_t *logger)
{
    if (!logger)
        return;
    free(logger->name);
    zel_array_release(logger->appenders);
    delete logger;
}

zel_logger_t *zel_log_get_logger(const char *name)
{
    if (!name)
        return nullptr;
    zel_log_context_guard guard;
    zel_log_context_t *ctx = guard.ctx;
    if (!ctx)
        return nullptr;
    std::lock_guard<std::mutex> lock(ctx->lock);
    const int found = zel_array_search(ctx->loggers, 0, logger_has_name, name);
    if (found >= 0)
        return static_cast<zel_logger_t *>(zel_array_get(ctx->loggers, found));
    zel_logger_t *logger = zel_log_logger_new(name);
    if (!logger) {
        std::fprintf(stderr, "zellog: no memory for logger %s\n", name);
        return nullptr;
    }
    if (zel_array_enqueue(ctx->loggers, logger) != 0) {
        std::fprintf(stderr, "zellog: logger list full, %s not made\n", name);
        zel_log_logger_delete(logger);
        return nullptr;
    }
    return logger;
}

void zel_log_set_logger_enable(zel_logger_t *logger, int enable)
{
    if (logger)
        logger->enabled = enable;
}

void zel_log_set_logger_format(zel_logger_t *logger, unsigned format)
{
    if (logger)
        logger->format = format;
}

void zel_log_set_logger_level(zel_logger_t *logger, int level)
{
    if (logger)
        logger->level = level;
}

void zel_log_set_logger_async(zel_logger_t *logger, int async)
{
    if (!logger)
        return;
    zel_log_context_guard guard;
    zel_log_context_t *ctx = guard.ctx;
    if (!ctx)
        return;
    bool any_async = false;
    {
        std::lock_guard<std::mutex> lock(ctx->lock);
        logger->async = async;
        for (int i = 0; i < zel_array_get_size(ctx->loggers) && !any_async; i++)
            any_async = static_cast<zel_logger_t *>(zel_array_get(ctx->loggers, i))->async != 0;
    }
    if (async)
        zel_log_writer_start(ctx);
    else if (!any_async)
        zel_log_writer_stop(ctx);
}

int zel_log_logger_add_appender(zel_logger_t *logger, zel_log_appender_t *appender)
{
    if (!logger || !appender)
        return -2;
    zel_log_list_guard guard(true);
    zel_log_context_t *ctx = guard.ctx;
    if (!ctx)
        return -2;
    if (!zel_log_list_contains(ctx->appenders, appender) && zel_array_enqueue(ctx->appenders, appender) != 0) {
        std::fprintf(stderr, "zellog: appender list full, %s not added\n", appender->name);
        return -21;
    }
    if (!zel_log_list_contains(logger->appenders, appender) && zel_array_enqueue(logger->appenders, appender) != 0) {
        std::fprintf(stderr, "zellog: appender list of %s full, %s not added\n", logger->name, appender->name);
        return -21;
    }
    return 0;
}

void zel_log_logger_remove_appender(zel_logger_t *logger, zel_log_appender_t *appender)
{
    if (!logger || !appender)
        return;
    zel_log_list_guard guard(false);
    if (guard.ctx)
        zel_log_list_remove(logger->appenders, appender);
}

void zel_log_logger_clear_appender(zel_logger_t *logger)
{
    if (!logger)
        return;
    zel_log_list_guard guard(false);
    if (!guard.ctx)
        return;
    while (zel_array_pop(logger->appenders))
        ;
}
