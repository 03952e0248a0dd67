// The NAS service's one instance and what its files share. Everything in `Nas` but the sync job's
// inputs and results is guarded by `lock`; the loop's watchers are touched only on "nas_ev".
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/nas/ko_nas_config.h"
#include "app/nas/nas_share.h"
#include "common/utils/ko_thread.h"

namespace ko_nas {

inline constexpr const char *kModule = "KO NAS";
inline constexpr const char *kSpace = "TOLK_NAS";
inline constexpr int kStopRequested = 1;
inline constexpr int kResultStopped = 4;
inline constexpr double kRetryS = 60.0;

// What the sync thread works on and gives back; read by others only after the join.
struct SyncJob {
    nas_share_ops_t *share = nullptr;
    std::string card_dir;  // real path of the card's mount point
    std::string root;      // the video directory within the share
    uint64_t last_sync = 0;
    int32_t retention = 0;
    // results
    int result = 0;
    uint64_t new_last_sync = 0;
    uint64_t bytes = 0;
    uint64_t ms = 0;
};

struct Nas {
    std::mutex lock;
    bool initialised = false;
    ko_nas_record rec;
    json_object *share_cfg = nullptr; // owned; the share JSON with its rewritten "dir"
    nas_share_ops_t *share = nullptr;
    std::string mac_hex;              // twelve lower-case hex digits
    // statistics
    uint32_t save_err = 0, load_err = 0;
    std::atomic<uint32_t> err_times{0}, last_err{0}; // error replies also leave from the loop
    uint64_t speed = 0, last_trans_s = 0;
    // the retry timer is armed (cleared when its message is handled)
    bool retry_armed = false;
    // the sync timer's current arming; an expiry of an older one is stale
    uint32_t sync_timer_gen = 0;
    // the sync thread
    ko_thread *sync_thread = nullptr;
    uint32_t sync_gen = 0;
    int stop_flag = 0; // atomic accesses: read by the sync thread
    SyncJob job;
    double time_scale = 1.0;
};

Nas &nas();

// ---- configuration (ko_nas_store.cpp), lock held -------------------------------------------------
int save_config(Nas &n);
void load_config(Nas &n);
void reset_config(Nas &n);
// "dir" given by the phone -> "dir\varnel_camera_videos\<mac>", and back.
std::string video_dir(const Nas &n, const std::string &dir);
std::string strip_video_dir(const Nas &n, const std::string &dir);
// The share path of the video directory (the "dir" without its share name).
std::string share_root(const json_object *share_cfg);

// ---- state machine (ko_nas_state.cpp), lock held -------------------------------------------------
int nas_state_transition(Nas &n, int to);
int nas_state_init(Nas &n, int state);
void set_error(Nas &n, int code);
void stop_sync(Nas &n); // X
void release_share(Nas &n); // F
// Loop side: stops every watcher of the service (before the loop breaks).
void stop_watchers(struct ev_loop *loop, void *);
// Armed timers as KO_NAS_TIMER_* bits, read on the loop.
int armed_timers();

// ---- sync (ko_nas_sync.cpp) ----------------------------------------------------------------------
int sync_start(Nas &n);               // lock held; 0 or a NAS code (11 while one runs)
void sync_end(Nas &n, uint32_t gen);  // lock held; the thread's end message
void collect_sync(Nas &n);            // lock held; joins and takes the results
// The seconds of a "%04d%02d%02d%02d%02d%02d" local-time stamp at `text`, or -1.
int64_t stamp_seconds(const char *text);

// ---- methods (ko_nas_methods.cpp) ----------------------------------------------------------------
void dispatch(const char *text, size_t len);
void send_reply_ok(int id, json_object *result);
void send_reply_error(Nas &n, int id, int code, const char *message);
int send_upstream(const std::string &text);

// ---- scan (ko_nas_scan.cpp) ----------------------------------------------------------------------
void scan_request(int id);
// Loop side: ends a discovery and its timers.
void scan_stop(struct ev_loop *loop);

// Internal bus messages to uid 14: queued, so that loop callbacks never wait on the service lock.
int post_self(const char *key, uint32_t value);

} // namespace ko_nas
