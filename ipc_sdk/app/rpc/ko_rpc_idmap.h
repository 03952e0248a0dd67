// Outgoing request ids: the process-wide counter that gives each request leaving the camera an id
// of its own, and the map from that id back to the asking module's id, with expiry so requests
// that are never answered cannot make it grow without bound.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>

namespace ko_rpc {

struct IdNode {
    int32_t old_id = 0;
    bool inner = false;    // the method was an inner method when the request left
    std::string user_name; // the asking module's uid as decimal text
    uint64_t sent_ms = 0;
    uint64_t seq = 0;      // insertion order, for expiry
};

class IdMap {
public:
    static constexpr uint64_t kExpiryMs = 120000;
    static constexpr size_t kMaxNodes = 1024;

    // The next new id: 1, 2, ... 2147483646, then 1 again (2147483647 is never used).
    int32_t next_id();
    void set_counter(int32_t value) { counter_ = value; }

    void insert(int32_t new_id, IdNode node, uint64_t now_ms);
    // Takes the node of `new_id` out of the map; false when there is none.
    bool take(int32_t new_id, IdNode *out);
    void clear();
    size_t size() const { return nodes_.size(); }

private:
    void expire(uint64_t now_ms);

    int32_t counter_ = 1;
    std::unordered_map<int32_t, IdNode> nodes_;
    uint64_t seq_ = 0;
    std::map<uint64_t, int32_t> order_; // insertion sequence -> new id, oldest first
};

} // namespace ko_rpc
