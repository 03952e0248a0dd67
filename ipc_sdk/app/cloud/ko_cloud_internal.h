// The recording context of the cloud service and the upload-side entry points it calls.
#pragma once

#include <stdint.h>

#include "app/cloud/cloud_types.h"
#include "app/cloud/ko_cloud.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_thread.h"

// Counters of the record thread (reported with the upload statistics).
struct cloud_record_stats {
    std::atomic<uint32_t> event{0};           // clips opened for an alarm
    std::atomic<uint32_t> rec_mp4{0};         // files queued
    std::atomic<uint32_t> mp4_finish_err{0};  // files dropped at finish
    std::atomic<uint32_t> video_frame_err{0};
    std::atomic<uint32_t> audio_frame_err{0};
    std::atomic<uint32_t> handle_err{0};      // writers that could not be opened
    std::atomic<uint32_t> add_node_err{0};    // files the full list refused
    std::atomic<uint32_t> video_frames{0};    // frames written into queued files
    std::atomic<uint32_t> audio_frames{0};
    std::atomic<uint32_t> mp4_size_min{0};    // smallest and largest queued file (bytes)
    std::atomic<uint32_t> mp4_size_max{0};
    // Steps of the record loop: 1 start test held, 2 pending events taken, 3 event clip planned,
    // 4 continuous group started, 5 look-back applied, 6 file opened, 7 file cut at a key frame,
    // 8 clip time reached, 9 start test ended a file, 10 file finished.
    std::atomic<uint32_t> rec_step[10] = {};

    void reset()
    {
        for (std::atomic<uint32_t> *a : {&event, &rec_mp4, &mp4_finish_err, &video_frame_err, &audio_frame_err,
                                         &handle_err, &add_node_err, &video_frames, &audio_frames, &mp4_size_min,
                                         &mp4_size_max})
            a->store(0);
        for (std::atomic<uint32_t> &a : rec_step)
            a.store(0);
    }
};

struct cloud_record_ctx_t {
    cloud_record_state_t shared; // mutex, running, switch, VIP and the cloud's GOP limits
    std::atomic<uint8_t> initialised{0}; // read by the bus handlers
    uint8_t upload_switch = 0;
    cloud_init_param_t param{};
    uint32_t buffer_size = 0;
    uint32_t upload_speed = 100000; // bytes per second
    cloud_alarm_config_t alarm{};
    char dir[64] = {};
    // Owned by the record thread.
    ko_thread *record_thread = nullptr;
    int32_t group = 0;
    uint32_t file_counter = 0;
    cloud_record_stats stats;
};

cloud_record_ctx_t &cloud_record_ctx();

// Upload thread entry points (the thread itself comes with the upload service).
int cloud_upload_start(cloud_record_ctx_t *ctx);
void cloud_upload_exit(cloud_record_ctx_t *ctx);
void msg_rpc_slot(const ko_message_arg *arg);
