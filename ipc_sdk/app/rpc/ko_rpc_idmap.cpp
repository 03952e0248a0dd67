// The request-id counter and the id map with its expiry.
#include "app/rpc/ko_rpc_idmap.h"

#include <climits>

namespace ko_rpc {

int32_t IdMap::next_id()
{
    const int32_t id = counter_;
    counter_ = counter_ >= INT32_MAX - 1 ? 1 : counter_ + 1;
    return id;
}

void IdMap::insert(int32_t new_id, IdNode node, uint64_t now_ms)
{
    expire(now_ms);
    auto old = nodes_.find(new_id);
    if (old != nodes_.end())
        order_.erase(old->second.seq);
    node.sent_ms = now_ms;
    node.seq = ++seq_;
    order_.emplace(node.seq, new_id);
    nodes_[new_id] = std::move(node);
}

bool IdMap::take(int32_t new_id, IdNode *out)
{
    auto it = nodes_.find(new_id);
    if (it == nodes_.end())
        return false;
    order_.erase(it->second.seq);
    *out = std::move(it->second);
    nodes_.erase(it);
    return true;
}

void IdMap::clear()
{
    nodes_.clear();
    order_.clear();
}

void IdMap::expire(uint64_t now_ms)
{
    while (!order_.empty()) {
        auto oldest = nodes_.find(order_.begin()->second);
        if (now_ms - oldest->second.sent_ms < kExpiryMs && nodes_.size() < kMaxNodes)
            break;
        nodes_.erase(oldest);
        order_.erase(order_.begin());
    }
}

} // namespace ko_rpc
