// The records behind the logging API, shared by the logging sources only: the process-wide context,
// a formatted line, a logger and an appender with its operations.
#pragma once

#include "zel_control/container/zel_array.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/log/zel_trash.h"

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <condition_variable>
#include <mutex>

// What the writer thread is doing, so that a caller wakes it only when it would otherwise not see a
// record soon: while it looks in on the queue every little while after its last batch, a caller
// wakes it only once the queue is more than half full; once it sleeps, the first caller wakes it.
enum class zel_log_writer_state { writing, looking_in, sleeping };

// The context mutex guards the queue, the writer flag and state and the logger list. The appender
// lists change only under zel_log_list_guard, so log calls and the writer read them without taking a
// lock.
struct zel_log_context_t {
    std::atomic<int> timezone_hours;
    char process_text[12];
    std::atomic<zel_logger_t *> default_logger;
    std::atomic<zel_log_appender_t *> default_appender;
    zel_array_t *loggers;
    zel_array_t *appenders;
    int queue_limit;
    zel_array_t *queue;
    std::mutex lock;
    std::condition_variable cond;
    unsigned writer_running;
    zel_log_writer_state writer_state;
    pthread_t writer;
    zel_trash_t *pool;
    std::atomic<unsigned> line_size;
    // Held while records are handed to appenders outside the context mutex by the writer, and by a
    // producer that writes part of a full queue itself, so queued lines keep their order; a change
    // of the appender lists takes it too. Taken after the context mutex, never the other way round.
    std::mutex delivery_lock;
};

struct zel_log_record_t {
    int level;
    zel_logger_t *logger;
    char *text;
    int size;
    int length;
};

// The settings are atomic: they may be changed while other threads log through the logger.
struct zel_logger {
    char *name;
    std::atomic<int> enabled;
    std::atomic<int> async;
    std::atomic<int> level;
    std::atomic<unsigned> format;
    std::atomic<int> all_appenders;
    zel_array_t *appenders;
};

typedef int (*zel_log_write_fn)(zel_log_appender_t *appender, int level, const char *text, int length);
typedef void (*zel_log_free_fn)(zel_log_appender_t *appender);

struct zel_log_appender {
    char name[32];
    std::atomic<int> enabled;
    std::atomic<int> level;
    std::atomic<int> auto_newline;
    void *priv;
    zel_log_write_fn write;
    zel_log_free_fn free;
};

// Maximum items of the logger and appender lists.
constexpr int ZEL_LOG_LIST_MAX = 32;

// An appender with the creators' defaults (auto newline on, disabled, threshold 0) and the given
// operations; null when memory runs out.
zel_log_appender_t *zel_log_appender_new(const char *name, void *priv, zel_log_write_fn write, zel_log_free_fn free);
void zel_log_appender_delete(zel_log_appender_t *appender);
// Whether that very appender (or logger) is in the list.
bool zel_log_list_contains(const zel_array_t *list, const void *item);
// Removes that very item from the list, the last item taking its place.
void zel_log_list_remove(zel_array_t *list, const void *item);

// A logger with the defaults (enabled, synchronous, threshold 5, mask 19, own list empty); null when
// memory runs out.
zel_logger_t *zel_log_logger_new(const char *name);
void zel_log_logger_delete(zel_logger_t *logger);

// The present context, made implicitly (stdout appender and logger "default") when there is none,
// and held against replacement until the guard ends. `ctx` is null only when memory ran out.
class zel_log_context_guard {
public:
    // `make` false: no implicit context; `ctx` is then null when none exists.
    explicit zel_log_context_guard(bool make = true);
    ~zel_log_context_guard();
    zel_log_context_guard(const zel_log_context_guard &) = delete;
    zel_log_context_guard &operator=(const zel_log_context_guard &) = delete;
    zel_log_context_t *ctx;
};

// The present context held exclusively, with the writer thread's delivery held off as well: the
// appender lists change only under it, so that no log call and no writer reads them meanwhile.
class zel_log_list_guard {
public:
    explicit zel_log_list_guard(bool make);
    ~zel_log_list_guard();
    zel_log_list_guard(const zel_log_list_guard &) = delete;
    zel_log_list_guard &operator=(const zel_log_list_guard &) = delete;
    zel_log_context_t *ctx;

private:
    std::unique_lock<std::mutex> delivery_;
};

// Formats one line into `record` for `logger` (time stamp, the parts its mask selects, message).
void zel_log_format_record(zel_log_context_t *ctx, zel_logger_t *logger, zel_log_record_t *record, int level,
                           const char *tag, const char *file, const char *func, long line, const char *fmt,
                           va_list args);

// Hands a record to the appenders of its logger.
void zel_log_deliver(zel_log_context_t *ctx, zel_logger_t *logger, const zel_log_record_t *record);
// Replaces the context by a new empty one (`empty`) or by none; the old one is stopped and freed.
// 0, or -3 when the new context cannot be made (the old one then stays).
int zel_log_context_replace(bool empty);

// A record from the pool with a buffer of the present line size; null when memory runs out.
zel_log_record_t *zel_log_record_request(zel_log_context_t *ctx);
// Returns a record to the pool (or frees it when the line size changed since it was made).
void zel_log_record_recycle(zel_log_context_t *ctx, zel_log_record_t *record);

// The writer thread of the asynchronous loggers. Start gives 0 or -9; stop hands on what is queued.
int zel_log_writer_start(zel_log_context_t *ctx);
void zel_log_writer_stop(zel_log_context_t *ctx);
