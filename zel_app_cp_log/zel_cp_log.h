// The log-copy app (app 9, module "ZEL_LOG"): copies the rotated log files to "/mnt/sdcard/log",
// each once per change under its name and modification time, except while the card is formatted or
// unmounted. The app table lists it; nothing in the system creates it.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

// The app object, or NULL when its receive thread cannot start (the object is then destroyed).
app_object_t *cp_log_app_create(int arg);
// Starts the copy thread "cp_log_thread" (once).
void cp_log_init(void);
void cp_log_deinit(void);
// The agent handler: card status 15, format 16, unmount 39, device status 17; 0.
int handle_cp_log_message(int cmd, const void *param);
void *start_cp_log_recv_from_agent_thread(void *arg);
// Copies `source` to `target` with the source's mode. The copy is written beside the target and
// renamed onto it once complete, so the target name only ever holds a whole copy: 0, or -1 (logged,
// nothing left behind).
int copy_file(const char *source, const char *target);

#ifdef __cplusplus
}
#endif
