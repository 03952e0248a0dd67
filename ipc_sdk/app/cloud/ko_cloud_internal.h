// The recording context of the cloud service and the upload-side entry points it calls.
#pragma once

#include <stdint.h>

#include "app/cloud/cloud_types.h"
#include "app/cloud/ko_cloud.h"
#include "common/ipc/ko_message.h"

struct cloud_record_ctx_t {
    cloud_record_state_t shared; // mutex, running, switch, VIP and the cloud's GOP limits
    uint8_t initialised = 0;
    uint8_t upload_switch = 0;
    cloud_init_param_t param{};
    uint32_t buffer_size = 0;
    uint32_t upload_speed = 100000; // bytes per second
    cloud_alarm_config_t alarm{};
    char dir[64] = {};
};

cloud_record_ctx_t &cloud_record_ctx();

// Upload thread entry points (the thread itself comes with the upload service).
int cloud_upload_start(cloud_record_ctx_t *ctx);
void cloud_upload_exit(cloud_record_ctx_t *ctx);
void msg_rpc_slot(const ko_message_arg *arg);
