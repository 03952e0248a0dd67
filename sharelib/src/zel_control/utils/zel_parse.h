// Number and boolean parsing with a default for absent text. Booleans are the words "true" and
// "false" in any case; any other text gives the default. Also the pan-tilt head's position text.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int zel_parse_int(const char *text, int default_value);                 // atoi
long long zel_parse_longlong(const char *text, long long default_value);  // atoll
float zel_parse_float(const char *text, float default_value);           // atof
int zel_parse_bool(const char *text, int default_value);
// A point "[x,y]" of two integers with nothing after it: 0, or -1 (the outputs then untouched) for
// any other text or a null argument.
int zel_parse_point(const char *text, int *x, int *y);
// A stored head position "[x,y]" with both numbers 0 to 100 and nothing after it: 0, or -1 (the
// outputs then untouched) for any other text or a null argument.
int zel_parse_position(const char *text, int *x, int *y);

#ifdef __cplusplus
}
#endif
