// Fast JSON readers: one value picked out of a JSON text by plain text search from the key name.
#include "zel_control/ini/zel_fast_json.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/utils/zel_error.h"
#include "zel_control/utils/zel_parse.h"
#include "zel_control/utils/zel_str.h"

namespace {

constexpr const char *kQuotes = "'\"";
constexpr int kValueText = 256;
constexpr int kMaxStrings = 1024;

bool is_quote(char c)
{
    return c == '\'' || c == '"';
}

const char *find_key(const char *text, const char *key)
{
    return text && key && *key ? strstr(text, key) : nullptr;
}

// A string value: from the second quote after the key name (further quote characters skipped) to
// the next quote; null when there is none. The same quote right after the second is an empty value.
const char *string_value(const char *text, const char *key, size_t *len)
{
    const char *p = find_key(text, key);
    for (int quotes = 0; p && *p; ++p) {
        if (!is_quote(*p) || ++quotes < 2)
            continue;
        const char *start = p + 1;
        if (*start == *p) {
            *len = 0;
            return start;
        }
        while (is_quote(*start))
            ++start;
        *len = strcspn(start, kQuotes);
        return start;
    }
    return nullptr;
}

// The scalar text after the first ":" up to the next "," or "}", trimmed; false when absent.
bool scalar_value(const char *text, const char *key, char (&out)[kValueText])
{
    const char *cursor = find_key(text, key);
    if (!cursor || zel_str_read_token_between(&cursor, out, kValueText, ":", 1, 0, ",}", 2) <= 0)
        return false;
    zel_str_trim(out);
    return true;
}

// The text between the first "[" after the key and the next "]".
bool array_body(const char *text, const char *key, std::string &body)
{
    const char *p = find_key(text, key);
    const char *open = p ? strchr(p, '[') : nullptr;
    const char *close = open ? strchr(open + 1, ']') : nullptr;
    if (!close)
        return false;
    body.assign(open + 1, static_cast<size_t>(close - open - 1));
    return true;
}

// Numbers or booleans: the comma-separated pieces of the array, each converted.
template <typename T, typename Convert> T *number_array(const char *text, const char *key, int *count, Convert convert)
{
    if (count)
        *count = 0;
    std::string body;
    if (!count || !array_body(text, key, body))
        return nullptr;
    int n = 0;
    char **pieces = zel_str_split(body.c_str(), ",", 1, &n);
    T *values = pieces ? static_cast<T *>(__zel_malloc0(sizeof(T) * static_cast<size_t>(n))) : nullptr;
    if (values) {
        for (int i = 0; i < n; ++i)
            values[i] = convert(pieces[i]);
        *count = n;
    }
    zel_str_array_release(pieces, n);
    return values;
}

} // namespace

extern "C" {

int zel_fast_json_get_string(const char *text, const char *key, char *buffer, int size)
{
    if (!buffer || size < 1)
        return ZEL_EFAIL;
    buffer[0] = '\0';  // whatever the outcome, the caller reads a terminated text
    if (!text || !key)
        return ZEL_EFAIL;
    size_t len = 0;
    const char *start = string_value(text, key, &len);
    if (!start)
        return 0;
    if (len >= static_cast<size_t>(size))
        return ZEL_ESMALL;
    memcpy(buffer, start, len);
    buffer[len] = '\0';
    return static_cast<int>(len);
}

char *zel_fast_json_get_string_new(const char *text, const char *key)
{
    size_t len = 0;
    const char *start = string_value(text, key, &len);
    return start ? strndup(start, len) : nullptr;
}

int zel_fast_json_get_int(const char *text, const char *key, int default_value)
{
    char value[kValueText];
    return scalar_value(text, key, value) ? atoi(value) : default_value;
}

double zel_fast_json_get_double(const char *text, const char *key, double default_value)
{
    char value[kValueText];
    return scalar_value(text, key, value) ? atof(value) : default_value;
}

int zel_fast_json_get_bool(const char *text, const char *key, int default_value)
{
    char value[kValueText];
    return scalar_value(text, key, value) ? zel_parse_bool(value, default_value) : default_value;
}

char **zel_fast_json_get_string_array(const char *text, const char *key, int *count)
{
    if (count)
        *count = 0;
    std::string body;
    if (!count || !array_body(text, key, body))
        return nullptr;
    auto **items = static_cast<char **>(__zel_malloc0(sizeof(char *) * kMaxStrings));
    if (!items)
        return nullptr;
    int n = 0;
    const char *p = body.c_str();
    while (n < kMaxStrings) {
        const char *open = strpbrk(p, kQuotes);
        const char *close = open ? strpbrk(open + 1, kQuotes) : nullptr;
        if (!close)
            break;
        items[n] = strndup(open + 1, static_cast<size_t>(close - open - 1));
        if (!items[n])
            break;
        ++n;
        p = close + 1;
    }
    if (n == 0) {
        free(items);
        return nullptr;
    }
    *count = n;
    return items;
}

int *zel_fast_json_get_int_array(const char *text, const char *key, int *count)
{
    return number_array<int>(text, key, count, [](const char *s) { return atoi(s); });
}

double *zel_fast_json_get_double_array(const char *text, const char *key, int *count)
{
    return number_array<double>(text, key, count, [](const char *s) { return atof(s); });
}

int *zel_fast_json_get_bool_array(const char *text, const char *key, int *count)
{
    return number_array<int>(text, key, count, [](const char *s) { return zel_parse_bool(s, 0); });
}

} // extern "C"
