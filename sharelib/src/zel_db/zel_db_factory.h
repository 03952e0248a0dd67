// The factory partition: found through /proc/mtd, read from its /dev/mtdblock device, and its
// "FLSH" entry list of name=value texts.
#pragma once

#include "zel_db/zel_db_dictionary.h"

#ifdef __cplusplus
extern "C" {
#endif

// The device path of the first partition whose /proc/mtd line holds `pattern` (any case) and whose
// device is a block or character device, with its size; newly allocated, or null.
char *nvram_find_mtd(const char *pattern, int *size);
// One value by exact name, under the factory lock: 0, -1 absent or no partition, -2 does not fit.
int zel_get_key_value_from_factory(const char *name, char *dst, int size);
// One value by a plain text search of the raw partition: 0, -1 absent, -2 does not fit, -6 no
// partition or an argument missing.
int get_key_value_from_factory(const char *name, char *dst, int size);
// The ROM store: every entry under section "default", lowercased; null without a partition.
dictionary *factory_info_load(void);

#ifdef __cplusplus
}
#endif
