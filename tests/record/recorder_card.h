// The recorder end to end on a test card: a started SDK core against the daemon simulator, the board's
// stream and tone played into the main video and audio channels on a clock of the test's own, and the
// recorder's passes run by hand after every frame, so that a run of minutes of video is deterministic
// and takes seconds.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/record/sd_pool.h"
#include "ko_sdk_fixture.h"
#include "record_media.h"
#include "zel_test_card.h"

namespace rectest {

// The SDK's tick and wall clocks as the test moves them: both run with the monotonic clock and jump
// forward to the time of every frame played, so that frames carry 50 ms steps (longer ones only when
// the passes took longer).
class RecorderClock {
public:
    RecorderClock();
    ~RecorderClock();
    // Moves both clocks forward to read at least `tick_us` (never back).
    void advance_to(uint64_t tick_us);
    // Moves both clocks forward to have the wall clock read at least `wall_us` (never back).
    void advance_wall_to(uint64_t wall_us);
    // Back to the system's clocks.
    void restore();
    static uint64_t tick_us();
    static uint64_t wall_us();

private:
    static std::atomic<uint64_t> &offset();
};

class RecorderCard : public sdktest::SdkTest {
public:
    static constexpr uint64_t kCardSize = 5ull << 30;
    static constexpr int kFps = 20, kAudioFps = 25;

protected:
    RecorderCard() : sdktest::SdkTest({"--did", "424242", "--time", "1700000000"}, false) {}
    void SetUp() override;
    void TearDown() override;
    // The SDK start, its stream channels and the watchdog's stop (SetUp calls it unless told not to).
    void start_sdk();

    // The application's bring-up: init (mode, one camera per channel pair), card start and create(0, 4).
    void start_recorder(int mode = 0);
    void init_recorder(int mode);
    // Card start, then waits until the creation thread has filled the card.
    void format_card();
    // Plays `seconds` of video (and the audio that goes with it), running passes after each frame.
    void play(double seconds);
    // One frame and the passes that take it.
    void play_frame();
    void passes();
    // An event for the SD recorder now.
    void trigger_event(int type);
    void set_card_status(int status);

    // Index and data files on the card.
    std::string card_path(const std::string &name) const;
    std::vector<std::string> card_files(const std::string &prefix) const;
    std::string index_file(int kind) const;
    Json video_index() const;
    Json event_index() const;
    Json pic_index() const;
    // Live records of an index report.
    static std::vector<json_object *> live(json_object *report);
    std::string statistics();

    static std::vector<int> statuses();
    // Key frames the ring buffer asked of the main video channel's encoder.
    static int forced_key_frames();

    // The cameras: video and audio channel of each, all played the same board stream and tone.
    std::vector<std::pair<int, int>> cameras_{{0, 4}};
    // The board stream played into the video channels, and what their channels say of it.
    bool start_sdk_in_setup_ = true;
    bool manual_passes_ = true; // play_frame runs the passes (false: the recorder's thread does)
    std::string stream_ = "sub_864x480.h265";
    uint16_t width_ = 864, height_ = 480;
    uint32_t bitrate_kbps_ = 1024;

    RecorderClock clock_;
    std::unique_ptr<zeltest::TestCard> card_;
    Stream video_;
    std::vector<std::vector<uint8_t>> audio_;
    std::vector<uint8_t> jpeg_;
    uint64_t frames_ = 0, audio_sent_ = 0;
    uint64_t last_us_ = 0; // time stamp of the last video frame
};

} // namespace rectest
