// Readers that parse a whole JSON text and pick one top-level member out of it; each answers 0 or -1.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { JSON_VERIFY_TYPE_INT = 3, JSON_VERIFY_TYPE_STRING = 6 };

int json_verify(const char *text);
int json_verify_method(const char *text, const char *key);
// `expected` points to an int (JSON_VERIFY_TYPE_INT) or is a text (JSON_VERIFY_TYPE_STRING).
int json_verify_method_value(const char *text, const char *key, const void *expected, int type);
int json_verify_get_int(const char *text, const char *key, int *out);
// Copies at most len - 1 characters and adds no NUL: callers clear `buf` first.
int json_verify_get_string(const char *text, const char *key, char *buf, int len);
int json_verify_get_object_string(const char *text, const char *key, char *buf, int len);
int json_verify_get_array(const char *text, const char *key, char *buf, int size);
int json_verify_get_boolean(const char *text, const char *key, int *out);

// The JSON text as a log line may show it: every member, at any depth, whose name looks secret (a
// password, token or key) is written as "******"; a text that does not parse is told by its length
// alone. Cut to len - 1 characters and terminated; returns `buf`.
const char *json_loggable_text(const char *text, char *buf, int len);

#ifdef __cplusplus
}
#endif
