// String helpers of the core library: tokenising with a cursor, splitting, trimming, formatted
// allocation and whole-file reading. A cursor is a pointer into the text that the readers advance;
// a delimiter set is a string and the number of its characters to use. New strings and arrays are
// released with free (or __zel_free).
#pragma once

#include <stddef.h>

#include "zel_control/container/zel_dict.h"  // zel_clone_string, zel_release_string

#ifdef __cplusplus
extern "C" {
#endif

// Skips leading delimiters, copies the token up to the next delimiter (or the end) NUL-ended into
// `out` and leaves the cursor on the character after the token: its length; -1 for a null or empty
// text, -2 for a null out, -4 when no token is left, -22 when the token and its NUL do not fit in
// `size` bytes. The cursor stays in place on failure.
int zel_str_read_token(const char **cursor, char *out, int size, const char *delimiters, int n);
// The same into a new string; null when no token is left (the cursor then stands after the skipped
// delimiters).
char *zel_str_read_token_new(const char **cursor, const char *delimiters, int n);
// zel_str_read_token with "\n": the next non-empty line.
int zel_str_get_line(const char **cursor, char *out, int size);
// The next token read with atoi / atof: 1, or 0 when there is none.
int zel_str_read_int(const char **cursor, int *out, const char *delimiters, int n);
int zel_str_read_double(const char **cursor, double *out, const char *delimiters, int n);

// Moves past the (skip + 1)-th character from `starts`, then reads a token delimited by `ends` and
// leaves the cursor one character past it. When the text ends first the cursor stays at the end and
// the result is 0 (or null); otherwise the result of zel_str_read_token.
int zel_str_read_token_between(const char **cursor, char *out, int size, const char *starts, int n_starts,
                               int skip, const char *ends, int n_ends);
char *zel_str_read_token_between_new(const char **cursor, const char *starts, int n_starts, int skip,
                                     const char *ends, int n_ends);
// That token (at most 255 characters) as a number: 1, or 0 when there is none.
int zel_str_read_int_between(const char **cursor, int *out, const char *starts, int n_starts, int skip,
                             const char *ends, int n_ends);
int zel_str_read_double_between(const char **cursor, double *out, const char *starts, int n_starts, int skip,
                                const char *ends, int n_ends);

// The trimmed, non-empty tokens (at most 1024) as a new array of new strings, or null when there
// are none; *count is set.
char **zel_str_split(const char *text, const char *delimiters, int n, int *count);
// Frees an array from zel_str_split or the fast JSON string-array reader.
void zel_str_array_release(char **array, int count);

// Copies the text before the first `separator` into `out` without a NUL (callers clear out first)
// and returns the position after the separator; without a separator the whole non-empty text is
// the piece and the end of the text is returned. Null for null arguments, an empty text without a
// separator, or a piece of `size` characters or more.
const char *split_str_by_sep(const char *text, const char *separator, char *out, int size);
// Splits at each `separator` into rows of `width` bytes (row k at table + k * width), each cut to
// width - 1 characters and NUL-ended; a separator at the very end starts no row. Returns the number
// of rows (0 for an empty text); at most `rows` are written, extra fields are dropped.
int parseStrBySeparator(const char *text, char *table, int width, int rows, char separator);

// 1 when text begins with prefix (an empty prefix matches), else 0.
int zel_str_start_with(const char *text, const char *prefix);
// In-place trimming of tab, LF, CR and blank; trim_end never removes the first character. Each
// returns s.
char *zel_str_trim(char *s);
char *zel_str_trim_start(char *s);
char *zel_str_trim_end(char *s);
// Replaces `from` by `to` within the first n characters (stopping at a NUL); returns the buffer.
char *zel_strnrpl(char *buffer, char from, char to, int n);

// A new buffer of exactly length + 1 bytes holding the formatted text: its length; -22 for null
// arguments, -12 when memory runs out.
int zel_str_printf(char **out, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A new buffer holding `text` `count` times: count * strlen(text); -22 for bad arguments, -12
// without memory.
int zel_str_repeat(char **out, const char *text, int count);

// Clears the buffer and reads the file at `path` (a real path) into it, up to size - 1 bytes: the
// bytes read; -2 for a null buffer or size <= 0, -7 when the file cannot be opened, -1 on a read error.
int zel_read_all_text(const char *path, char *buffer, int size);
// The whole file as a new NUL-ended buffer with *length set, or null with *length 0.
char *zel_read_all_text_new(const char *path, size_t *length);

#ifdef __cplusplus
}
#endif
