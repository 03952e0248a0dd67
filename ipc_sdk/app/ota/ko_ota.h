// The OTA service on the message bus (uid 6): it takes a firmware-update request ("lumo.ota") from
// the device daemon, waits for the app-client library to start it, downloads the image while the
// verifier hashes it and hands the payload to the library's hooks, verifies it, lets the library
// install it, and reports state and progress as property reports.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// What the app-client library gives ko_ota_start: the root certificate the image's chain must lead
// to, its length, and one more word kept with the update.
typedef struct ko_ota_start_param {
    const char *cert;
    int cert_len;
    int value;
} ko_ota_start_param;

// `reserved` is unused (the client passes 0). 0, or -1 when a key cannot be registered or announced;
// a second call changes nothing and gives 0.
int ko_ota_init(int reserved);
// 0, or -1 when not started. An update under way is told to stop and ends on its own.
int ko_ota_deinit(void);
// Starts the requested update: 0 (also when one is already past its start); -1 when not started,
// without a request or without a certificate; -2 when the certificate cannot be copied.
int ko_ota_start(const ko_ota_start_param *param);
// Refuses the requested update before its start: 0; -1 when none waits for its start.
int ko_ota_abort(void);
// Reports the install progress (0 to 100) of the update under way.
void ko_ota_progress_report(int percent);

#ifdef __cplusplus
}
#endif
