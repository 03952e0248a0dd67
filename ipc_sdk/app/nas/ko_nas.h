// The NAS backup service: RPC methods to configure an SMB share and a schedule, a state machine that
// mounts the share and runs periodic syncs of the card's recordings to it, and the thread "nas_ev"
// whose default libev loop it shares with the status app's timers.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Starts "nas_ev", registers the methods on the message bus, loads the configuration and enters
// the saved state. 0, or -1 when the bus registration fails (the loop keeps running for the others).
int ko_nas_init(void);
// Stops the sync, the timers and the loop, joins "nas_ev" and forgets the share. 0, or -1 when not
// started.
int ko_nas_deinit(void);

#ifdef __cplusplus
}
#endif
