// The stream appenders: stdout and stderr (optionally in colour) and the size-rotated file. Each
// write goes out under the appender's own mutex and is flushed, so no line waits in a buffer.
#include "zel_control/log/zel_log_context.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

const char *const s_level_output_color[] = {"\x1b[0;35m", "\x1b[0;32;31m", "\x1b[1;33m", "\x1b[0;32;32m", "\x1b[m"};
const int s_level_output_color_len[] = {7, 10, 7, 10, 3};
const char s_color_reset[] = "\x1b[m";
constexpr int COLOR_RESET_LEN = 3;
constexpr size_t ROTATED_NAME_MAX = 255;
// Each rotation walks every rotated name, so a huge file-count limit would stall logging for hours.
constexpr int ROTATED_FILES_MAX = 1024;

struct stream_ctx {
    std::mutex lock;
    FILE *stream = nullptr;
    char *file = nullptr; // null for stdout and stderr
    int color = 0;
    int limit = 0;
    // 64-bit even on the 32-bit target: a file near 2 GiB must not wrap the count and stop rotating.
    int64_t size = 0; // 0: never rotated
    int64_t written = 0;
    bool reported = false; // a failure of this appender has been told on stderr
};

void report_once(stream_ctx *ctx, const char *what, int err)
{
    if (ctx->reported)
        return;
    ctx->reported = true;
    std::fprintf(stderr, "zellog: %s %s failed: %s\n", what, ctx->file ? ctx->file : "stream", std::strerror(err));
}

// Removes or renames one rotated file; a missing one is normal.
void rotate_step(stream_ctx *ctx, const char *from, const char *to)
{
    const int rc = to ? std::rename(from, to) : std::remove(from);
    if (rc != 0 && errno != ENOENT)
        report_once(ctx, to ? "rename of" : "removal of", errno);
}

// FILE.(limit-1) goes, FILE.k becomes FILE.(k+1), FILE becomes FILE.1 (FILE.0 when the limit is 1).
void rotate(stream_ctx *ctx)
{
    if (ctx->stream && std::fclose(ctx->stream) != 0)
        report_once(ctx, "close of", errno);
    ctx->stream = nullptr;
    char from[ROTATED_NAME_MAX + 1], to[ROTATED_NAME_MAX + 1];
    std::snprintf(from, sizeof from, "%s.%d", ctx->file, ctx->limit - 1);
    rotate_step(ctx, from, nullptr);
    for (int k = ctx->limit - 2; k >= 1; k--) {
        std::snprintf(from, sizeof from, "%s.%d", ctx->file, k);
        std::snprintf(to, sizeof to, "%s.%d", ctx->file, k + 1);
        rotate_step(ctx, from, to);
    }
    std::snprintf(to, sizeof to, "%s.%d", ctx->file, ctx->limit > 1 ? 1 : 0);
    rotate_step(ctx, ctx->file, to);
    ctx->stream = std::fopen(ctx->file, "we");
    ctx->written = 0;
    if (!ctx->stream)
        report_once(ctx, "reopen of", errno);
}

int stream_write(zel_log_appender_t *appender, int level, const char *text, int length)
{
    auto *ctx = static_cast<stream_ctx *>(appender->priv);
    std::lock_guard<std::mutex> guard(ctx->lock);
    if (!ctx->stream) {
        // The file could not be opened again after a rotation: try once more for each line.
        ctx->stream = std::fopen(ctx->file, "ae");
        if (!ctx->stream)
            return 0;
        ctx->reported = false;
    }
    const bool color = ctx->color && level >= ZEL_LOG_ASSERT && level <= ZEL_LOG_DEBUG;
    size_t total = 0;
    if (color)
        total += std::fwrite(s_level_output_color[level], 1, s_level_output_color_len[level], ctx->stream);
    total += std::fwrite(text, 1, static_cast<size_t>(length), ctx->stream);
    if (appender->auto_newline)
        total += std::fwrite("\n", 1, 1, ctx->stream);
    if (color)
        total += std::fwrite(s_color_reset, 1, COLOR_RESET_LEN, ctx->stream);
    if (std::fflush(ctx->stream) != 0) {
        report_once(ctx, "write to", errno);
        std::clearerr(ctx->stream);
    }
    ctx->written += static_cast<int64_t>(total);
    if (ctx->size > 0 && ctx->written > ctx->size)
        rotate(ctx);
    return static_cast<int>(total);
}

void stream_free(zel_log_appender_t *appender)
{
    auto *ctx = static_cast<stream_ctx *>(appender->priv);
    if (!ctx)
        return;
    if (ctx->file) {
        if (ctx->stream && std::fclose(ctx->stream) != 0)
            report_once(ctx, "close of", errno);
        std::free(ctx->file);
    }
    delete ctx;
    appender->priv = nullptr;
}

zel_log_appender_t *std_stream_appender(const char *name, FILE *stream, int color)
{
    auto *ctx = new (std::nothrow) stream_ctx;
    if (!ctx)
        return nullptr;
    ctx->stream = stream;
    ctx->color = color;
    zel_log_appender_t *appender = zel_log_appender_new(name, ctx, stream_write, stream_free);
    if (!appender)
        delete ctx;
    return appender;
}

} // namespace

zel_log_appender_t *zel_log_create_stdout_appender(const char *name, int color)
{
    return std_stream_appender(name, stdout, color);
}

zel_log_appender_t *zel_log_create_stderr_appender(const char *name, int color)
{
    return std_stream_appender(name, stderr, color);
}

zel_log_appender_t *zel_log_create_file_appender(const char *name, const char *file, int limit, int size)
{
    // The rotated names "FILE.k" must fit their 255 characters.
    const int longest_rotated = file ? std::snprintf(nullptr, 0, "%s.%d", file, limit < 1 ? 1 : limit) : 0;
    if (!file || longest_rotated > static_cast<int>(ROTATED_NAME_MAX)) {
        std::fprintf(stderr, "faile to init file appender ctx, code=%d\n", -2);
        return nullptr;
    }
    int code = -3;
    zel_log_appender_t *appender = nullptr;
    auto *ctx = new (std::nothrow) stream_ctx;
    if (ctx && (ctx->file = strdup(file))) {
        code = -7;
        ctx->stream = std::fopen(file, "ae");
        if (ctx->stream && std::fseek(ctx->stream, 0, SEEK_END) == 0 && (ctx->written = ftello(ctx->stream)) >= 0) {
            ctx->limit = limit < 1 ? 1 : limit;
            if (limit > ROTATED_FILES_MAX) {
                std::fprintf(stderr, "zellog: file limit %d of %s above %d, %d taken\n", limit, file, ROTATED_FILES_MAX,
                             ROTATED_FILES_MAX);
                ctx->limit = ROTATED_FILES_MAX;
            }
            ctx->size = size < 1024 ? 1024 : size;
            code = -3;
            appender = zel_log_appender_new(name, ctx, stream_write, stream_free);
        }
    }
    if (!appender) {
        std::fprintf(stderr, "faile to init file appender ctx, code=%d\n", code);
        if (ctx) {
            if (ctx->stream)
                std::fclose(ctx->stream);
            std::free(ctx->file);
            delete ctx;
        }
    }
    return appender;
}
