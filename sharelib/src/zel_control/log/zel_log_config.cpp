// zel_log_init: a new logging context configured from an INI file, appenders first (sections with
// "type"), then loggers (sections with "appender").
#include "zel_control/ini/zel_ini.h"
#include "zel_control/log/zel_log_context.h"
#include "zel_control/utils/zel_str.h"
#include "zelmar/zel_path.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const s_logger_level_str[] = {"assert", "error", "warn", "info", "debug", "all"};
const char *const s_format_mask_key[] = {"level", "tag", "logger", "process", "thread", "file", "func", "line"};
const unsigned s_format_mask[] = {ZEL_LOG_FMT_LEVEL,  ZEL_LOG_FMT_TAG,  ZEL_LOG_FMT_LOGGER, ZEL_LOG_FMT_PROCESS,
                                  ZEL_LOG_FMT_THREAD, ZEL_LOG_FMT_FILE, ZEL_LOG_FMT_FUNC,   ZEL_LOG_FMT_LINE};

// The first level word found inside the text, else a number 0 to 4, else the default.
int read_level(const zel_ini_t *doc, const char *section, int default_level)
{
    const char *text = zel_ini_get_string(doc, section, "level", nullptr);
    if (!text)
        return default_level;
    for (int level = 0; level <= ZEL_LOG_ALL; level++)
        if (std::strstr(text, s_logger_level_str[level]))
            return level;
    char *end;
    const long number = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && number >= ZEL_LOG_ASSERT && number <= ZEL_LOG_DEBUG)
        return static_cast<int>(number);
    std::fprintf(stderr, "zellog: level \"%s\" of [%s] not understood, %s taken\n", text, section,
                 s_logger_level_str[default_level]);
    return default_level;
}

// An integer key raised to `least` (with a note) when below it.
int read_at_least(const zel_ini_t *doc, const char *section, const char *key, int default_value, int least)
{
    const int value = zel_ini_get_int(doc, section, key, default_value);
    if (value >= least)
        return value;
    std::fprintf(stderr, "zellog: %s %d of [%s] below %d, %d taken\n", key, value, section, least, least);
    return least;
}

// The bits of every format word found inside the text; no word at all gives 0 (time stamp only).
unsigned read_format(const zel_ini_t *doc, const char *section)
{
    const char *text = zel_ini_get_string(doc, section, "format", nullptr);
    if (!text)
        return ZEL_LOG_FMT_DEFAULT;
    unsigned mask = 0;
    for (size_t i = 0; i < sizeof s_format_mask / sizeof s_format_mask[0]; i++)
        if (std::strstr(text, s_format_mask_key[i]))
            mask |= s_format_mask[i];
    return mask;
}

zel_log_appender_t *create_appender(const zel_ini_t *doc, const char *section, const char *type)
{
    if (!strcasecmp(type, "stdout"))
        return zel_log_create_stdout_appender(section, zel_ini_get_bool(doc, section, "color", 1));
    if (!strcasecmp(type, "stderr"))
        return zel_log_create_stderr_appender(section, zel_ini_get_bool(doc, section, "color", 1));
    if (!strcasecmp(type, "file")) {
        const char *file = zel_ini_get_string(doc, section, "file", nullptr);
        if (!file) {
            std::fputs("zellog: invalid filename\n", stderr);
            return nullptr;
        }
        const int limit = read_at_least(doc, section, "limit", 3, 1);
        const int size = read_at_least(doc, section, "size", 1048576, 1024);
        return zel_log_create_file_appender(section, zel_path(file).c_str(), limit, size);
    }
    if (!strcasecmp(type, "syslog"))
        return zel_log_create_syslog_appender(section, zel_ini_get_bool(doc, section, "syslog_time", 1));
    if (!strcasecmp(type, "udp")) {
        const char *server = zel_ini_get_string(doc, section, "server", nullptr);
        if (!server) {
            std::fputs("zellog: no svr addr in udp appender\n", stderr);
            return nullptr;
        }
        const int port = zel_ini_get_int(doc, section, "port", 0);
        if (port == 0) {
            std::fputs("zellog: no svr port in udp appender\n", stderr);
            return nullptr;
        }
        return zel_log_create_udp_appender(section, server, port);
    }
    return nullptr;
}

void load_appenders(const zel_ini_t *doc)
{
    zel_ini_iterator_t *it = zel_ini_get_iterator(doc);
    const char *section;
    zel_ini_section_t *keys;
    while (it && zel_ini_get_next_section(it, &section, &keys)) {
        const char *type = zel_ini_get_string(doc, section, "type", nullptr);
        if (!type)
            continue;
        zel_log_appender_t *appender = create_appender(doc, section, type);
        if (!appender)
            continue;
        zel_log_appender_set_enable(appender, zel_ini_get_bool(doc, section, "enable", 1));
        zel_log_appender_set_level(appender, read_level(doc, section, ZEL_LOG_DEBUG));
        zel_log_appender_set_auto_newline(appender, zel_ini_get_bool(doc, section, "auto_newline", 1));
        if (zel_log_add_appender(appender) != 0) {
            zel_log_appender_delete(appender);
            continue;
        }
        if (zel_ini_get_bool(doc, section, "default", 0))
            zel_log_set_default_appender(appender);
    }
    zel_ini_iterator_release(it);
}

void attach_appenders(zel_logger_t *logger, const char *names)
{
    int count = 0;
    char **list = zel_str_split(names, ",", 1, &count);
    for (int i = 0; i < count; i++)
        if (zel_log_appender_t *appender = zel_log_get_appender_by_name(list[i]))
            zel_log_logger_add_appender(logger, appender);
    zel_str_array_release(list, count);
}

void load_loggers(const zel_ini_t *doc)
{
    zel_logger_t *first = nullptr;
    bool have_default = false;
    zel_ini_iterator_t *it = zel_ini_get_iterator(doc);
    const char *section;
    zel_ini_section_t *keys;
    while (it && zel_ini_get_next_section(it, &section, &keys)) {
        const char *appenders = zel_ini_get_string(doc, section, "appender", nullptr);
        if (!appenders)
            continue;
        zel_logger_t *logger = zel_log_get_logger(section);
        if (!logger)
            continue;
        zel_log_set_logger_enable(logger, zel_ini_get_bool(doc, section, "enable", 1));
        zel_log_set_logger_level(logger, read_level(doc, section, ZEL_LOG_DEBUG));
        zel_log_set_logger_format(logger, read_format(doc, section));
        if (!std::strcmp(appenders, "all"))
            logger->all_appenders = 1;
        else
            attach_appenders(logger, appenders);
        // Last, so the writer starts only once the logger is complete.
        zel_log_set_logger_async(logger, zel_ini_get_bool(doc, section, "async", 1));
        if (!first)
            first = logger;
        if (zel_ini_get_bool(doc, section, "default", 0)) {
            zel_log_set_default_logger(logger);
            have_default = true;
        }
    }
    zel_ini_iterator_release(it);
    if (!have_default)
        zel_log_set_default_logger(first);
}

} // namespace

int zel_log_init(const char *path)
{
    if (zel_log_context_replace(true) != 0)
        return -1;
    zel_ini_t *doc = path ? zel_ini_open(path) : nullptr;
    if (!doc) {
        std::fprintf(stderr, "zellog: failed to load cfg %s\n", path ? path : "(null)");
        return -1;
    }
    load_appenders(doc);
    load_loggers(doc);
    zel_ini_release(doc);
    return 0;
}
