// The OTA service on the message bus (uid 6): it serves "lumo.ota", "sdkinfo_resp" and "ota.downgrade"
// and announces them to the RPC link. The download and install behind them are not built yet: each
// request is logged.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// `reserved` is unused (the client passes 0). 0, or -1 when a key cannot be registered or announced;
// a second call changes nothing and gives 0.
int ko_ota_init(int reserved);

#ifdef __cplusplus
}
#endif
