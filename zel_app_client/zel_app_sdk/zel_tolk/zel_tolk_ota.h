// The app client's side of a firmware update: the SDK's OTA hooks (ko_ota_onstat, ko_ota_ondata,
// ko_ota_write_image, declared with the other porting hooks), the start sequence, the idle test for
// automatic updates and the install through the platform's OTA install library.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The root certificate the update images' chains lead to.
extern const char lumo_dorvi_root_cert[];

// Tells the application, stops the services that compete for memory and flash, and starts the
// SDK's update: 0; -1 when an update is already under way or the install library gives no context;
// else ko_ota_start's failure. A failure after the application was told reboots the device.
int zel_tolk_ota_start(int automatic);
// 0 when an automatic update may run now (no phone online, no user operation in the last 600 s,
// nothing waiting for cloud upload), else -1.
int zel_tolk_query_p2p_conn_info(void);
int _zel_ota_init(int arg);

// Whether the user operation at `last_op` (wall-clock seconds) is under 600 s before `now`; a time
// after `now` (the clock stepped back since) counts as recent.
int zel_tolk_ota_operation_recent(uint64_t now, uint64_t last_op);

#ifdef __cplusplus
}
#endif
