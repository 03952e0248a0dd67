// What the transport adapter calls in the session protocol, the server API, the reports and the
// P2P service, as a double that records every call: a phone is authorised by command 256 whatever
// it carries, received frames and commands are kept per session, and a session is freed at once
// when the adapter hands it back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vasq_internal.h"

namespace vasqtest {

struct Call {
    std::string what; // "cmd", "error", "disconnect", "login", "connection", "report_error",
                      // "disconnection", "vendor_check", "change_vendor", "close"
    const void *session;
    int code;
    std::string data;
    ztp_net_info net{};
};

struct Received {
    std::string video, audio, rdt; // payloads in arrival order
    std::vector<vasq_frame_info> video_headers;
    std::vector<std::pair<int, std::string>> commands;
};

class Record {
public:
    static Record &get();
    void clear();
    void add(Call c);
    std::vector<Call> calls(const std::string &what);
    size_t count(const std::string &what);
    // Waits (stretched by the test time scale) for a call of that kind.
    bool wait(const std::string &what, size_t count, int timeout_ms);
    Received received(const void *session);
    std::vector<const void *> connected();
    void with_received(const void *session, const std::function<void(Received &)> &fn);
    // Sessions that command 256 authorised and that are not freed yet (a session leaves before its
    // "close" is recorded).
    std::vector<vasq_session *> sessions();
    void forget(const void *session);
    void remember(vasq_session *s);
    // The result vasq_cmd_process gives for a code (0 unless set).
    void set_cmd_result(int code, int result);
    int cmd_result(int code);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<const void *, Received> received_;
    std::vector<vasq_session *> live_;
    std::map<int, int> cmd_results_;
};

// A server record as the server API leaves it, with the sizes given (0 takes the defaults).
vasq_server *server_new(int max_sessions, int send_video = 0, int send_audio = 0, int recv_video = 0,
                        int recv_audio = 0);
void server_free(vasq_server *server);

} // namespace vasqtest
