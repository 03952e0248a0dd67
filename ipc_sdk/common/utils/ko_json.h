// JSON helpers of the SDK tree: cutting whole objects out of a byte stream, flat-text member
// lookups for cloud replies, and json-c based checks.
#pragma once

#include <stdint.h>

#include <json-c/json.h>

#ifdef __cplusplus
extern "C" {
#endif

// Finds the first complete {...} in buf[0, len): 0 with [*start, *end), else -1 (the caller keeps
// the bytes from *start on and waits for more).
int ko_json_split(const char *buf, int len, int *start, int *end);

// Flat-text lookups (no parsing). The value is copied without a terminating zero: clear out first.
int vexa_json_get_string(const char *text, const char *key, char *out, int out_len);
int vexa_json_get_long(const char *text, const char *key, char *out, int out_len);
// *out = 1 when the member's raw text is "true", else 0; returns the lookup's result.
int vexa_json_get_bool(const char *text, const char *key, uint8_t *out);

int ko_json_verify(const char *text);
int ko_json_verify_key(const char *text, const char *key);
int ko_json_verify_get_int(const char *text, const char *key, int *out);
int ko_json_verify_method_value(const char *text, const char *key, const char *value);

// A new object with the same keys, sharing the values (their reference counts raised).
json_object *json_object_object_clone(json_object *obj);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <memory>

// An owned json-c object, put when it goes out of scope.
struct ko_json_put {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using ko_json_ptr = std::unique_ptr<json_object, ko_json_put>;
#endif
