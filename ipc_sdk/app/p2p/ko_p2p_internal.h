// The P2P service's records shared by its parts: the client slots, the service record, the calls it
// makes on a phone's session (a table, so that a test can stand in for the session), and the parts'
// entry points.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <stdint.h>
#include <string>

#include "app/p2p/ko_p2p.h"
#include "app/record/ko_playback.h"
#include "common/ringbuffer/ko_av_frame.h"
#include "vasq_api.h"

#define KO_P2P_MODULE "KO VASQ"

namespace ko_p2p {

enum { kModeLive = 1, kModePlayback = 2 };
enum { kAudioChannel = 4, kMaxVfps = 64, kLongWindowMax = 5 * kMaxVfps };
enum { kTransferIdle = 0, kTransferRunning = 1, kTransferInterrupt = 2 };

// The last frame sent to a client on a stream.
struct sent_mark {
    int channel = -1;
    uint32_t seq = 0;
    uint64_t time_us = 0;
};

// Drop and switch state of one client, cleared at every video start.
struct drop_state {
    int vfps = 20, short_len = 60, long_len = 320;
    int max_frames = 135, max_bytes = 257024, resume_bytes = 51200, resume_frames = 45, force_key_bytes = 5120;
    bool dropping = false;
    uint32_t drop_episodes = 0, dropped = 0;
    uint32_t samples = 0;
    std::array<uint8_t, kLongWindowMax> short_win{}, long_win{};
    uint64_t last_switch_ms = 0; // monotonic
    uint32_t auto_switches = 0;
    bool auto_switch = false;
    // A forced key frame restarts the readers behind what was sent: nothing goes out twice.
    sent_mark video_sent, audio_sent;
};

struct p2p_client {
    int index = 0;
    // Read without the slot's lock by the hooks' look-up; written under it.
    std::atomic<vasq_session *> session{nullptr};
    std::shared_mutex lock;
    std::atomic<bool> online{false}, in_use{false}, audio_on{false}, video_on{false}, speaker_on{false},
        live_started{false};
    std::atomic<int> channel{0};
    int reader = 2;
    std::atomic<int> mode{kModeLive};
    uint64_t live_start_ms = 0;
    uint32_t video_frames = 0, audio_frames = 0, audio_errors = 0;
    uint64_t video_bytes = 0, audio_bytes = 0;
    drop_state drop;
    int start_seq = 0;
    // Playback (mode 2): the engine's handle, the phone's request id, start (Unix s) and speed.
    ko_playback_t *playback = nullptr;
    int pb_request_id = 0;
    int64_t pb_start_time = 0;
    int pb_speed = 1;
    bool pb_speed_changed = false;
    std::atomic<int> transfer{kTransferIdle};
};

// The calls made on a phone's session.
struct session_ops {
    int (*video_send)(vasq_session *, const vasq_frame_info *, const void *);
    int (*cmd_send)(vasq_session *, int, const void *, int);
    int (*query)(vasq_session *, int, void *);
    void (*close)(vasq_session *);
    int (*statistics_set)(vasq_session *, int, const void *, int);
    int (*rdt_send)(vasq_session *, const void *, int);
};
extern std::atomic<const session_ops *> g_session_ops;
inline const session_ops &ops() { return *g_session_ops.load(std::memory_order_acquire); }

struct vasq_ctrl {
    std::atomic<bool> inited{false}, running{false}, server_ready{false}, restart{false}, alive{false};
    std::mutex server_mutex, alive_mutex;
    // Claim and release of slots, and the speaker's check-and-set.
    std::mutex claim_mutex;
    int max_sessions = 0;
    p2p_client *slots = nullptr;
    ko_p2p_param param{};
    uint32_t last_disconnect_s = 0;
    std::atomic<int> init_step{0}, deinit_step{0}, v_send{0}, a_send{0}, rpc_step{0}, disconnect_step{0};
    // Playback frames sent to phones, video and audio.
    std::atomic<int> v_pb_send{0}, a_pb_send{0};
};
extern vasq_ctrl g_vasq_ctrl;

// Notices to the app client (its porting hook): the value and the slot index or request id.
enum { kNoticeClient = 1, kNoticeLive = 2, kNoticePlayback = 3 };
void notice_app(int type, int value, int id, const char *failure);

// Slot look-ups.
int online_count();
// The online slot holding the session, or null ("don't find match session idx" logged).
p2p_client *slot_of(vasq_session *s);

// Live sending (the "p2p_v" and "p2p_a" threads).
void *video_thread(void *);
void *audio_thread(void *);
// The two threads sleep while no phone takes their frames: called after a phone's video or audio
// is switched on and when the service stops.
void wake_senders();
// One video or audio frame to a slot (the caller holds the slot's lock for reading).
void send_video_frame(p2p_client &c, const ko_stream_chn_info &info, const ko_av_frame &frame);
void send_audio_frame(p2p_client &c, const ko_stream_chn_info &info, const ko_av_frame &frame);
// The drop parameters from the stream information of the client's channel and of audio.
void load_drop_params(drop_state &d, int channel);
void force_key_frame(p2p_client &c);
int resolution_code(int width, int height);

// An integer member of a command's JSON, when present.
bool json_number(const std::string &text, const char *key, int64_t *out);

// Playback over the session (commands 269 and 271) and the engine's release of every playback.
void playback_request(p2p_client &c, const std::string &text);
void playback_speed(p2p_client &c, const std::string &text);
// Ends the slot's playback (the caller holds the slot's lock for writing).
void stop_playback(p2p_client &c);
void free_all_play_back();

// Daemon RPCs of the streaming server.
int rpc_init();
void rpc_deinit();
void rpc_timeout_check();

} // namespace ko_p2p
