// Test-only control of the recorder: its threads are not started, and a test runs the passes itself.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Before ko_local_storage_create: 1 makes create skip the thread.
void ko_local_storage_set_manual(int manual);
// One recorder pass of the instance without its sleeps; returns the sleep it would take (ms).
int ko_local_storage_run_pass(int video_channel);
// The statistics object as "upload_statistics" would send it (and clears it).
int ko_local_storage_statistics(char *out, int size);
// The recording mode of the instance, or -1 when there is none.
int ko_local_storage_test_mode(int video_channel);

#ifdef __cplusplus
}
#endif
