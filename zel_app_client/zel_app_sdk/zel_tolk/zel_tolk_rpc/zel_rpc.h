// The property RPC engine: the camera's side of the property protocol with the phone app and the
// cloud. Daemon requests come in through ko_rpc_receive, are queued as fixed records and served one at
// a time by the worker "zel_rpc" from the property, action and method tables (zel_rpc_table.h); the
// engine also sends property reports, events, the cloud pull after start and the defaults push after
// a bind, and keeps the device id that every reply carries.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Kinds of a property report (spec_property_changed).
enum { ZEL_RPC_KIND_STRING = 1, ZEL_RPC_KIND_INT = 2, ZEL_RPC_KIND_BOOL = 3, ZEL_RPC_KIND_JSON = 4 };

// The device id for the handlers (at most 31 characters).
extern char func_did[32];

// Starts the engine: queue, device id (waits for it), worker, cloud-sync tick. 0, or -1.
int zel_rpc_init(void);
// Stops the tick and the worker, then frees the queue; init may run again afterwards. Always 0.
int zel_rpc_deinit(void);
// Queues every JSON object of the `length` bytes at msg. 0 when all were queued; -1 on a fatal fault
// (also before init and after deinit); on a parse fault in the middle, the bytes consumed before it.
int zel_rpc_receive_handle(const char *msg, int length);
// 1 while the engine takes requests (between init and deinit), else 0.
int zel_rpc_ready(void);

void zel_rpc_set_did(const char *did);
void set_func_did(const char *did, int len);

// 1, 2, ... 65534, then 1 again; safe from any thread.
int get_notify_id(void);
// Sends one "properties_changed" report of an internal pair: 0 or the send's result; -1 for a null
// value, an unknown kind, a kind 4 value that is not one JSON value, or a report over 4095 bytes.
int spec_property_changed(int id, int siid, int piid, int kind, const char *value);
// A setting changed locally: the first property row whose key begins with `key` serves it (op 2).
int zel_rpc_properties_change(const char *key, const char *value, int len);

void vexa_spec_reverse_map(int siid, int piid, int *o_siid, int *o_piid);
void vexa_spec_map(int o_siid, int o_piid, int *siid, int *piid);
void vexa_spec_action_map(int o_siid, int o_aiid, int *siid, int *aiid);

int zel_rpc_reply_ok(int id);
// One reply element whose value is a JSON string (escaped).
void zel_rpc_json_to_value_string(char *buf, int size, const char *did, int siid, int piid, const char *value);
int zel_app_report_info(const char *info_json, int reserved);
// The text after "HALVORN_VERSION=" in /etc/os-release up to a newline, at most `max_len` characters
// and within `size` (cleared first): 0 found, 1 no such line, 2 a read error, -1 no file or bad
// arguments (each logged).
int zel_os_release_version(char *out, int size, int max_len);
// The same with at most 31 characters: 0, or -1 also when the line is missing.
int zel_rpc_get_firmware_version(char *out, int size);
// Card sizes in bytes from statfs of /mnt/sdcard: 0, or -1.
int zel_rpc_sd_statfs(uint64_t *total, uint64_t *used, uint64_t *free_bytes);

// Fills the cloud alarm record from the settings (record length 9 s, switch, interval, start and end
// times); a setting that is absent or unreadable leaves its field as it was. 0, or -1 for null.
struct cloud_alarm_config_t;
int get_current_alarm_config(struct cloud_alarm_config_t *cfg);

// Sends the "event_occured" message of a client event type, rate-limited per type: the send's
// result, or -1 when nothing was sent (unlisted type, inside its interval, no message to build).
int zel_rpc_send_if_then_msg(int type);
// The builder in no table: a clock-property event carries the first 32 characters of buf.
int spec_event_common(int id, int siid, int eiid, char *buf, int size);

#ifdef __cplusplus
}
#endif
