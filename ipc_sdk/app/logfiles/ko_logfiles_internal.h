// The log upload's shared state and the parts that use it: the service and its thread
// (ko_logfiles.cpp), the methods and the URL reply (ko_logfiles_methods.cpp) and the upload itself
// (ko_logfiles_upload.cpp).
#pragma once

#include <stdint.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/logfiles/ko_logfiles.h"

namespace ko_logfiles {

inline constexpr const char *kModule = "KO LOGFILES";
inline constexpr size_t kUrlMax = 299;

// Where an upload goes: the AES key and IV, the pre-signed URL and its expiry.
struct Target {
    std::array<uint8_t, 16> key{};
    std::array<uint8_t, 16> iv{};
    std::string url;
    uint64_t expires = 0;
};

enum Mode { kModePushed = 0, kModeWindow = 1, kModeOff = 2 };

// One instance, all of it under `lock`.
struct State {
    std::mutex lock;
    std::condition_variable changed; // a URL reply came, or the service stops
    log_upload_cfg_t cfg{};
    bool pushed = false; // `pushed_target` waits for the next upload
    Target pushed_target;
    int pending_id = 0; // the URL request waiting for its reply
    bool reply_ok = false;
    Target reply_target;
};
State &state();

uint64_t now_s();
// The upload mode now; `s.lock` held.
Mode mode_locked(const State &s);

// A target from the texts of a feedback request or a URL reply: false (logged) unless key and IV
// decode to exactly 16 bytes and the URL has at most kUrlMax characters and an "Expires=" number.
bool parse_target(const char *key, const char *iv, const char *url, Target *out);

// The bus handlers of the four methods and of "rpc.ack".
void on_method(const char *text, size_t len);
void on_ack(const char *text, size_t len);

} // namespace ko_logfiles
