// The platform's OTA install library: it stages a firmware image in a context of a fixed size,
// installs it into the firmware partition on a thread of the caller's, reports the install progress
// and reboots the device. The simulated platform writes the partition file below the path root and
// records reboots instead of doing them.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The partition the install writes (a device path).
#define QV_OTA_PARTITION "/dev/mtdblock_fw"

// A context that stages up to `size` bytes; NULL on failure.
void *qv_ota_init(int size);
// Stages the next `len` bytes: non-zero when taken, 0 when refused (no room left, bad arguments).
int qv_ota_download_ing(void *handle, const void *data, int len);
// Installs the staged image for hardware id `hid`, writing the partition in pieces: 0 on success.
int qv_ota_download_install(void *handle, const char *hid);
// The progress of the install under way or last run, 0 to 100: 0, or -1 for a null argument.
int qv_ota_get_install_progress(int *percent);
// Reboots the device: non-zero when the reboot was started, 0 on failure.
int qv_ota_device_reboot(void *handle);

#ifdef __cplusplus
}
#endif
