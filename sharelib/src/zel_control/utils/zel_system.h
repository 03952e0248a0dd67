// Shell commands, process tuning through /proc (under the path root), command-line lookups, table
// sizes and random delays.
#pragma once

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

// Runs a shell command. With `out` null its output is read and dropped; otherwise its lines are
// appended to `out` while they fit in size - 1 bytes (the first line that does not fit is cut to the
// room left, logged as too small, and reading stops); out is always NUL-ended. Returns the status of
// pclose, or -7 when the command cannot be started.
int run_cmd(const char *command, char *out, int size);
// Reads a command's output into `buffer` until its end or size - 1 bytes, without a NUL: the bytes
// read, -2 for bad arguments, -7 when the command cannot be started.
int exec(const char *command, char *buffer, int size);

// st_size of the file at `path` (a real path), or -1 when it is not readable.
long long zel_get_file_size(const char *path);

// Write `text` (no newline) to "/proc/sys/vm/drop_caches" / "/proc/self/oom_score_adj": 0, or -1
// for a null text, a file that cannot be opened or a failed write.
int zel_api_change_drop_caches(const char *text);
int zel_api_change_oom_score(const char *text);

// Raises SIGUSR1 in this process.
void zel_api_exit_by_user(void);
pthread_t zel_get_current_thread_id(void);

// The argument after the first argument equal to `name` (among the first argc - 1), converted; else
// the default. is_args_exist: 1 when an argument equals name.
const char *get_args_string(int argc, char **argv, const char *name, const char *default_value);
int get_args_int(int argc, char **argv, const char *name, int default_value);
long get_args_long(int argc, char **argv, const char *name, long default_value);
double get_args_double(int argc, char **argv, const char *name, double default_value);
int is_args_exist(int argc, char **argv, const char *name);

// The smallest power of two >= n; 1 for n <= 1; 0x7fffffff when it would not fit.
int calc_table_size(int n);

// low + rand() mod (high - low), seeded from the clock once per process; low when high <= low.
int zel_rand_range(int low, int high);
// Sleeps a random number of milliseconds in [low_ms, high_ms).
void zel_random_sleep(int low_ms, int high_ms);

#ifdef __cplusplus
}
#endif
