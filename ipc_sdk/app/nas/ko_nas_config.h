// The NAS service's stored configuration: the 28-byte record of kv value "config" (seven
// little-endian 32-bit words) and the share JSON of kv value "share_cfg", both in space "TOLK_NAS".
#pragma once

#include <json-c/json.h>
#include <stddef.h>
#include <stdint.h>

enum { KO_NAS_CONFIG_LEN = 28, KO_NAS_SHARE_CFG_MAX = 2048, KO_NAS_DEFAULT_INTERVAL = 600 };

struct ko_nas_record {
    int32_t state = 0;
    int32_t error = 0;
    int32_t type = 1;
    int32_t interval = KO_NAS_DEFAULT_INTERVAL;
    int32_t retention = 0;
    uint64_t last_sync = 0; // seconds; stored as an unsigned word, so it holds past 2038
};

// Encodes the record into `out` (the seventh word, a pointer on the camera, is written as 0).
void ko_nas_config_encode(const ko_nas_record &rec, uint8_t out[KO_NAS_CONFIG_LEN]);
// Decodes a stored record: 0, or -1 when a field is out of range (the record is left as it was).
int ko_nas_config_decode(const uint8_t *in, size_t len, ko_nas_record *rec);
