// The SDK tree's logger: "[level][time][module][file:line]" lines to the console and to a
// memory-mapped log file whose oldest lines are dropped when it is full.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_LOG_DEBUG = 0, KO_LOG_INFO = 1, KO_LOG_WARN = 2, KO_LOG_ERROR = 3, KO_LOG_FATAL = 4 };

// Output mask bits of ko_log_param.output.
enum { KO_LOG_OUT_CONSOLE = 1u << 0, KO_LOG_OUT_FILE = 1u << 1 };

// The smallest log file window accepted when the file output is on.
enum { KO_LOG_FILE_MIN_SIZE = 8192 };

typedef struct ko_log_param {
    uint32_t level;      // lowest level written, 0 to 4
    uint32_t output;     // KO_LOG_OUT_* mask
    char file_path[128]; // device path of the log file
    uint32_t file_size;  // window size in bytes, at least KO_LOG_FILE_MIN_SIZE with the file output
} ko_log_param;

void ko_log(int level, const char *file, const char *module, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

int ko_log_init(const ko_log_param *param);
int ko_log_deinit(void);
int ko_log_param_set(const ko_log_param *param);
int ko_log_param_get(ko_log_param *out);
// 1 when the file output is on and the window is nearly full since the last safety backup, else 0.
int ko_log_file_status_get(void);
// Writes the window's text to `path` (a device path) and restarts the nearly-full count; 0 or -1.
int ko_log_file_safety_backup(const char *path);

#ifdef __cplusplus
}
#endif

#define KO_LOG(level, module, ...) ko_log((level), __FILE__, (module), __func__, __LINE__, __VA_ARGS__)
#define KO_LOGD(module, ...) KO_LOG(KO_LOG_DEBUG, module, __VA_ARGS__)
#define KO_LOGI(module, ...) KO_LOG(KO_LOG_INFO, module, __VA_ARGS__)
#define KO_LOGW(module, ...) KO_LOG(KO_LOG_WARN, module, __VA_ARGS__)
#define KO_LOGE(module, ...) KO_LOG(KO_LOG_ERROR, module, __VA_ARGS__)
#define KO_LOGF(module, ...) KO_LOG(KO_LOG_FATAL, module, __VA_ARGS__)
