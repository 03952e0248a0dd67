// The SDK tree's logger: "[level][time][module][file:line]" lines to the console and to a
// memory-mapped log file whose oldest lines are dropped when it is full.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_LOG_DEBUG = 0, KO_LOG_INFO = 1, KO_LOG_WARN = 2, KO_LOG_ERROR = 3, KO_LOG_FATAL = 4 };

void ko_log(int level, const char *file, const char *module, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

#ifdef __cplusplus
}
#endif

#define KO_LOG(level, module, ...) ko_log((level), __FILE__, (module), __func__, __LINE__, __VA_ARGS__)
#define KO_LOGD(module, ...) KO_LOG(KO_LOG_DEBUG, module, __VA_ARGS__)
#define KO_LOGI(module, ...) KO_LOG(KO_LOG_INFO, module, __VA_ARGS__)
#define KO_LOGW(module, ...) KO_LOG(KO_LOG_WARN, module, __VA_ARGS__)
#define KO_LOGE(module, ...) KO_LOG(KO_LOG_ERROR, module, __VA_ARGS__)
