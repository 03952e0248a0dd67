// Test-only controls of the simulated board media library: failure injection, scripted detection
// results, the record of every setter call (with its time) and of the audio written to the speaker,
// a delay before key-frame requests act, a speaker hold, and a view of the image and speaker state.
#pragma once

#include "sim_recorder.h"

#include <cstdint>
#include <string>
#include <vector>

// Codec of both video streams for the next board_system_init: "h265" (default) or "h264".
void board_test_set_codec(const std::string &codec);
// The elementary-stream file that channel 0 or 1 plays (after board_system_init).
std::string board_test_stream_path(int chn);
// The PCM file the audio channel plays (after board_system_init).
std::string board_test_audio_path();

// The next `times` calls of `function` return `result` instead of doing their work. For the stream
// readers the name carries the channel ("get_video_stream:0", "get_video_stream:1",
// "get_audio_stream_ex"); an injected 0 there means a read without a frame (length 0).
void board_test_fail(const std::string &function, int result, int times = 1);
void board_test_clear_failures();

// Every call of a setter or action, as "name(arguments)", oldest first (at most the last 4096).
std::vector<std::string> board_test_calls();
// The same calls with the monotonic time each was made.
std::vector<sim::TimedCall> board_test_timed_calls();
void board_test_clear_calls();

// The next snapshot succeeds but reports `length` bytes in its information record (a faulty board).
void board_test_misreport_jpeg_length(int length);

// A key-frame request (req_IDR_one, req_IDR) acts only after `frames` more frames of the channel were
// handed out as they come (0, the default: the next frame is a key frame).
void board_test_set_key_delay(int frames);

// What the image switches last set: 1 on, 0 off, -1 never called since the process started.
struct board_image_state {
    int flip = -1; // 1 upside down (set_video_Vflip), 0 normal
    int osd = -1;
    int logo = -1;
    int ldc = -1;
    int wdr = -1;
    int dnmode = 0;
};
board_image_state board_test_image_state();
// How many times osd_update_timestamp redrew the time stamp.
uint64_t board_test_osd_updates();

// The speaker: switches (-1 never set), volume, and what it played.
struct board_speaker_state {
    int enabled = -1;
    int aec = -1;
    int vol = -1;
    int vol_percent = -1;
    int mute = -1;
    int held = 0;
    uint64_t bytes_played = 0;
    uint64_t bytes_while_disabled = 0; // played while the speaker was not switched on
};
board_speaker_state board_test_speaker_state();
// While held, play_sound and play_sound_ex stall (the playing caller waits) until released.
void board_test_hold_speaker(bool hold);

// Results that get_soc_babycry_result hands out one per call (1 = crying); none left: 0.
void board_test_script_babycry(const std::vector<int> &results);
// The value get_isp_ev reports.
void board_test_set_isp_ev(int ev);

// All bytes given to play_sound and play_sound_ex since the last clear (at most 16 MiB kept).
std::vector<uint8_t> board_test_speaker_audio();
void board_test_clear_speaker_audio();

// The microphone gain dorvi_set_mic_gain last set: 1 normal (also before any call), 0 lowered.
int board_test_mic_gain();
