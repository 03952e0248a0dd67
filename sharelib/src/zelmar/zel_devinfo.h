// The device-information record shared between processes through a file in /dev/shm, the shared
// mapping under it, and the factory model, MAC and device-name text helpers.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// 228 bytes, laid out as the file holds them.
typedef struct dev_info {
    char model[64];   // "zel_dbc get rom model", trailing newline removed
    char version[64]; // "HALVORN_VERSION=5.1.7_0371"
    char numbers[64]; // "3.18.30"
    char util[17];    // "FIXME_lumo_util"
    char wlan[16];    // first interface of /proc/net/wireless
    char reserved[3];
} dev_info_t;

// The shared record "/dev/shm/lumo-devinfo", mapped once per process; null when it cannot be mapped.
const dev_info_t *dev_get_info(void);
// A shared mapping of "/dev/shm/lumo-<name>" of `size` bytes, created and filled by `init` by the
// first process that asks (read-only when the file may only be read); null on failure.
void *lumo_shared(const char *name, int size, int (*init)(char *record));
// The part of "factory get model" after its last "." (the whole text without one), at most size - 1
// characters: 0, -1 for a null `out`, -2 when the command cannot be run or prints nothing.
int get_model_id(char *out, int size);
// Copies the characters of src except ":" into dst (no NUL) when dst_len >= src_len; returns src.
const char *get_split_mac_addr(const char *src, int src_len, char *dst, int dst_len);
// The factory MAC of "factory get mac" without its colons, and the factory device name of "factory
// get dev_name", each at most size - 1 characters and terminated: 0, -1 for a null `out` or a size
// under 1, -2 when the command cannot be run or prints nothing.
int fill_mac_addr(char *out, int size);
int fill_dev_name(char *out, int size);

#ifdef __cplusplus
}
#endif
