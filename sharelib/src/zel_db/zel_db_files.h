// Internal to the settings database: filling the stores from their files and writing them back.
#pragma once

#include "zel_db/zel_db_dictionary.h"

#include <stdio.h>

#include <string>

extern "C" {
dictionary *chiper_db_iniparser_load(int index);
dictionary *plain_db_iniparser_load(int index);
dictionary *zel_db_mem_load(void);
int chiper_db_iniparser_dump(int index, const char *keyiv, int to_backup);
int file_lock(FILE *stream);
int file_unlock(FILE *stream);
}

// Decrypts the main file, else the backup, into `plain` and reads it; null when neither gives a
// sound store text (the refused text is then removed). `from_backup` tells which one was taken.
dictionary *zel_db_load_encrypted(const std::string &main, const std::string &backup, const std::string &plain,
                                  const char *keyiv, bool *from_backup);
// A stream on a new or emptied file that only its owner may read (mode 0600).
FILE *zel_db_fopen_private(const std::string &path, const char *mode);
