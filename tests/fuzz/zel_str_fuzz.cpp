// Feeds a text to the cursor tokenisers, the splitters, the trimming and the number and boolean
// parsers; the first byte picks the delimiter set and the buffer sizes.
#include "zel_control/utils/zel_parse.h"
#include "zel_control/utils/zel_str.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *const kDelims[] = {",", " \t", "\n", ":=", ",}", "", "\0x"};

void check_cursor(const std::string &text, const char *cursor)
{
    if (cursor < text.c_str() || cursor > text.c_str() + strlen(text.c_str()))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return -1;
    const uint8_t pick = data[0];
    const char *delims = kDelims[pick % 7];
    const int n = static_cast<int>(strlen(delims)) + (pick & 8 ? 1 : 0);
    const int room = 1 + (pick >> 4) * 4;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    char out[64];
    const char *cursor = text.c_str();
    for (int rc = 0; rc >= 0;) {
        rc = zel_str_read_token(&cursor, out, room, delims, n);
        check_cursor(text, cursor);
        if (rc >= room || (rc >= 0 && strlen(out) != static_cast<size_t>(rc)))
            abort();
    }
    cursor = text.c_str();
    while (char *token = zel_str_read_token_new(&cursor, delims, n)) {
        check_cursor(text, cursor);
        free(token);
    }
    cursor = text.c_str();
    int value = 0;
    double real = 0;
    while (zel_str_read_int(&cursor, &value, delims, n) || zel_str_read_double(&cursor, &real, delims, n))
        check_cursor(text, cursor);
    cursor = text.c_str();
    for (int i = 0; i < 64 && *cursor; ++i) {
        const char *before = cursor;
        zel_str_read_token_between(&cursor, out, room, ":", 1, i % 3, delims, n);
        check_cursor(text, cursor);
        zel_str_read_int_between(&cursor, &value, "[", 1, 0, "]", 1);
        free(zel_str_read_token_between_new(&cursor, "\"", 1, 1, delims, n));
        check_cursor(text, cursor);
        if (cursor == before)
            break;
    }

    int count = 0;
    char **parts = zel_str_split(text.c_str(), delims, n, &count);
    for (int i = 0; i < count; ++i)
        if (!parts[i][0])
            abort();
    zel_str_array_release(parts, count);

    std::memset(out, 0, sizeof out);
    const char *rest = text.c_str();
    while ((rest = split_str_by_sep(rest, "&", out, room)) && *rest)
        std::memset(out, 0, sizeof out);
    static char table[8][16];
    const int rows = parseStrBySeparator(text.c_str(), &table[0][0], 1 + pick % 16, 8, ',');
    if (rows < 0 || rows > 8)
        abort();

    std::string copy = text;
    zel_str_trim(copy.data());
    zel_strnrpl(copy.data(), ' ', '_', static_cast<int>(copy.size()));
    zel_str_start_with(text.c_str(), copy.c_str());
    zel_parse_int(text.c_str(), 0);
    zel_parse_longlong(text.c_str(), 0);
    zel_parse_float(text.c_str(), 0);
    zel_parse_bool(text.c_str(), 0);
    return 0;
}
