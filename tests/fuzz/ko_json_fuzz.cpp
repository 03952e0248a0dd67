// Feeds the SDK's JSON helpers: the object splitter over the raw bytes, and the flat-text lookups and
// json-c checks over the text with a key taken from the input's first line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/utils/ko_json.h"
#include "ko_sdk_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The splitter reads exactly len bytes, so it gets a copy without a terminating zero.
    std::unique_ptr<char[]> raw(new char[size ? size : 1]);
    std::memcpy(raw.get(), data, size);
    int start = -1, end = -1;
    if (ko_json_split(raw.get(), static_cast<int>(size), &start, &end) == 0) {
        if (start < 0 || end <= start || end > static_cast<int>(size) || raw[start] != '{' || raw[end - 1] != '}')
            std::abort();
    } else if (start < 0 || start > static_cast<int>(size) || end > static_cast<int>(size)) {
        std::abort();
    }

    const std::string all(reinterpret_cast<const char *>(data), size);
    const size_t nl = all.find('\n');
    const std::string key = nl == std::string::npos ? "id" : all.substr(0, nl);
    const std::string text = nl == std::string::npos ? all : all.substr(nl + 1);
    const char *t = text.c_str();
    const char *k = key.c_str();
    for (int out_len : {0, 1, 16, 64}) {
        char out[65] = {};
        vexa_json_get_string(t, k, out, out_len);
        vexa_json_get_long(t, k, out, out_len);
        if (out[64] != 0)
            std::abort();
    }
    uint8_t flag = 7;
    vexa_json_get_bool(t, k, &flag);
    if (flag > 1)
        std::abort();
    ko_json_verify(t);
    ko_json_verify_key(t, k);
    int value = 0;
    ko_json_verify_get_int(t, k, &value);
    ko_json_verify_method_value(t, k, "local.bind");
    if (json_object *obj = json_tokener_parse(t)) {
        json_object_put(json_object_object_clone(obj));
        json_object_put(obj);
    }
    return 0;
}
