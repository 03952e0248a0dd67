// The one entry through which SDK modules send a statistics report: rate-limited per report key and
// sent upstream as an "_async.stat" notification through the RPC link.
#pragma once

#include <json-c/json.h>

#ifdef __cplusplus
extern "C" {
#endif

// The longest report text that is sent.
#define KO_REPORT_STAT_TEXT_MAX 899

// key: 1 to 31 characters; text: 1 to KO_REPORT_STAT_TEXT_MAX characters of JSON. 0 sent, -1 refused.
int report_stat_object(const char *key, const char *text);
// Reports the text of `obj` under `key` (logs it at trace level once sent); the result of
// report_stat_object, or -1 when the object has no text.
int report_stat_json(const char *key, json_object *obj);

// Keeps the device identity carried by every report; each text is taken only the first time it is
// given (NULL leaves it as it is).
void report_stat_identity_set(const char *model, const char *fw_ver);
// Forgets the device identity and the last send of every rate-limited key (the reporter's stop).
void report_stat_reset(void);

#ifdef __cplusplus
}
#endif
