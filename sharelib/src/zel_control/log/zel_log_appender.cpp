// Appender records and the context's global appender list: making and freeing an appender, lookup
// by name, adding and removing, and its three settings.
#include "zel_control/log/zel_log_context.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

int same_item(const void *item, const void *key)
{
    return item == key ? 0 : 1;
}

int appender_has_name(const void *item, const void *key)
{
    return std::strcmp(static_cast<const zel_log_appender_t *>(item)->name, static_cast<const char *>(key));
}

} // namespace

zel_log_appender_t *zel_log_appender_new(const char *name, void *priv, zel_log_write_fn write, zel_log_free_fn free)
{
    auto *appender = new (std::nothrow) zel_log_appender_t{};
    if (!appender)
        return nullptr;
    std::snprintf(appender->name, sizeof appender->name, "%s", name ? name : "");
    appender->auto_newline = 1;
    appender->priv = priv;
    appender->write = write;
    appender->free = free;
    return appender;
}

void zel_log_appender_delete(zel_log_appender_t *appender)
{
    if (!appender)
        return;
    if (appender->free)
        appender->free(appender);
    delete appender;
}

bool zel_log_list_contains(const zel_array_t *list, const void *item)
{
    return zel_array_search(list, 0, same_item, item) >= 0;
}

void zel_log_list_remove(zel_array_t *list, const void *item)
{
    zel_array_fast_search_and_remove(list, 0, same_item, item);
}

zel_log_appender_t *zel_log_get_appender_by_name(const char *name)
{
    if (!name)
        return nullptr;
    zel_log_context_guard guard(false);
    if (!guard.ctx)
        return nullptr;
    const int found = zel_array_search(guard.ctx->appenders, 0, appender_has_name, name);
    return found >= 0 ? static_cast<zel_log_appender_t *>(zel_array_get(guard.ctx->appenders, found)) : nullptr;
}

int zel_log_add_appender(zel_log_appender_t *appender)
{
    if (!appender)
        return -2;
    zel_log_list_guard guard(true);
    if (!guard.ctx)
        return -2;
    // The context frees what its list holds: the same appender twice would be freed twice.
    if (zel_log_list_contains(guard.ctx->appenders, appender))
        return 0;
    if (zel_array_enqueue(guard.ctx->appenders, appender) != 0) {
        std::fprintf(stderr, "zellog: appender list full, %s not added\n", appender->name);
        return -21;
    }
    return 0;
}

void zel_log_remove_appender(zel_log_appender_t *appender)
{
    if (!appender)
        return;
    zel_log_list_guard guard(false);
    if (guard.ctx)
        zel_log_list_remove(guard.ctx->appenders, appender);
}

void zel_log_appender_set_enable(zel_log_appender_t *appender, int enable)
{
    if (appender)
        appender->enabled = enable;
}

void zel_log_appender_set_level(zel_log_appender_t *appender, int level)
{
    if (appender)
        appender->level = level;
}

void zel_log_appender_set_auto_newline(zel_log_appender_t *appender, int auto_newline)
{
    if (appender)
        appender->auto_newline = auto_newline;
}
