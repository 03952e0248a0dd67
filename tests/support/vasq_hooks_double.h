// The P2P service's side of the streaming SDK as a double that records every hook call: a session
// is taken while the test allows it (its user data a slot number), handed back at once on
// disconnect, and the AES hooks do AES-128-CBC through zel_crypto.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vasq_internal.h"

namespace vasqhooks {

struct Call {
    std::string what; // "connect", "disconnect", "closed" (the disconnect's close has returned),
                      // "error", "cmd", "rdt", "ready", "rpc", "ack", "report"
    const void *session;
    int code;
    std::string data;    // command parameters, RDT bytes, RPC parameters, ack or report text
    std::string method;  // "rpc": the method
    void *context;       // "rpc": the context to give back with the reply
};

struct Media {
    std::string video, audio;
    std::vector<vasq_frame_info> video_headers, audio_headers;
};

class Hooks {
public:
    static Hooks &get();
    void clear();
    void add(Call c);
    std::vector<Call> calls(const std::string &what);
    size_t count(const std::string &what);
    // Waits (stretched by the test time scale) until `pred` holds.
    bool wait(const std::function<bool()> &pred, int timeout_ms);
    bool wait_count(const std::string &what, size_t n, int timeout_ms);
    Media media(const void *session);
    void with_media(const void *session, const std::function<void(Media &)> &fn);
    // Sessions taken by the connect hook and not handed back yet.
    std::vector<vasq_session *> sessions();
    void take(vasq_session *s);
    void drop(const void *s);
    // Read by the service's session threads while a test sets them.
    std::atomic<int> connect_result{0}; // what the connect hook returns
    std::atomic<int> statistics_result{0};

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<const void *, Media> media_;
    std::vector<vasq_session *> live_;
};

} // namespace vasqhooks
