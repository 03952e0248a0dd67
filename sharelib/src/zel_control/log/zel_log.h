// The core library's logging: one call, zel_log_queue_output, with the default (null) logger, and
// the loggers and appenders configured from an INI file by zel_log_init.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_LOG_ASSERT = 0, ZEL_LOG_ERROR = 1, ZEL_LOG_WARN = 2, ZEL_LOG_INFO = 3, ZEL_LOG_DEBUG = 4, ZEL_LOG_ALL = 5 };

typedef struct zel_logger zel_logger_t;

int zel_log_queue_output(zel_logger_t *logger, int level, const char *tag, const char *file, const char *func,
                         long line, const char *fmt, ...) __attribute__((format(printf, 7, 8)));

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
