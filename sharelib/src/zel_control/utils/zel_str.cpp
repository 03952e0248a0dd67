// String helpers: cursor tokenising, splitting, trimming, formatted allocation and file reading.
#include "zel_control/utils/zel_str.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"

namespace {

constexpr const char *kTag = "COMMON_API";
constexpr int kNumberToken = 256;
constexpr int kMaxSplit = 1024;
constexpr int kNoMemory = -12;
constexpr size_t kReadPiece = 8192;
constexpr size_t kMaxPrintf = 1u << 20;

// A delimiter set: the first n characters of `set` (never the NUL).
struct Delims {
    const char *set;
    size_t n;
    Delims(const char *s, int count) : set(s), n(s && count > 0 ? strnlen(s, static_cast<size_t>(count)) : 0) {}
    bool has(char c) const { return n > 0 && c != '\0' && memchr(set, c, n) != nullptr; }
};

const char *skip_delims(const char *p, const Delims &d)
{
    while (d.has(*p))
        ++p;
    return p;
}

const char *token_end(const char *p, const Delims &d)
{
    while (*p && !d.has(*p))
        ++p;
    return p;
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Moves past the (skip + 1)-th start character; null when the text ends first (cursor at the end).
const char *after_start(const char **cursor, const char *starts, int n_starts, int skip)
{
    const Delims d(starts, n_starts);
    const char *p = *cursor;
    int seen = 0;
    for (; *p; ++p) {
        if (d.has(*p) && seen++ == skip)
            return p + 1;
    }
    *cursor = p;
    return nullptr;
}

// Leaves the cursor one character past a token that ended at p.
void step_past(const char **cursor, const char *p)
{
    *cursor = *p ? p + 1 : p;
}

} // namespace

extern "C" {

int zel_str_read_token(const char **cursor, char *out, int size, const char *delimiters, int n)
{
    if (!cursor || !*cursor || !**cursor)
        return ZEL_EFAIL;
    if (!out || size < 1)
        return ZEL_EINVAL;
    const Delims d(delimiters, n);
    const char *start = skip_delims(*cursor, d);
    if (!*start)
        return ZEL_ENOTFOUND;
    const char *end = token_end(start, d);
    const size_t len = static_cast<size_t>(end - start);
    if (len >= static_cast<size_t>(size))
        return ZEL_ESMALL;
    memcpy(out, start, len);
    out[len] = '\0';
    *cursor = end;
    return static_cast<int>(len);
}

char *zel_str_read_token_new(const char **cursor, const char *delimiters, int n)
{
    if (!cursor || !*cursor)
        return nullptr;
    const Delims d(delimiters, n);
    const char *start = skip_delims(*cursor, d);
    *cursor = start;
    if (!*start)
        return nullptr;
    const char *end = token_end(start, d);
    char *token = strndup(start, static_cast<size_t>(end - start));
    if (token)
        *cursor = end;
    return token;
}

int zel_str_get_line(const char **cursor, char *out, int size)
{
    return zel_str_read_token(cursor, out, size, "\n", 1);
}

int zel_str_read_int(const char **cursor, int *out, const char *delimiters, int n)
{
    char token[kNumberToken];
    if (!out || zel_str_read_token(cursor, token, sizeof token, delimiters, n) < 0)
        return 0;
    *out = atoi(token);
    return 1;
}

int zel_str_read_double(const char **cursor, double *out, const char *delimiters, int n)
{
    char token[kNumberToken];
    if (!out || zel_str_read_token(cursor, token, sizeof token, delimiters, n) < 0)
        return 0;
    *out = atof(token);
    return 1;
}

int zel_str_read_token_between(const char **cursor, char *out, int size, const char *starts, int n_starts,
                               int skip, const char *ends, int n_ends)
{
    if (!cursor || !*cursor)
        return ZEL_EFAIL;
    const char *p = after_start(cursor, starts, n_starts, skip);
    if (!p)
        return 0;
    const int rc = zel_str_read_token(&p, out, size, ends, n_ends);
    if (rc < 0)
        *cursor = p;
    else
        step_past(cursor, p);
    return rc;
}

char *zel_str_read_token_between_new(const char **cursor, const char *starts, int n_starts, int skip,
                                     const char *ends, int n_ends)
{
    if (!cursor || !*cursor)
        return nullptr;
    const char *p = after_start(cursor, starts, n_starts, skip);
    if (!p)
        return nullptr;
    char *token = zel_str_read_token_new(&p, ends, n_ends);
    if (token)
        step_past(cursor, p);
    else
        *cursor = p;
    return token;
}

int zel_str_read_int_between(const char **cursor, int *out, const char *starts, int n_starts, int skip,
                             const char *ends, int n_ends)
{
    char token[kNumberToken];
    if (!out || zel_str_read_token_between(cursor, token, sizeof token, starts, n_starts, skip, ends, n_ends) <= 0)
        return 0;
    *out = atoi(token);
    return 1;
}

int zel_str_read_double_between(const char **cursor, double *out, const char *starts, int n_starts, int skip,
                                const char *ends, int n_ends)
{
    char token[kNumberToken];
    if (!out || zel_str_read_token_between(cursor, token, sizeof token, starts, n_starts, skip, ends, n_ends) <= 0)
        return 0;
    *out = atof(token);
    return 1;
}

char **zel_str_split(const char *text, const char *delimiters, int n, int *count)
{
    if (count)
        *count = 0;
    if (!text || !count)
        return nullptr;
    auto **items = static_cast<char **>(__zel_malloc0(sizeof(char *) * kMaxSplit));
    if (!items)
        return nullptr;
    int found = 0;
    const char *cursor = text;
    while (found < kMaxSplit) {
        char *token = zel_str_read_token_new(&cursor, delimiters, n);
        if (!token)
            break;
        zel_str_trim(token);
        if (*token)
            items[found++] = token;
        else
            free(token);
    }
    if (found == 0) {
        free(items);
        return nullptr;
    }
    *count = found;
    return items;
}

void zel_str_array_release(char **array, int count)
{
    if (!array)
        return;
    for (int i = 0; i < count; ++i)
        free(array[i]);
    free(array);
}

const char *split_str_by_sep(const char *text, const char *separator, char *out, int size)
{
    if (!text || !separator || !*separator || !out || size < 1)
        return nullptr;
    const char *pos = strstr(text, separator);
    const size_t len = pos ? static_cast<size_t>(pos - text) : strlen(text);
    if ((!pos && len == 0) || len >= static_cast<size_t>(size))
        return nullptr;
    memcpy(out, text, len);
    return pos ? pos + strlen(separator) : text + len;
}

int parseStrBySeparator(const char *text, char *table, int width, int rows, char separator)
{
    if (!text || !*text || !table || width < 1 || rows < 1)
        return 0;
    int row = 0;
    const char *p = text;
    while (*p && row < rows) {
        const char *end = strchr(p, separator);
        if (!end)
            end = p + strlen(p);
        size_t len = static_cast<size_t>(end - p);
        if (len > static_cast<size_t>(width - 1))
            len = static_cast<size_t>(width - 1);
        char *cell = table + static_cast<size_t>(row) * static_cast<size_t>(width);
        memcpy(cell, p, len);
        cell[len] = '\0';
        ++row;
        p = *end ? end + 1 : end;
    }
    return row;
}

int zel_str_start_with(const char *text, const char *prefix)
{
    if (!text || !prefix)
        return 0;
    return strncmp(text, prefix, strlen(prefix)) == 0 ? 1 : 0;
}

char *zel_str_trim_start(char *s)
{
    if (!s)
        return s;
    const char *p = s;
    while (is_space(*p))
        ++p;
    if (p != s)
        memmove(s, p, strlen(p) + 1);
    return s;
}

char *zel_str_trim_end(char *s)
{
    if (!s)
        return s;
    size_t len = strlen(s);
    while (len > 1 && is_space(s[len - 1]))
        --len;
    s[len] = '\0';
    return s;
}

char *zel_str_trim(char *s)
{
    return zel_str_trim_start(zel_str_trim_end(s));
}

char *zel_strnrpl(char *buffer, char from, char to, int n)
{
    for (int i = 0; buffer && i < n && buffer[i]; ++i)
        if (buffer[i] == from)
            buffer[i] = to;
    return buffer;
}

int zel_str_printf(char **out, const char *format, ...)
{
    if (!out || !format)
        return ZEL_ESMALL;
    *out = nullptr;
    size_t size = 256;
    char *buffer = nullptr;
    for (;;) {
        char *grown = static_cast<char *>(realloc(buffer, size));
        if (!grown) {
            free(buffer);
            return kNoMemory;
        }
        buffer = grown;
        va_list args;
        va_start(args, format);
        const int len = vsnprintf(buffer, size, format, args);
        va_end(args);
        if (len >= 0 && static_cast<size_t>(len) < size) {
            char *exact = static_cast<char *>(realloc(buffer, static_cast<size_t>(len) + 1));
            *out = exact ? exact : buffer;
            return len;
        }
        size = len < 0 ? size * 2 : static_cast<size_t>(len) + 1;
        if (size > kMaxPrintf && len < 0) {
            free(buffer);
            return ZEL_EFAIL;
        }
    }
}

int zel_str_repeat(char **out, const char *text, int count)
{
    if (!out || !text || count < 0)
        return ZEL_ESMALL;
    *out = nullptr;
    const size_t len = strlen(text);
    if (len > 0 && static_cast<size_t>(count) > static_cast<size_t>(0x7fffffff) / len)
        return ZEL_ESMALL;
    const size_t total = len * static_cast<size_t>(count);
    char *buffer = static_cast<char *>(malloc(total + 1));
    if (!buffer)
        return kNoMemory;
    for (int i = 0; i < count; ++i)
        memcpy(buffer + len * static_cast<size_t>(i), text, len);
    buffer[total] = '\0';
    *out = buffer;
    return static_cast<int>(total);
}

int zel_read_all_text(const char *path, char *buffer, int size)
{
    if (!buffer || size <= 0 || !path)
        return ZEL_EINVAL;
    memset(buffer, 0, static_cast<size_t>(size));
    FILE *fp = fopen(path, "rt");
    if (!fp) {
        ZEL_LOGE(kTag, "open [%s] failed: %s", path, strerror(errno));
        return ZEL_EOPEN;
    }
    size_t total = 0;
    const size_t limit = static_cast<size_t>(size) - 1;
    while (total < limit) {
        const size_t want = limit - total < kReadPiece ? limit - total : kReadPiece;
        const size_t got = fread(buffer + total, 1, want, fp);
        total += got;
        if (got < want)
            break;
    }
    const bool failed = ferror(fp) != 0;
    fclose(fp);
    if (failed) {
        ZEL_LOGE(kTag, "read [%s] failed", path);
        return ZEL_EFAIL;
    }
    return static_cast<int>(total);
}

char *zel_read_all_text_new(const char *path, size_t *length)
{
    if (length)
        *length = 0;
    if (!path)
        return nullptr;
    FILE *fp = fopen(path, "rb");
    if (!fp) {
        ZEL_LOGE(kTag, "open [%s] failed: %s", path, strerror(errno));
        return nullptr;
    }
    size_t capacity = kReadPiece;
    size_t total = 0;
    char *buffer = static_cast<char *>(malloc(capacity + 1));
    while (buffer) {
        const size_t got = fread(buffer + total, 1, capacity - total, fp);
        total += got;
        if (total < capacity)
            break;
        char *grown = static_cast<char *>(realloc(buffer, capacity * 2 + 1));
        if (!grown) {
            free(buffer);
            buffer = nullptr;
            break;
        }
        buffer = grown;
        capacity *= 2;
    }
    const bool failed = !buffer || ferror(fp) != 0;
    fclose(fp);
    if (failed) {
        ZEL_LOGE(kTag, "read [%s] failed", path);
        free(buffer);
        return nullptr;
    }
    buffer[total] = '\0';
    if (length)
        *length = total;
    return buffer;
}

} // extern "C"
