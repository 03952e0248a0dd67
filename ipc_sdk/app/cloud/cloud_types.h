// Records shared by cloud event recording, the upload thread and the cloud HTTP protocol.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "common/event/ko_event.h"

inline constexpr const char *CLOUD_MODULE = "KO CLOUD";

// Event flag bits of a face event.
inline constexpr uint32_t CLOUD_FACE_BITS = 0x600;

// One queued clip file, with the snapshot taken for it.
struct cloud_file_node_t {
    uint64_t create_tick_ms;
    uint64_t duration_ms;
    uint32_t hand_out;
    int32_t group;
    uint8_t end_of_block;
    uint8_t outside_schedule;
    ko_event_result event; // event flag bits first
    uint32_t size;
    uint64_t finish_tick_ms;
    char mp4_path[64];
    char jpeg_path[64];
    int32_t video_codec;
    int32_t audio_codec;
    uint16_t width;
    uint16_t height;
    uint64_t first_frame_ms;
    char face_path[64];
    cloud_file_node_t *next;
};

// The part of the recording context that the upload side reads and writes.
struct cloud_record_state_t {
    std::mutex mutex;
    std::atomic<int> running{0};
    uint8_t cloud_switch = 0;
    uint8_t vip = 0;
    uint8_t free_surveillance = 0;
    int64_t vip_expiry_ms = 0;
    uint8_t check_people_motion = 0;
    uint8_t check_face = 0;
    uint8_t check_baby_cry = 0;
    int gop = 3;
    int alarm_offset_limit = 3;
    int cloud_offset_limit = 600;
    // Set by the upload side when the service refuses a lapsed account: no scheduled recording.
    uint8_t expired = 0;
};
