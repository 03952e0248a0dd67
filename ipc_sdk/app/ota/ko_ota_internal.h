// The OTA service's update context and the parts that share it: the service (ko_ota.cpp), the
// download and verification (ko_ota_download.cpp) and the reports (ko_ota_report.cpp).
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace ko_ota {

inline constexpr const char *kModule = "ota";

enum State : int {
    kIdle = 0,
    kDownloading = 1,
    kDownloaded = 2,
    kWaitInstall = 3,
    kInstalling = 4,
    kInstalled = 5,
    kFailed = 6,
    kBusy = 7,
    kAborted = 8,
};
const char *state_name(int state);

// One update. The fields of the request are set before the worker starts and not changed after;
// state and root are guarded by `mutex`; hooks are never called with it held.
struct Context {
    std::string url;
    std::string md5;
    long long original_length = 0;
    bool signed_file = false;
    int force_mode = 0; // 2 forced, 1 not forced, 0 not said

    std::mutex mutex;
    std::condition_variable changed; // state left 0, or the service stops
    int state = kIdle;
    std::string root; // the root certificate from ko_ota_start
    int start_value = 0;
    std::atomic<bool> running{true};
};

// Whether "ota.downgrade" allowed older images.
bool downgrade_allowed();

// The update from the download to the install hook; sets the final state 5 or 6.
void run_update(Context &ctx);

// "props" reports of the state and of the progress, pushed on the bus as "rpc.rpc".
void report_state(int state);
void report_progress(unsigned percent);

// Progress over part of the whole: `from` to `to` percent while `done` of `total` goes by; a report
// goes out whenever the percent grows.
class Progress {
public:
    Progress(unsigned from, unsigned to) : from_(from), to_(to), last_(from) {}
    void update(uint64_t done, uint64_t total);

private:
    unsigned from_, to_, last_;
};

} // namespace ko_ota
