// The streaming SDK's own log file: a level threshold and a file the P2P service may name; lines
// are "[date time.ms L] [file][line]message" with L one of V, D, I, W, E for levels 0-4.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void vasq_log_set_level(int level);
// Appends to `path` from now on; 0, or the errno of a file that cannot be opened for appending.
int vasq_log_set_path(const char *path);
// One line (trailing newlines dropped, at most 1023 characters); nothing below the threshold or
// without a file.
void vasq_log_print(int level, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif
