#include "app/cloud/cloud_resolution.h"

#include "app/cloud/cloud_types.h"
#include "common/utils/ko_log.h"

namespace {

constexpr uint64_t kUpAfterMs = 6000;

// Channels 0-2 step within 0-2 (5 stands beside 0); 6 and 7 keep their stream.
int lower_of(unsigned ch)
{
    if (ch == 0 || ch == 5)
        return 1;
    return ch == 1 ? 2 : -1;
}

int higher_of(unsigned ch)
{
    return ch == 2 ? 1 : ch == 1 ? 0 : -1;
}

// Free bytes hold 1.5 x what the channel buffers.
bool room_for(uint32_t free_bytes, uint64_t buffered)
{
    return static_cast<uint64_t>(free_bytes) * 2 >= buffered * 3;
}


unsigned step_down(unsigned ch, cloud_channel_probe probe)
{
    const int down = lower_of(ch);
    uint64_t unused = 0;
    if (down < 0)
        return ch;
    if (!probe(static_cast<unsigned>(down), &unused)) {
        KO_LOGW(CLOUD_MODULE, "stream chan %d not add!\n", down);
        return ch;
    }
    return static_cast<unsigned>(down);
}

} // namespace

unsigned cloud_switch_decide(const cloud_switch_input &in, cloud_channel_probe probe)
{
    if (in.buffer_size == 0)
        return in.channel;
    const uint64_t free_rate = static_cast<uint64_t>(in.free_bytes) * 100 / in.buffer_size;
    uint64_t current = 0;
    probe(in.channel, &current);
    if (free_rate < 40 || !room_for(in.free_bytes, current))
        return in.reader_caught_up ? step_down(in.channel, probe) : in.channel;
    if (free_rate <= 60)
        return in.upload_speed < in.avg_bitrate && in.reader_caught_up ? step_down(in.channel, probe) : in.channel;
    if (free_rate > 80 && in.since_switch_ms >= kUpAfterMs && in.upload_speed > in.avg_bitrate) {
        const int up = higher_of(in.channel);
        uint64_t buffered = 0;
        if (up < 0 || !probe(static_cast<unsigned>(up), &buffered))
            return in.channel;
        if (!room_for(in.free_bytes, buffered)) {
            KO_LOGW(CLOUD_MODULE, "not enough free space\n");
            return in.channel;
        }
        return static_cast<unsigned>(up);
    }
    return in.channel;
}
