// Starts tests/peers/daemon_sim.py on a free port and talks to its control socket.
#pragma once

#include <memory>
#include <string>

#include "peer_control.h"
#include "zel_test_support.h"

namespace zeltest {

class DaemonSim {
public:
    // `root` provides the folder for the control socket and the log; `extra_args` go to the simulator
    // (for example {"--did", "1234"}). With `supervisor` set it also serves "/tmp/.ko_daemon.socket"
    // below the root.
    // A `port` of 0 picks a free one.
    explicit DaemonSim(const TempRoot &root, std::vector<std::string> extra_args = {}, bool supervisor = false,
                       int port = 0);
    ~DaemonSim();

    int port() const { return port_; }
    std::string log_path() const { return log_path_; }
    // Sends one control command (a JSON object) and returns the simulator's answer.
    Json command(const std::string &json_text);
    // Waits for the next object on `link` ("internal" or "rpc") from index `since` whose "method" is
    // `method` (an empty method waits for any object). Null on time-out.
    Json wait_object(const std::string &link, const std::string &method, int since = 0, int timeout_ms = 5000);
    // Number of objects received so far on `link`.
    int received_count(const std::string &link);
    void send(const std::string &link, const std::string &text, int chunk = 0, int delay_ms = 0);

private:
    int port_;
    std::string control_path_;
    std::string log_path_;
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<PeerControl> control_;
};

} // namespace zeltest
