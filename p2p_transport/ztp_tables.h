// The transport's fixed tables and keys (values in ztp_tables.txt, which the test peers share).
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZTP_SCRAMBLE_TABLE_SIZE = 256, ZTP_CRC_TABLE_SIZE = 64, ZTP_INIT_TABLE_SIZE = 54 };

extern const unsigned char *const ztp_scramble_table; // message scrambling
extern const unsigned char *const CRCTable;           // login check
extern const unsigned char *const ztp_init_table;     // init-string decoding
// The fixed key of the second scrambling of super-device and report messages (16 characters).
extern const char *const ztp_super_device_key;
// The login check's key (`ztp_gCRCKey` starts from it).
extern const char *const ztp_login_key;

#ifdef __cplusplus
}
#endif
