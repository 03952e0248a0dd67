// Fast JSON readers: each picks one value out of a JSON text by plain text search from the first
// occurrence of the key name, without parsing the document. Suited to small, trusted texts of known
// shape; a key name that also appears earlier in the text (inside a value or another key) is found there.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The string value (between the second and third quote after the key name; quote characters right
// after the second are skipped unless the value is empty, as in "") copied into `buffer`: its
// length, 0 when empty or absent, -1 for a null text or key, -22 when the buffer is too small. The
// buffer holds the empty text whenever the result is not positive.
int zel_fast_json_get_string(const char *text, const char *key, char *buffer, int size);
// A new copy of the string value, or null.
char *zel_fast_json_get_string_new(const char *text, const char *key);

// The text after the first ":" up to the next "," or "}", read with atoi, atof or as "true"/"false";
// the default when the key or the value is not found.
int zel_fast_json_get_int(const char *text, const char *key, int default_value);
double zel_fast_json_get_double(const char *text, const char *key, double default_value);
int zel_fast_json_get_bool(const char *text, const char *key, int default_value);

// The items between the first "[" after the key and the next "]": a new array (freed by the caller,
// with every string) and *count set; null and count 0 when there is no array or it is empty.
char **zel_fast_json_get_string_array(const char *text, const char *key, int *count);
int *zel_fast_json_get_int_array(const char *text, const char *key, int *count);
double *zel_fast_json_get_double_array(const char *text, const char *key, int *count);
int *zel_fast_json_get_bool_array(const char *text, const char *key, int *count);

#ifdef __cplusplus
}
#endif
