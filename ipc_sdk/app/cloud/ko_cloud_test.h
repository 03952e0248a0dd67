// Test-only view of cloud event recording. Not for product code.
#pragma once

#include "app/cloud/cloud_list.h"
#include "app/cloud/ko_cloud.h"

// The alarm configuration in force (after defaults and look-back limits).
cloud_alarm_config_t ko_cloud_test_alarm_config(void);
// Sets the account's subscription state as the cloud's answer would (1 subscribed).
void ko_cloud_test_set_vip(uint8_t vip);
// The buffer size in force.
uint32_t ko_cloud_test_buffer_size(void);
// Takes the oldest queued clip as the upload thread would: copies it out and deletes it with its
// files. The hand-out count, or the cloud_list_getfile code.
int ko_cloud_test_take_clip(cloud_file_node_t *out);
// Account state as the upload side would learn it from the service.
void ko_cloud_test_set_account(int vip, int cloud_switch);
// The GOP (s) and group length (GOPs) the service gives for continuous recording.
void ko_cloud_test_set_gop_limits(int gop, int cloud_offset_limit);

struct ko_cloud_test_counts {
    uint32_t event;          // clips opened for an alarm
    uint32_t rec_mp4;        // files queued
    uint32_t mp4_finish_err; // files dropped at finish
    uint32_t video_frames;   // frames in queued files
    uint32_t audio_frames;
};
ko_cloud_test_counts ko_cloud_test_counters(void);
