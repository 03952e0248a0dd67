// The client end of a test peer's control socket: a unix stream socket carrying one JSON object per
// line each way (daemon_sim.py, ztp_server.py).
#pragma once

#include <json-c/json.h>

#include <memory>
#include <mutex>
#include <string>

namespace zeltest {

class ChildProcess;

struct JsonDeleter {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using Json = std::unique_ptr<json_object, JsonDeleter>;

Json parse_json(const std::string &text);
// The member `key` of `obj` (borrowed), or null.
json_object *member(json_object *obj, const char *key);
// The string member `key` of `obj`, or "" when there is none.
std::string string_member(json_object *obj, const char *key);

class PeerControl {
public:
    // Connects to `path`, retrying while the peer starts (up to 10 s, stretched); throws with
    // `what` in the message when it never answers, at once when `peer` is given and has exited.
    PeerControl(const std::string &path, const std::string &what, ChildProcess *peer = nullptr);
    ~PeerControl();
    PeerControl(const PeerControl &) = delete;
    PeerControl &operator=(const PeerControl &) = delete;

    // Sends one command (a JSON object) and returns the peer's answer; throws when the socket closes.
    // One command at a time: a product thread's hook may ask while the test's own thread does, and
    // the answers carry nothing to tell them apart.
    Json command(const std::string &json_text);

private:
    std::mutex lock_;
    int fd_ = -1;
    std::string what_;
    std::string pending_;
};

} // namespace zeltest
