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
