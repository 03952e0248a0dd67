// The settings stores' INI layer over their dictionary: "section:key" entries, section entries
// without value, a bare key in section "default", and values taken almost verbatim.
#pragma once

#include "zel_db/zel_db_dictionary.h"

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Longest line the reader accepts (newline not counted). Every entry that a store accepts fits on
// one line well below it, so a store file we wrote is never refused for its line length.
enum { ZEL_DB_INI_LINE_MAX = 4095, ZEL_DB_KEY_MAX = 1536 };

dictionary *iniparser_load(const char *path);
void iniparser_freedict(dictionary *d);
int iniparser_set(dictionary *d, const char *entry, const char *val);
void iniparser_unset(dictionary *d, const char *entry);

const char *iniparser_getstring(const dictionary *d, const char *key, const char *def);
long iniparser_getlongint(const dictionary *d, const char *key, long notfound);
int iniparser_getint(const dictionary *d, const char *key, int notfound);
double iniparser_getdouble(const dictionary *d, const char *key, double notfound);
int iniparser_getboolean(const dictionary *d, const char *key, int notfound);
int iniparser_find_entry(const dictionary *d, const char *entry);

int iniparser_getnsec(const dictionary *d);
const char *iniparser_getsecname(const dictionary *d, int n);
int iniparser_setsecname(dictionary *d, const char *name);
int iniparser_getsecnkeys(const dictionary *d, const char *sec);
// Fills `keys` (room for iniparser_getsecnkeys entries) and returns it; null when the section is absent.
const char **iniparser_getseckeys(const dictionary *d, const char *sec, const char **keys);

void iniparser_dump(const dictionary *d, FILE *out);
void iniparser_dump_ini(const dictionary *d, FILE *out);
void iniparser_dumpsection_ini(const dictionary *d, const char *sec, FILE *out);

// The reporter of reader errors; null restores the default (standard error).
void iniparser_set_error_callback(int (*errback)(const char *, ...));

#ifdef __cplusplus
}

#include <string>
#include <string_view>

// The dictionary key of a settings name: lowercased "section:key", or "default:" + name when the
// name does not split into a non-empty section and key.
std::string zel_db_entry_key(std::string_view name);

// The reader for files the stores wrote themselves: refuses a file in which a line is not empty, a
// comment, a section header or a key line, so that a damaged or wrongly decrypted file is not taken.
dictionary *zel_db_ini_load_checked(const char *path);
#endif
