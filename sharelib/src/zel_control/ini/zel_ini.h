// The INI reader and writer: a document is a string dictionary from section name to section, a
// section a string dictionary from key to value (all owned copies). Keys before any header belong
// to "__def__"; a null section name in get, set, exists and remove means "__def__". Sections and
// keys are visited in dictionary (hash) order, not in file order.
#pragma once

#include "zel_control/container/zel_dict.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_INI_DEFAULT_SECTION "__def__"

typedef zel_dict_t zel_ini_t;
typedef zel_dict_t zel_ini_section_t;
typedef zel_dict_iter_t zel_ini_iterator_t;
typedef zel_dict_iter_t zel_ini_section_iterator_t;

// Reads the file at `path` (a real path, opened read-only), or the text; null when the file cannot be
// opened, memory runs out or a section header is malformed.
zel_ini_t *zel_ini_open(const char *path);
zel_ini_t *zel_ini_parse(const char *text);
// An empty document (no "__def__" section yet).
zel_ini_t *zel_ini_create(void);
// Writes the document to `path` (through a temporary file renamed over it): 0, -2 for null
// arguments, -7 when the file cannot be opened or is read-only, -1 when writing fails.
int zel_ini_save(const char *path, const zel_ini_t *doc);
// Writes the text into `buffer` (NUL-ended): the bytes written, -2 for null arguments, -22 when the
// text does not fit (the buffer then holds a cut text).
int zel_ini_save_buffer(const zel_ini_t *doc, char *buffer, int size);
void zel_ini_release(zel_ini_t *doc);

int zel_ini_is_section_exists(const zel_ini_t *doc, const char *section);
int zel_ini_is_key_exists(const zel_ini_t *doc, const char *section, const char *key);

// The stored value (owned by the document) or the default.
const char *zel_ini_get_string(const zel_ini_t *doc, const char *section, const char *key,
                               const char *default_value);
int zel_ini_get_int(const zel_ini_t *doc, const char *section, const char *key, int default_value);
float zel_ini_get_float(const zel_ini_t *doc, const char *section, const char *key, float default_value);
// "true" or "false" in any case; anything else gives the default.
int zel_ini_get_bool(const zel_ini_t *doc, const char *section, const char *key, int default_value);

// Store a copy, creating the section when absent: 0, -2 for a null document, key or value or for a
// section, key or value holding a line end (it could not be saved as one line), -3 without memory.
int zel_ini_set_string(zel_ini_t *doc, const char *section, const char *key, const char *value);
int zel_ini_set_int(zel_ini_t *doc, const char *section, const char *key, int value);
int zel_ini_set_float(zel_ini_t *doc, const char *section, const char *key, float value);
int zel_ini_set_bool(zel_ini_t *doc, const char *section, const char *key, int value);

// Removes a key (0, -2 for a null document, -4 when the section or key is absent) or a whole section.
int zel_ini_remove(zel_ini_t *doc, const char *section, const char *key);
int zel_ini_remove_section(zel_ini_t *doc, const char *section);

int zel_ini_section_count(const zel_ini_t *doc);  // -2 for null
// Keys of a section: -2 for a null document, -4 when the section is absent.
int zel_ini_key_count(const zel_ini_t *doc, const char *section);

// Iteration: the sections of a document ("__def__" included), then the keys of one section. A next
// operation returns 1 with the pair set, or 0 at the end.
zel_ini_iterator_t *zel_ini_get_iterator(const zel_ini_t *doc);
int zel_ini_get_next_section(zel_ini_iterator_t *it, const char **name, zel_ini_section_t **section);
void zel_ini_iterator_release(zel_ini_iterator_t *it);
zel_ini_section_iterator_t *zel_ini_get_section_iterator(const zel_ini_section_t *section);
int zel_ini_get_next(zel_ini_section_iterator_t *it, const char **key, const char **value);
void zel_ini_section_iterator_release(zel_ini_section_iterator_t *it);

#ifdef __cplusplus
}
#endif
