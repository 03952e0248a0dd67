// The core library's logging: one call, zel_log_queue_output, with the default (null) logger, and
// the loggers and appenders configured from an INI file by zel_log_init.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_LOG_ASSERT = 0, ZEL_LOG_ERROR = 1, ZEL_LOG_WARN = 2, ZEL_LOG_INFO = 3, ZEL_LOG_DEBUG = 4, ZEL_LOG_ALL = 5 };

// Bits of a logger's format mask: what stands between the time stamp and the message.
enum {
    ZEL_LOG_FMT_LEVEL = 1,
    ZEL_LOG_FMT_TAG = 2,
    ZEL_LOG_FMT_LOGGER = 4,
    ZEL_LOG_FMT_PROCESS = 8,
    ZEL_LOG_FMT_THREAD = 16,
    ZEL_LOG_FMT_FILE = 32,
    ZEL_LOG_FMT_FUNC = 64,
    ZEL_LOG_FMT_LINE = 128,
    ZEL_LOG_FMT_DEFAULT = ZEL_LOG_FMT_LEVEL | ZEL_LOG_FMT_TAG | ZEL_LOG_FMT_THREAD,
};

typedef struct zel_logger zel_logger_t;
typedef struct zel_log_appender zel_log_appender_t;

int zel_log_queue_output(zel_logger_t *logger, int level, const char *tag, const char *file, const char *func,
                         long line, const char *fmt, ...) __attribute__((format(printf, 7, 8)));

// Replaces the logging context by one configured from the INI file at `path` (a real path): 0, or -1
// when the file cannot be read (the context then stays empty and nothing is logged).
int zel_log_init(const char *path);
// Stops the writer (handing on what is queued) and frees the whole context.
void zel_log_uninit(void);
// Line size in bytes (512 by default; a line keeps at most size - 2 characters).
void zel_log_set_line_size(unsigned size);
// Whole-hour offset added to the clock for the time stamp.
void zel_log_set_timezone(int hours);

// Loggers; every setter ignores a null logger.
zel_logger_t *zel_log_get_logger(const char *name);
void zel_log_set_logger_enable(zel_logger_t *logger, int enable);
void zel_log_set_logger_format(zel_logger_t *logger, unsigned format);
void zel_log_set_logger_level(zel_logger_t *logger, int level);
void zel_log_set_logger_async(zel_logger_t *logger, int async);
// 0, -2 for a null argument or no context, -21 when a list is full.
int zel_log_logger_add_appender(zel_logger_t *logger, zel_log_appender_t *appender);
void zel_log_logger_remove_appender(zel_logger_t *logger, zel_log_appender_t *appender);
void zel_log_logger_clear_appender(zel_logger_t *logger);
zel_logger_t *zel_log_get_default_logger(void);
void zel_log_set_default_logger(zel_logger_t *logger);
zel_log_appender_t *zel_log_get_default_appender(void);
void zel_log_set_default_appender(zel_log_appender_t *appender);

// Appenders; each creator gives null on failure (its reason printed on stderr). `file` is a real path;
// its file-count limit is taken between 1 and 1024.
zel_log_appender_t *zel_log_create_stdout_appender(const char *name, int color);
zel_log_appender_t *zel_log_create_stderr_appender(const char *name, int color);
zel_log_appender_t *zel_log_create_file_appender(const char *name, const char *file, int limit, int size);
zel_log_appender_t *zel_log_create_syslog_appender(const char *name, int syslog_time);
zel_log_appender_t *zel_log_create_udp_appender(const char *name, const char *server, int port);
zel_log_appender_t *zel_log_get_appender_by_name(const char *name);
// 0, -2 for a null argument or no context, -21 when the list is full.
int zel_log_add_appender(zel_log_appender_t *appender);
void zel_log_remove_appender(zel_log_appender_t *appender);
void zel_log_appender_set_enable(zel_log_appender_t *appender, int enable);
void zel_log_appender_set_level(zel_log_appender_t *appender, int level);
void zel_log_appender_set_auto_newline(zel_log_appender_t *appender, int auto_newline);

#ifdef __cplusplus
}
#endif

// The default logger with the caller's file, function and line.
#define ZEL_LOG(level, tag, ...) zel_log_queue_output(nullptr, (level), (tag), __FILE__, __func__, __LINE__, __VA_ARGS__)
#define ZEL_LOGA(tag, ...) ZEL_LOG(ZEL_LOG_ASSERT, tag, __VA_ARGS__)
#define ZEL_LOGE(tag, ...) ZEL_LOG(ZEL_LOG_ERROR, tag, __VA_ARGS__)
#define ZEL_LOGW(tag, ...) ZEL_LOG(ZEL_LOG_WARN, tag, __VA_ARGS__)
#define ZEL_LOGI(tag, ...) ZEL_LOG(ZEL_LOG_INFO, tag, __VA_ARGS__)
#define ZEL_LOGD(tag, ...) ZEL_LOG(ZEL_LOG_DEBUG, tag, __VA_ARGS__)
