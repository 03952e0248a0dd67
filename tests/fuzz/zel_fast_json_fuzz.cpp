// Feeds a JSON-like text to every fast JSON reader; the first byte gives the length of the key name,
// taken from the bytes after it, the rest is the text.
#include "zel_control/ini/zel_fast_json.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return -1;
    const size_t key_len = data[0] % 16;
    if (size < 1 + key_len)
        return -1;
    const std::string key(reinterpret_cast<const char *>(data + 1), key_len);
    const std::string text(reinterpret_cast<const char *>(data + 1 + key_len), size - 1 - key_len);
    const char *t = text.c_str();
    const char *k = key.c_str();

    for (int room : {1, 8, 256}) {
        char buf[256];
        const int n = zel_fast_json_get_string(t, k, buf, room);
        if (n >= room || (n >= 0 && strlen(buf) != static_cast<size_t>(n)) || (n <= 0 && buf[0] != '\0'))
            abort();
    }
    free(zel_fast_json_get_string_new(t, k));
    zel_fast_json_get_int(t, k, 0);
    zel_fast_json_get_double(t, k, 0);
    zel_fast_json_get_bool(t, k, 0);

    int count = -1;
    char **strings = zel_fast_json_get_string_array(t, k, &count);
    if ((strings == nullptr) != (count == 0))
        abort();
    for (int i = 0; i < count; ++i)
        free(strings[i]);
    free(strings);
    free(zel_fast_json_get_int_array(t, k, &count));
    free(zel_fast_json_get_double_array(t, k, &count));
    free(zel_fast_json_get_bool_array(t, k, &count));
    return 0;
}
