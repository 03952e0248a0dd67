// Heads and packing of the replies on a phone's RDT channel.
#include <string.h>

#include <algorithm>

#include "app/p2p/ko_p2p_internal.h"
#include "app/p2p/ko_p2p_rdt.h"

namespace ko_p2p {

void put_rdt_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_rdt_head(uint8_t *p, uint32_t type, uint32_t total)
{
    put_rdt_le32(p, type);
    put_rdt_le32(p + 4, total);
    put_rdt_le32(p + 8, 0);
}

int send_bare_head(vasq_session *s, uint32_t type)
{
    uint8_t head[kRdtHead];
    put_rdt_head(head, type, 0);
    return ops().rdt_send(s, head, kRdtHead);
}

bool rdt_packer::add(const void *data, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        const size_t take = std::min(n, packet_.size() - used_);
        memcpy(packet_.data() + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
        if (used_ == packet_.size() && !flush())
            return false;
    }
    return true;
}

bool rdt_packer::flush()
{
    if (used_ == 0)
        return true;
    const int rc = ops().rdt_send(session_, packet_.data(), static_cast<int>(used_));
    used_ = 0;
    return rc == 0;
}

} // namespace ko_p2p
