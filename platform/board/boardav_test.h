// Test-only controls of the simulated board media library: failure injection, scripted detection
// results, the record of every setter call and of the audio written to the speaker.
#pragma once

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
void board_test_clear_calls();

// Results that get_soc_babycry_result hands out one per call (1 = crying); none left: 0.
void board_test_script_babycry(const std::vector<int> &results);
// The value get_isp_ev reports.
void board_test_set_isp_ev(int ev);

// All bytes given to play_sound and play_sound_ex since the last clear (at most 16 MiB kept).
std::vector<uint8_t> board_test_speaker_audio();
void board_test_clear_speaker_audio();
